// What a repository's files that make Git run something hold at one moment, so that a later change to
// them can be told, judged and undone: the hooks, the configuration, "commondir" and the ".git" file
// that sends Git to a Git folder.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::GitNotedFiles {

// A file larger than this is noted by its identity, not copied: a change to it is moved aside, and
// nothing can be put back in its place.
inline constexpr std::size_t maxCopiedBytes = 1024 * 1024;

struct NotedFile {
    enum class Kind : char {
        absent = 'a',
        file = 'f', // `content` holds its bytes
        link = 'l', // `content` holds its target
        large = 'g', // a regular file past `maxCopiedBytes`: `content` holds its identity
        other = 'o', // a folder, FIFO, device...: `content` holds its type and identity
        // A folder that Git's configuration names, noted whole: `content` holds its identity, and each
        // entry beneath it is noted too, so that a new one shows.
        namedFolder = 'd',
    };
    Kind kind = Kind::absent;
    std::string content;
    unsigned mode = 0; // the permission bits of a file

    friend bool operator==(const NotedFile&, const NotedFile&) = default;
};

// What is at `path` now, without following a link at its last component (those before it are
// followed, as Git follows them). Reads at most `maxCopiedBytes` + 1 bytes; never throws but for
// memory.
NotedFile noteFile(const std::filesystem::path& path);

// Whether `commonDir`, noted in `gitFolder`, sends Git back to that folder itself, as a placeholder's
// does (`CommonDirPlaceholders`). Reads the disk to resolve it.
bool namesItsOwnFolder(const std::filesystem::path& gitFolder, const NotedFile& commonDir);

// One Git folder, or one ".git" file alone, as noted.
struct NotedUnit {
    std::optional<std::filesystem::path> gitFolder; // as the kernel resolves it
    std::optional<std::filesystem::path> workTree; // whose ".git" is noted
    // By absolute path: the Git folder's "config", "config.worktree" and "commondir" (absent ones
    // too, and a "commondir" that `namesItsOwnFolder` as absent), each of Git's hooks its "hooks" holds
    // (githooks(5); ".sample" and other names are not noted, and a hook not there is absent), the file each
    // hook that is a link leads to, and the work tree's ".git".
    std::map<std::filesystem::path, NotedFile> files;

    // The key that names the unit among every run's: its Git folder, or its ".git" file.
    std::filesystem::path key() const;
    // Whether Git reads `path` as the unit's configuration: its settings decide, not its bytes.
    bool isConfiguration(const std::filesystem::path& path) const;
    // Whether Git would run a file that comes to be at `path`: one of Git's hook names in the unit's
    // "hooks".
    bool isHook(const std::filesystem::path& path) const;
    // Whether `path` is an entry of a folder that Git's configuration names: a new one counts as a new
    // hook does.
    bool isNamedEntry(const std::filesystem::path& path) const;
    // The folders that Git's configuration names, as given to `noteUnit`: those not beneath another.
    std::vector<std::filesystem::path> namedFolders() const;

    friend bool operator==(const NotedUnit&, const NotedUnit&) = default;
};

// The unit's files as they are now, and each of `named` (what Git's configuration names, absolute): a
// file as any other noted file, a folder whole, each entry beneath it, following no link.
NotedUnit noteUnit(const std::optional<std::filesystem::path>& gitFolder,
    const std::optional<std::filesystem::path>& workTree,
    const std::vector<std::filesystem::path>& named = {});

// The units in a form that `decoded` reads back; for the record in the data folder.
std::string encoded(const std::vector<NotedUnit>& units);
// What `encoded` wrote; the units read before any damage when the bytes are damaged.
std::vector<NotedUnit> decoded(std::string_view bytes);

}
