#include "VellumarMacCore/Foundations/Renames.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::Renames {

namespace {

    std::atomic<bool> flagsRefused = false;

    int renamedWith(int fromFD, const std::string& from, int toFD, const std::string& to, unsigned flags)
    {
        if (flags != 0 && flagsRefused)
            return EINVAL;
        return ::renameat2(fromFD, from.c_str(), toFD, to.c_str(), flags) == 0 ? 0 : errno;
    }

    bool sameFile(const struct stat& one, const struct stat& other)
    {
        return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
    }

}

int withoutReplacing(int fromFD, const std::string& from, int toFD, const std::string& to)
{
    const int error = renamedWith(fromFD, from, toFD, to, RENAME_NOREPLACE);
    if (error != EINVAL)
        return error;
    struct stat moved { };
    if (::fstatat(fromFD, from.c_str(), &moved, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (S_ISDIR(moved.st_mode))
        return renamedWith(fromFD, from, toFD, to, 0);
    if (::linkat(fromFD, from.c_str(), toFD, to.c_str(), 0) != 0)
        return errno;
    // Where someone put another file at `from` meanwhile, that one keeps its name.
    struct stat linked { };
    struct stat left { };
    if (::fstatat(toFD, to.c_str(), &linked, AT_SYMLINK_NOFOLLOW) != 0
        || ::fstatat(fromFD, from.c_str(), &left, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(linked, left)
        || ::unlinkat(fromFD, from.c_str(), 0) == 0)
        return 0;
    const int unlinkError = errno;
    ::unlinkat(toFD, to.c_str(), 0);
    return unlinkError;
}

int exchanged(int firstFD, const std::string& first, int secondFD, const std::string& second)
{
    return renamedWith(firstFD, first, secondFD, second, RENAME_EXCHANGE);
}

void refuseFlagsForTests(bool refused) { flagsRefused = refused; }

}
