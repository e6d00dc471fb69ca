#include "VellumarMacCore/Permissions/PathContainment.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/FileIdentity.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vellumar {

namespace {

    // What folding would leave as it is: no empty, "." or ".." component and no "/" at the end,
    // except for "/" itself.
    bool isStandardizedText(std::string_view text)
    {
        if (text == "/")
            return true;
        if (text.empty() || text.back() == '/')
            return false;
        for (std::size_t start = text.front() == '/' ? 1 : 0; start <= text.size();) {
            std::size_t end = std::min(text.find('/', start), text.size());
            std::string_view component = text.substr(start, end - start);
            if (component.empty() || component == "." || component == "..")
                return false;
            start = end + 1;
        }
        return true;
    }

    // The kernel gives up after following this many links in one lookup (MAXSYMLINKS, ELOOP).
    constexpr int kMaxLinks = 40;
    // A folder moved while a walk climbs back out of it ("..") makes the walk start again; one that
    // keeps moving leaves the path unresolved.
    constexpr int kWalkAttempts = 8;

    // Where a lookup stands: an open folder and the names that led to it, each a folder, not a link,
    // when it was passed.
    struct WalkPlace {
        FileDescriptor folder;
        std::string path;
        int linksLeft = kMaxLinks;
        // The folders `path` names above `folder`, from the top, as they were when passed.
        std::vector<FileIdentity> above;
    };

    // How a walk ended: standing in the walked place's folder, past the last name that exists (or past
    // a file), with the rest kept as written; or with no answer the kernel would agree with.
    enum class WalkEnd { inFolder, pastExisting, unresolvable, moved };

    struct Walked {
        WalkEnd end;
        std::string answer;
    };

    std::optional<WalkPlace> rootPlace()
    {
        FileDescriptor root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!root)
            return std::nullopt;
        return WalkPlace { std::move(root), "/" };
    }

    std::string joined(const std::string& folder, std::string_view name)
    {
        return folder == "/" ? "/" + std::string(name) : folder + "/" + std::string(name);
    }

    // Steps out to the parent folder, only if that is still the folder the walk came from: one moved
    // meanwhile, even under the same name, has another parent than its path says.
    WalkEnd climb(WalkPlace& place)
    {
        if (place.path == "/")
            return WalkEnd::inFolder;
        FileDescriptor parent(::openat(place.folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!parent)
            return WalkEnd::unresolvable;
        if (place.above.empty() || identityOf(parent.get()) != place.above.back())
            return WalkEnd::moved;
        place.above.pop_back();
        place.path.resize(std::max<std::size_t>(place.path.rfind('/'), 1));
        place.folder = std::move(parent);
        return WalkEnd::inFolder;
    }

    // Looks `rest` up from `place` one name at a time, as the kernel does, reading each link met and
    // walking its target in its place. Every name is opened without following a link, so the answer
    // is made only of the names walked: a folder swapped for a link after it was passed cannot put
    // the link's name into it. A dangling link leads to where creating a file through it would put
    // the file: its target.
    Walked walk(WalkPlace& place, std::string rest)
    {
        for (std::size_t start = 0;;) {
            start = rest.find_first_not_of('/', start);
            if (start == std::string::npos)
                return { WalkEnd::inFolder, place.path };
            std::size_t end = std::min(rest.find('/', start), rest.size());
            std::string name = rest.substr(start, end - start);
            if (name == ".") {
                start = end;
                continue;
            }
            if (name == "..") {
                if (WalkEnd climbed = climb(place); climbed != WalkEnd::inFolder)
                    return { climbed, {} };
                start = end;
                continue;
            }
            FileDescriptor entry(
                ::openat(place.folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
            if (entry) {
                auto passed = identityOf(place.folder.get());
                if (!passed)
                    return { WalkEnd::unresolvable, {} };
                place.above.push_back(*passed);
                place.path = joined(place.path, name);
                place.folder = std::move(entry);
                if (place.path.size() >= PATH_MAX)
                    return { WalkEnd::unresolvable, {} };
                start = end;
                continue;
            }
            // A name too long or a folder that cannot be searched: the kernel fails too.
            int error = errno;
            if (error != ENOENT && error != ENOTDIR)
                return { WalkEnd::unresolvable, {} };
            // Not a folder: a link (dangling ones included) or a file.
            std::string target;
            ssize_t length = -1;
            if (error == ENOTDIR) {
                target.resize(PATH_MAX);
                length = ::readlinkat(place.folder.get(), name.c_str(), target.data(), target.size());
                error = length < 0 ? errno : 0;
            }
            // Missing, or a file: nothing below it exists, so the rest is kept as written.
            if (length < 0 && (error == ENOENT || error == EINVAL))
                return { WalkEnd::pastExisting,
                    standardizedPath(joined(place.path, rest.substr(start))).native() };
            if (length < 0 || static_cast<std::size_t>(length) >= target.size() || --place.linksLeft < 0)
                return { WalkEnd::unresolvable, {} };
            target.resize(static_cast<std::size_t>(length));
            if (target.starts_with('/')) {
                auto root = rootPlace();
                if (!root)
                    return { WalkEnd::unresolvable, {} };
                place = WalkPlace { std::move(root->folder), "/", place.linksLeft };
            }
            rest = target + rest.substr(end);
            start = 0;
        }
    }

    std::optional<std::filesystem::path> answerOf(const Walked& walked)
    {
        // A path this long is refused by every call that takes one.
        if ((walked.end != WalkEnd::inFolder && walked.end != WalkEnd::pastExisting)
            || walked.answer.size() >= PATH_MAX)
            return std::nullopt;
        return std::filesystem::path(walked.answer);
    }

    // What the kernel opens at `absolute` when it meets no link on the way, the last name not a link
    // itself; absent where it meets one, or anything is missing.
    std::optional<struct stat> openedWithoutLinks(const std::string& absolute)
    {
        open_how how {};
        how.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        FileDescriptor opened(
            static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, absolute.c_str(), &how, sizeof how)));
        // With O_PATH and O_NOFOLLOW the kernel opens a last name that is a link as the link itself.
        struct stat status { };
        if (!opened || ::fstat(opened.get(), &status) != 0 || S_ISLNK(status.st_mode))
            return std::nullopt;
        return status;
    }

    // A standardized path the kernel looks up to its end meeting no link is its own answer, with the
    // same promise as a walk's (every name in it was a folder or its last name, not a link, as it was
    // passed), for one lookup where a walk opens each name: a search through thousands of Git folders
    // resolves as many paths. One with "." or ".." in it, as a linked worktree's "commondir" or a
    // submodule's ".git" file makes, folds to the same answer where its folded path, met by no link
    // either, opens the very file it reached: a folder moved meanwhile is told by its identity. Absent
    // where a link, a missing name or anything else needs the walk.
    std::optional<std::filesystem::path> resolvedWithoutLinks(const std::string& absolute)
    {
        if (absolute.size() >= PATH_MAX)
            return std::nullopt;
        if (isStandardizedText(absolute)) {
            if (!openedWithoutLinks(absolute))
                return std::nullopt;
            return std::filesystem::path(absolute);
        }
        auto reached = openedWithoutLinks(absolute);
        if (!reached)
            return std::nullopt;
        std::filesystem::path folded = standardizedPath(absolute);
        auto again = openedWithoutLinks(folded.native());
        if (!again || again->st_dev != reached->st_dev || again->st_ino != reached->st_ino)
            return std::nullopt;
        return folded;
    }

    std::optional<std::filesystem::path> resolvedFromRoot(const std::string& absolute)
    {
        if (auto resolved = resolvedWithoutLinks(absolute))
            return resolved;
        for (int attempt = 0; attempt < kWalkAttempts; ++attempt) {
            auto place = rootPlace();
            if (!place)
                return std::nullopt;
            Walked walked = walk(*place, absolute);
            if (walked.end != WalkEnd::moved)
                return answerOf(walked);
        }
        return std::nullopt;
    }

}

std::filesystem::path standardizedPath(const std::filesystem::path& path)
{
    // Most paths come standardized already; folding them again is the costly part of every
    // containment check.
    if (isStandardizedText(path.native()))
        return path;
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

int openWithoutLinks(const std::filesystem::path& resolved, int flags)
{
    open_how how {};
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long descriptor = ::syscall(SYS_openat2, AT_FDCWD, resolved.c_str(), &how, sizeof how);
    if (descriptor >= 0 || errno != ENOSYS)
        return static_cast<int>(descriptor);
    return ::open(resolved.c_str(), flags | O_NOFOLLOW);
}

std::optional<std::filesystem::path> resolvingSymlinks(const std::filesystem::path& path)
{
    // A relative path means the same place as it will for this process: under its current folder.
    if (path.is_relative()) {
        std::error_code error;
        auto absolute = std::filesystem::absolute(path, error);
        if (error || !absolute.is_absolute())
            return std::nullopt;
        return resolvedFromRoot(absolute.native());
    }
    return resolvedFromRoot(path.native());
}

std::vector<std::optional<std::filesystem::path>> resolvingSymlinksBelow(
    const std::filesystem::path& folder, const std::vector<std::string>& names)
{
    if (names.empty())
        return {};
    std::optional<WalkPlace> below;
    if (auto root = rootPlace(); root && folder.is_absolute()) {
        if (walk(*root, folder.native()).end == WalkEnd::inFolder)
            below = std::move(root);
    }
    std::vector<std::optional<std::filesystem::path>> resolved;
    for (const auto& name : names) {
        std::filesystem::path written = folder / name;
        // Each name walks on from a copy of the folder's place; a name that is not one plain
        // component, or a folder that was not walked to the end, takes the whole way.
        FileDescriptor copy(below ? ::fcntl(below->folder.get(), F_DUPFD_CLOEXEC, 0) : -1);
        if (!copy || name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
            resolved.push_back(resolvingSymlinks(written));
            continue;
        }
        WalkPlace place { std::move(copy), below->path, below->linksLeft, below->above };
        Walked walked = walk(place, name);
        resolved.push_back(walked.end == WalkEnd::moved ? resolvingSymlinks(written) : answerOf(walked));
    }
    return resolved;
}

bool isPathInside(const std::filesystem::path& child, const std::filesystem::path& folder)
{
    return isStandardizedPathInside(standardizedPath(child), standardizedPath(folder));
}

bool isStandardizedPathInside(const std::filesystem::path& child, const std::filesystem::path& folder)
{
    const std::string& childPath = child.native();
    const std::string& folderPath = folder.native();
    if (childPath == folderPath)
        return true;
    return childPath.starts_with(folderPath)
        && (folderPath.ends_with('/')
            || (childPath.size() > folderPath.size() && childPath[folderPath.size()] == '/'));
}

bool isPathCoveredBy(const std::filesystem::path& child, const std::filesystem::path& place)
{
    std::string placePath = standardizedPath(place).string();
    return !placePath.empty() && placePath != "/" && isPathInside(child, place);
}

bool isPathCoveredByAny(const std::filesystem::path& child, const std::vector<std::filesystem::path>& places)
{
    return std::any_of(
        places.begin(), places.end(), [&](const auto& place) { return isPathCoveredBy(child, place); });
}

std::string homeRelativePath(const std::filesystem::path& path, const std::filesystem::path& home)
{
    std::string text = standardizedPath(path).string();
    std::string homeText = standardizedPath(home).string();
    if (text == homeText)
        return "~";
    if (!isPathInside(path, home))
        return text;
    if (!homeText.ends_with('/'))
        homeText += '/';
    return "~/" + text.substr(homeText.size());
}

}
