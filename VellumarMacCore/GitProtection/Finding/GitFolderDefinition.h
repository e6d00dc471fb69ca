// What a Git folder is: the one test every part that finds Git folders asks, Git's own, which its set-up
// asks of a folder before it works in it (is_git_directory() in Git's setup.c, gitrepository-layout(5)).
// A folder that passes runs its hooks and configuration in the user's Git, whatever its name or place.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::GitFolderDefinition {

// The path one of Git's small record files holds: `bytes` less its trailing bytes found in `trimmed`,
// up to a NUL, where Git's C string ends.
std::string recordedPath(std::string bytes, std::string_view trimmed);

// Whether an entry of this name can make its folder a Git folder: "HEAD", "objects", "refs" and
// "commondir". A folder none of them came to or left stays what it was.
bool isDefiningName(std::string_view name);

// What a folder's entries tell before anything in it is read: fed each name of one listing, it says
// whether the folder may be a Git folder, so that a walk looks closer only at those.
class Entries {
public:
    void saw(std::string_view name);
    // A "HEAD", and "objects" and "refs" beside it or a "commondir" that may send Git to them.
    bool mayBeGitFolder() const;

private:
    unsigned m_seen = 0;
};

// The same as `Entries` tells it, for `folder` as it is now, by name alone (a dangling link counts): what
// a write into its HEAD or commondir may yet make a Git folder, which a watch of its writes then shows.
bool mayBeGitFolder(const std::filesystem::path& folder);

// Where `folder`'s "commondir" sends Git for its objects, refs, hooks and shared configuration, as
// written: relative to `folder` unless absolute, read as Git reads it (to its end less the trailing CR
// and LF, up to a NUL; no further than 4096 bytes here). `folder` itself without one (nothing that
// stat(2) finds there). Absent where Git stops at it: one that is no regular file, or is empty.
std::optional<std::filesystem::path> commonFolderOf(const std::filesystem::path& folder);

// Whether Git takes `folder` for a Git folder: its "HEAD" is valid (a symbolic link whose target
// starts "refs/", or a regular file whose first 255 bytes start "ref:", blanks, "refs/", or with a full
// object id, or else something Git would wait on to tell, a FIFO, a socket or a device, which Git does
// not take for valid but which holds it), and the folder `commonFolderOf` names holds "objects" and "refs"
// that the caller may search (access(2)), links followed as Git follows them. Reads the disk; never fails.
bool isGitFolder(const std::filesystem::path& folder);

}
