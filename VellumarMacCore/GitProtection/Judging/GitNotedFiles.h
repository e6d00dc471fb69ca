// What a repository's files that make Git run something hold at one moment, so that a later change to
// them can be told, judged and undone: the hooks, the configuration, "commondir" and the ".git" file
// that sends Git to a Git folder.
#pragma once

#include "VellumarMacCore/GitProtection/BeneathPlaces.h"

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::GitNotedFiles {

// A file other than a configuration larger than this is noted by its identity, not copied: a change to
// it is moved aside, and nothing can be put back in its place.
inline constexpr std::size_t maxCopiedBytes = 1024 * 1024;
// A configuration is noted whole up to this, since everyday Git work changes it and that must stay:
// far past what a user's own grows to (a few kilobytes; tens of megabytes where a tool keeps a setting
// per branch). One larger is judged by its identity alone, so that a run's end that reads and judges it
// takes a bounded time whatever a command wrote there: changed, it goes aside whole.
inline constexpr std::size_t maxConfigurationBytes = 64 * 1024 * 1024;

struct NotedFile {
    enum class Kind : char {
        absent = 'a',
        file = 'f', // `content` holds its bytes
        link = 'l', // `content` holds its target
        large = 'g', // a regular file past its copy limit, or unreadable: `content` holds its identity
        other = 'o', // a folder, FIFO, device...: `content` holds its type and identity
        // A folder that Git's configuration names, noted whole: `content` holds its identity, and each
        // entry beneath it is noted too, so that a new one shows.
        namedFolder = 'd',
        // What Git's configuration names that was not there: a file that comes there counts as a new
        // hook does, and a folder is noted whole from then on, each entry it holds counting.
        namedAbsent = 'n',
        // A folder a hook puts first on PATH (`HookSearchPath`), there or not: `content` holds its
        // identity, empty while it is absent, and each entry there whose name would shadow one of the
        // user's programs is noted too.
        searchedFolder = 'p',
    };
    Kind kind = Kind::absent;
    std::string content;
    unsigned mode = 0; // the permission bits of a file

    // Whether it is what Git's configuration names, noted whole, there or not: each entry a folder
    // there holds is judged.
    bool isNamed() const noexcept { return kind == Kind::namedFolder || kind == Kind::namedAbsent; }

    friend bool operator==(const NotedFile&, const NotedFile&) = default;
};

// What is at `path` now, found by name: the links before its last name are followed. For what is only
// read, never undone.
NotedFile noteFile(const std::filesystem::path& path, std::size_t copyLimit);

// What is at the reached name now, without following a link there; absent when the way there is
// missing or blocked by a link. Reads at most `copyLimit` + 1 bytes; never throws but for memory.
NotedFile noteReached(const BeneathPlaces::Reached& reached, std::size_t copyLimit);

// Whether Git reads `file`, noted at a Git folder's "HEAD", without waiting or reading without end: a
// regular file within the copy limit, or a link it takes by its target alone. What else a command
// leaves there (a FIFO, a device, a link to one) holds the user's Git: what was noted goes back.
bool gitReadsAsHead(const NotedFile& file);

// Whether `commonDir`, noted in `gitFolder`, sends Git back to that folder itself, as a placeholder's
// does (`CommonDirPlaceholders`). Reads the disk to resolve it.
bool namesItsOwnFolder(const std::filesystem::path& gitFolder, const NotedFile& commonDir);

// One Git folder, or one ".git" file alone, as noted.
struct NotedUnit {
    std::optional<std::filesystem::path> gitFolder; // as the kernel resolves it
    std::optional<std::filesystem::path> workTree; // whose ".git" is noted
    // The writable places it was noted beneath: where the next start acts after a kill.
    std::vector<std::filesystem::path> places;
    // By absolute path, each reached beneath a place (what lies beneath none is not noted, as no
    // command can change it): the Git folder itself and its "hooks", by kind and identity; the Git folder's
    // "config", "config.worktree", "commondir" and "HEAD" (absent ones too, and a "commondir" that
    // `namesItsOwnFolder` as absent), each of Git's hooks its "hooks" holds (githooks(5); ".sample" and other
    // names are not noted, and a hook not there is absent), every link on the way from a hook to the file it
    // leads to and that file, and the work tree's ".git".
    std::map<std::filesystem::path, NotedFile> files;

    // The key that names the unit among every run's: its Git folder, or its ".git" file.
    std::filesystem::path key() const;
    // Whether Git reads `path` as the unit's configuration: its settings decide, not its bytes.
    bool isConfiguration(const std::filesystem::path& path) const;
    // Whether `path` is the unit's "HEAD", which everyday Git work rewrites: only what Git cannot read
    // there counts (`gitReadsAsHead`).
    bool isHead(const std::filesystem::path& path) const;
    // Whether Git would run a file that comes to be at `path`: one of Git's hook names in the unit's
    // "hooks".
    bool isHook(const std::filesystem::path& path) const;
    // Whether `path` is an entry of a folder that Git's configuration names, there when noted or not: a
    // new one counts as a new hook does.
    bool isNamedEntry(const std::filesystem::path& path) const;
    // How many bytes of `path` are copied: `maxConfigurationBytes` of a configuration, `maxCopiedBytes`
    // of the others.
    std::size_t copyLimit(const std::filesystem::path& path) const;

    friend bool operator==(const NotedUnit&, const NotedUnit&) = default;
};

// What is at `path` of `unit` now, reached there beneath a place: `noteReached` to the unit's copy
// limit, with a "commondir" that `namesItsOwnFolder` taken as absent, and a folder at a path that Git's
// configuration names, or that a hook puts first on PATH, whichever folder it is, as noted there: a
// `Kind::namedFolder` or a `Kind::searchedFolder`.
NotedFile noteInUnit(
    const NotedUnit& unit, const std::filesystem::path& path, const BeneathPlaces::Reached& reached);

// The names in `folder`, a place or reached beneath one without following a link; none where it cannot
// be.
std::vector<std::string> entriesBeneath(const BeneathPlaces& places, const std::filesystem::path& folder);

// The names in `folder` (one the unit's hooks put first on PATH), reached as `entriesBeneath` does, that
// would be found in place of one of the user's programs outside the unit's work tree
// (`HookSearchPath::ShadowedPrograms` on `HookSearchPath::usersSearchPath`).
std::vector<std::string> shadowingEntriesBeneath(
    const NotedUnit& unit, const BeneathPlaces& places, const std::filesystem::path& folder);

// The unit's files as they are now, reached beneath `places`, and each of `named` (what Git's
// configuration names, absolute): a file as any other noted file, a folder whole, each entry beneath it,
// and what is not there as `Kind::namedAbsent`. Each of `searchedFirst` (folders its hooks put first on
// PATH, absolute) not noted so already is a `Kind::searchedFolder` with its `shadowingEntriesBeneath`;
// a file or link in its place is noted as any other file.
NotedUnit noteUnit(const std::optional<std::filesystem::path>& gitFolder,
    const std::optional<std::filesystem::path>& workTree, const BeneathPlaces& places,
    const std::vector<std::filesystem::path>& named = {},
    const std::vector<std::filesystem::path>& searchedFirst = {});

// The units in a form that `decoded` reads back; for the record in the data folder.
std::string encoded(const std::vector<NotedUnit>& units);

struct Decoded {
    // Every unit read, and of a damaged one the files read before the damage.
    std::vector<NotedUnit> units;
    bool damaged = false;
};
// What `encoded` wrote.
Decoded decoded(std::string_view bytes);

}
