#include "VellumarMacCore/Foundations/FolderTree.h"

#include "VellumarMacCore/Foundations/FileIdentity.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vellumar {

namespace {

    // A folder is held open only this far above the deepest level of a walk, so that a deep tree
    // cannot use up the process's descriptors; those higher up are opened again through ".." on the
    // way back and must prove to be the folder the walk left.
    constexpr std::size_t kHeldFolders = 32;

    std::optional<struct stat> statusAt(int folderFD, const std::string& name)
    {
        struct stat status { };
        if (::fstatat(folderFD, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            return std::nullopt;
        return status;
    }

    // A name that the system resolves as exactly one entry of the folder it is taken from.
    bool isSingleName(std::string_view name)
    {
        return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos
            && name.find('\0') == std::string_view::npos;
    }

    // The folder `name` inside the open folder `folderFD`, never through a link; -1 with errno set
    // when no folder is there now.
    int openFolderBeneath(int folderFD, const std::string& name)
    {
        constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        open_how how {};
        how.flags = flags;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long descriptor = ::syscall(SYS_openat2, folderFD, name.c_str(), &how, sizeof how);
        // Without openat2, or when it asks for a retry after a concurrent rename, openat does as well
        // for a single name: O_NOFOLLOW refuses the only link it could meet.
        if (descriptor >= 0 || (errno != ENOSYS && errno != EAGAIN))
            return static_cast<int>(descriptor);
        return ::openat(folderFD, name.c_str(), flags);
    }

    // Every name in the folder but "." and "..", in ascending byte order, read from the start of the
    // walk's own descriptor of it; absent when it could not be listed.
    std::optional<std::vector<std::string>> sortedNames(int folderFD)
    {
        alignas(dirent64) char buffer[32'768];
        std::vector<std::string> names;
        for (;;) {
            ssize_t count = ::getdents64(folderFD, buffer, sizeof buffer);
            if (count < 0)
                return std::nullopt;
            if (count == 0)
                break;
            for (ssize_t offset = 0; offset < count;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
                offset += entry->d_reclen;
                std::string_view name = entry->d_name;
                if (name != "." && name != "..")
                    names.emplace_back(name);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    struct Level {
        // Closed while far above the deepest level (see kHeldFolders); `identity` is noted then.
        FileDescriptor folder;
        std::optional<FileIdentity> identity;
        // The length of the walk's relative path that names this folder.
        std::size_t pathLength;
        std::vector<std::string> names;
        std::size_t next = 0;
    };

    std::optional<Level> enter(FileDescriptor folder, std::size_t pathLength)
    {
        auto names = sortedNames(folder.get());
        if (!names)
            return std::nullopt;
        return Level { std::move(folder), std::nullopt, pathLength, std::move(*names) };
    }

    void closeFarAbove(std::vector<Level>& levels)
    {
        if (levels.size() <= kHeldFolders)
            return;
        Level& far = levels[levels.size() - 1 - kHeldFolders];
        if (!far.folder)
            return;
        far.identity = identityOf(far.folder.get());
        far.folder.reset();
    }

    // Opens the folder above the deepest level again when it was closed, through the deepest
    // level's "..". False when that is no longer the folder the walk came from: the deepest folder
    // was moved meanwhile, and names taken from there would be names of some other place.
    bool reopenParent(std::vector<Level>& levels)
    {
        Level& parent = levels[levels.size() - 2];
        if (parent.folder)
            return true;
        FileDescriptor above(::openat(levels.back().folder.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!above || !parent.identity || identityOf(above.get()) != parent.identity)
            return false;
        parent.folder = std::move(above);
        return true;
    }

    using Visit = std::function<FolderTree::Step(const FolderTree::Entry&)>;
    // Called for each folder the walk entered once it is done there, with the open folder holding it.
    using Leave = std::function<void(int folderFD, const std::string& name)>;

    // Iterative, so that a deep tree cannot exhaust the stack.
    bool walkFrom(FileDescriptor top, const Visit& visit, const Leave& leave)
    {
        std::vector<Level> levels;
        if (auto first = enter(std::move(top), 0))
            levels.push_back(std::move(*first));
        else
            return false;
        std::string path;
        bool complete = true;
        while (!levels.empty()) {
            Level& level = levels.back();
            if (level.next == level.names.size()) {
                if (levels.size() > 1 && !reopenParent(levels))
                    return false;
                levels.pop_back();
                if (!levels.empty() && leave)
                    leave(levels.back().folder.get(), levels.back().names[levels.back().next - 1]);
                continue;
            }
            const std::string& name = level.names[level.next++];
            path.resize(level.pathLength);
            if (!path.empty())
                path += '/';
            path += name;
            std::optional<struct stat> status = statusAt(level.folder.get(), name);
            if (visit({ path, name, status, level.folder.get() }) != FolderTree::Step::descend || !status
                || !S_ISDIR(status->st_mode))
                continue;
            if (levels.size() > FolderTree::maxDepth) {
                complete = false;
                continue;
            }
            FileDescriptor child(openFolderBeneath(level.folder.get(), name));
            // Gone, or swapped for a link or a file since its status was read: nothing to enter.
            if (!child && (errno == ENOENT || errno == ELOOP || errno == ENOTDIR))
                continue;
            auto entered = child ? enter(std::move(child), path.size()) : std::nullopt;
            if (!entered) {
                complete = false;
                continue;
            }
            levels.push_back(std::move(*entered));
            closeFarAbove(levels);
        }
        return complete;
    }

    // Empties the open folder: what is not a folder is unlinked where it is, a folder emptied first
    // and removed on the way back.
    bool removeAllIn(FileDescriptor folder)
    {
        bool removedAll = true;
        bool walked = walkFrom(
            std::move(folder),
            [&](const FolderTree::Entry& entry) {
                if (::unlinkat(entry.folderFD, entry.name.c_str(), 0) == 0 || errno == ENOENT)
                    return FolderTree::Step::skip;
                if (errno == EISDIR && entry.status && S_ISDIR(entry.status->st_mode))
                    return FolderTree::Step::descend;
                removedAll = false;
                return FolderTree::Step::skip;
            },
            [&](int folderFD, const std::string& name) {
                if (::unlinkat(folderFD, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
                    removedAll = false;
            });
        return walked && removedAll;
    }

    // A description of its own, read from the start, which a duplicate would not be.
    FileDescriptor reopened(const FileDescriptor& folder)
    {
        return FileDescriptor(folder ? ::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    }

}

FolderTree::FolderTree(const std::filesystem::path& folder)
    : m_folder(folder.native().find('\0') == std::string::npos
            ? ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
            : -1)
{
}

FolderTree::FolderTree(FileDescriptor folder)
    : m_folder(std::move(folder))
{
}

FolderTree FolderTree::child(const std::string& name) const
{
    return FolderTree(
        FileDescriptor(m_folder && isSingleName(name) ? openFolderBeneath(m_folder.get(), name) : -1));
}

FolderTree FolderTree::privateChild(const std::string& name) const
{
    if (!m_folder || !isSingleName(name))
        return FolderTree(FileDescriptor());
    if (auto status = statusAt(m_folder.get(), name); status && S_ISLNK(status->st_mode))
        ::unlinkat(m_folder.get(), name.c_str(), 0);
    ::mkdirat(m_folder.get(), name.c_str(), 0700);
    FolderTree folder = child(name);
    // mkdir's mode passes through the umask, and a folder made earlier may be wider.
    if (folder.isOpen() && ::fchmod(folder.descriptor(), 0700) != 0)
        return FolderTree(FileDescriptor());
    return folder;
}

bool FolderTree::walk(const std::function<Step(const Entry&)>& visit) const
{
    FileDescriptor top = reopened(m_folder);
    return top && walkFrom(std::move(top), visit, nullptr);
}

bool FolderTree::removeContents() const
{
    FileDescriptor top = reopened(m_folder);
    return top && removeAllIn(std::move(top));
}

bool FolderTree::remove(int folderFD, const std::string& name) noexcept
{
    if (!isSingleName(name))
        return false;
    if (::unlinkat(folderFD, name.c_str(), 0) == 0)
        return true;
    if (errno != EISDIR)
        return false;
    try {
        FileDescriptor folder(openFolderBeneath(folderFD, name));
        if (!folder)
            return false;
        removeAllIn(std::move(folder));
    } catch (const std::exception&) {
        // Out of memory for a folder's names: the folder stays, and the removal below says so.
    }
    return ::unlinkat(folderFD, name.c_str(), AT_REMOVEDIR) == 0;
}

bool FolderTree::remove(const std::filesystem::path& location) noexcept
{
    try {
        std::string name = location.filename().string();
        std::filesystem::path parent = location.parent_path();
        if (!isSingleName(name) || parent.native().find('\0') != std::string::npos)
            return false;
        FileDescriptor folder(
            ::open(parent.empty() ? "." : parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        return folder && remove(folder.get(), name);
    } catch (const std::exception&) {
        return false;
    }
}

}
