#include "VellumarMacCore/Foundations/OpenForWriting.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vellumar {

bool isOpenForWriting(const std::filesystem::path& path)
{
    open_how how {};
    how.flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    FileDescriptor file(static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
    struct stat status { };
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    // The kernel refuses a read lease while a writer holds the file. One granted goes with the
    // descriptor at once; a writer opening the file meanwhile waits that long, and its break is
    // signalled to this process: as SIGIO by default, which would end it, so as SIGURG instead, whose
    // default is to be ignored, in every program and thread, with no handler to install first.
    if (::fcntl(file.get(), F_SETSIG, SIGURG) != 0)
        return false;
    return ::fcntl(file.get(), F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN;
}

}
