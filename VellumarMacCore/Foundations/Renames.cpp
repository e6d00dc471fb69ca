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
    std::atomic<void (*)(int folderFD, const std::string& name)> folderMadeSeam = nullptr;

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

    bool isStill(int folderFD, const std::string& name, const struct stat& was)
    {
        struct stat now { };
        return ::fstatat(folderFD, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(now, was);
    }

    // A folder cannot be hard-linked, and a plain rename replaces an empty folder: `to` is first made an
    // empty private folder of our own, which fails where the name is taken, and the folder is renamed over
    // that one only. Where a command put something in ours meanwhile, or took ours away and put its own at
    // the name, theirs stays and the name counts as taken; ours goes again where it is still ours and
    // empty. Only a folder of theirs put in ours' place in the instant between the look and the rename
    // could be replaced, and then an empty one, with nothing in it lost.
    int folderWithoutReplacing(int fromFD, const std::string& from, int toFD, const std::string& to)
    {
        if (::mkdirat(toFD, to.c_str(), 0700) != 0)
            return errno;
        struct stat ours { };
        if (::fstatat(toFD, to.c_str(), &ours, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(ours.st_mode))
            return EEXIST;
        if (auto seam = folderMadeSeam.load())
            seam(toFD, to);
        const int error = isStill(toFD, to, ours) ? renamedWith(fromFD, from, toFD, to, 0) : EEXIST;
        if (error == 0)
            return 0;
        if (isStill(toFD, to, ours))
            ::unlinkat(toFD, to.c_str(), AT_REMOVEDIR);
        return error == ENOTEMPTY || error == ENOTDIR ? EEXIST : error;
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
        return folderWithoutReplacing(fromFD, from, toFD, to);
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

void refuseFlagsForTests(bool refused, void (*folderMade)(int folderFD, const std::string& name))
{
    flagsRefused = refused;
    folderMadeSeam = folderMade;
}

}
