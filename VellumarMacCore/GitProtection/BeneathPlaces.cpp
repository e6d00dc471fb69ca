#include "VellumarMacCore/GitProtection/BeneathPlaces.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    // O_NOFOLLOW would hand back a link itself at the last name, as O_PATH does: each open checks instead.
    constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

    bool isFolder(int descriptor)
    {
        struct stat status { };
        return ::fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode);
    }

    // fchmodat2(2), Linux 6.6: the same number on every architecture.
    constexpr long kFchmodat2 = 452;

    bool isSearchable(int descriptor)
    {
        struct stat status { };
        return ::fstat(descriptor, &status) == 0 && (status.st_mode & S_IXUSR);
    }

    // One name at a time: a name that is a link stops the walk there, reported in `reached`. A folder
    // that cannot be searched gets its owner's permission back first.
    FileDescriptor walk(
        int placeFD, const fs::path& relative, const fs::path& place, BeneathPlaces::Reached& reached)
    {
        FileDescriptor folder(::fcntl(placeFD, F_DUPFD_CLOEXEC, 0));
        fs::path walked = place;
        for (const auto& step : relative) {
            if (!isSearchable(folder.get()))
                BeneathPlaces::ownerMayAct(folder.get(), walked);
            struct stat status { };
            const bool link = ::fstatat(folder.get(), step.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISLNK(status.st_mode);
            FileDescriptor next(link ? -1 : ::openat(folder.get(), step.c_str(), kFolderFlags | O_NOFOLLOW));
            if (!link && next.get() < 0)
                return FileDescriptor();
            // A link swapped in after the look opens as itself, with O_PATH and O_NOFOLLOW.
            if (link || !isFolder(next.get())) {
                reached.path = walked / step;
                reached.name = step.native();
                reached.throughLink = true;
                return folder;
            }
            folder = std::move(next);
            walked /= step;
        }
        return folder;
    }

    // The folder at `relative` beneath `placeFD`: through openat2 where the kernel has it, which
    // refuses every link at once; the walk then only tells which step was the link.
    FileDescriptor openBeneath(
        int placeFD, const fs::path& relative, const fs::path& place, BeneathPlaces::Reached& reached)
    {
        if (relative.empty())
            return FileDescriptor(::fcntl(placeFD, F_DUPFD_CLOEXEC, 0));
        open_how how {};
        how.flags = kFolderFlags;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long descriptor = ::syscall(SYS_openat2, placeFD, relative.c_str(), &how, sizeof how);
        if (descriptor >= 0)
            return FileDescriptor(static_cast<int>(descriptor));
        if (errno == ENOENT || errno == ENOTDIR)
            return FileDescriptor();
        return walk(placeFD, relative, place, reached);
    }

}

BeneathPlaces::BeneathPlaces(const std::vector<fs::path>& places)
{
    for (const auto& place : places) {
        fs::path resolved = resolvingSymlinks(place).value_or(place.lexically_normal());
        m_folders.emplace_back(::open(resolved.c_str(), kFolderFlags));
        m_paths.push_back(std::move(resolved));
    }
}

std::optional<BeneathPlaces::Reached> BeneathPlaces::reach(const fs::path& asked) const
{
    fs::path path = asked.lexically_normal();
    if (!path.has_filename())
        path = path.parent_path();
    std::optional<std::size_t> outermost;
    for (std::size_t index = 0; index < m_paths.size(); ++index) {
        if (m_folders[index].get() >= 0 && isPathCoveredBy(path, m_paths[index])
            && (!outermost || m_paths[index].native().size() < m_paths[*outermost].native().size()))
            outermost = index;
    }
    if (!outermost || path == m_paths[*outermost])
        return std::nullopt;
    const fs::path relative = path.lexically_relative(m_paths[*outermost]);
    Reached reached { {}, relative.filename().native(), path, false };
    reached.folder
        = openBeneath(m_folders[*outermost].get(), relative.parent_path(), m_paths[*outermost], reached);
    if (reached.folder.get() >= 0 && !reached.throughLink && !isSearchable(reached.folder.get()))
        ownerMayAct(reached.folder.get(), path.parent_path());
    return reached;
}

FileDescriptor BeneathPlaces::folderAt(const fs::path& path) const
{
    const fs::path normal = path.lexically_normal();
    for (std::size_t index = 0; index < m_paths.size(); ++index) {
        if (m_folders[index].get() >= 0 && normal == m_paths[index])
            return FileDescriptor(::fcntl(m_folders[index].get(), F_DUPFD_CLOEXEC, 0));
    }
    auto reached = reach(normal);
    if (!reached || reached->throughLink || reached->folder.get() < 0)
        return FileDescriptor();
    return FileDescriptor(::openat(
        reached->folder.get(), reached->name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool BeneathPlaces::changedMode(int descriptor, unsigned mode) noexcept
{
    if (::syscall(kFchmodat2, descriptor, "", mode, AT_EMPTY_PATH) == 0)
        return true;
    // Before fchmodat2, through the descriptor's own name in /proc, as glibc's fchmodat does for
    // AT_SYMLINK_NOFOLLOW.
    char own[32];
    std::snprintf(own, sizeof own, "/proc/self/fd/%d", descriptor);
    return ::fchmodat(AT_FDCWD, own, mode, 0) == 0;
}

bool BeneathPlaces::ownerMayAct(int folderFD, const fs::path& folder) noexcept
{
    struct stat status { };
    if (::fstat(folderFD, &status) != 0 || !S_ISDIR(status.st_mode))
        return false;
    if ((status.st_mode & S_IRWXU) == S_IRWXU)
        return true;
    if (status.st_uid != ::geteuid())
        return false;
    const unsigned left = status.st_mode & 07777;
    if (!changedMode(folderFD, left | S_IRWXU))
        return false;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", left);
    try {
        platform::logError(folder.string() + " had been left without its owner's full permission (mode "
            + mode
            + "); it was given back so that the Git protection could read, list and undo a change there.");
    } catch (const std::exception&) {
        // Out of memory for the line: the permission is back all the same.
    }
    return true;
}

}
