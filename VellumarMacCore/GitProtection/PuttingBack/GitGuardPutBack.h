// How the guard undoes a change: the change is moved aside beside its name, never lost, what was noted
// is put back in its place, the older files moved aside from the same name are pruned, and each undoing
// gets its log line.
#pragma once

#include "VellumarMacCore/Foundations/MoveAside.h"
#include "VellumarMacCore/GitProtection/GitGuard.h"

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::GitGuardPutBack {

// What one move aside did, for its log line.
struct Undone {
    std::filesystem::path path;
    MovedAside moved;
    GitNotedFiles::NotedFile::Kind noted = GitNotedFiles::NotedFile::Kind::absent;
    bool putBack = false;
    // The file had other hard links, which keep the change: only this name was replaced or removed.
    bool replacedShared = false;
    // The settings or the hook that counted, when there is more to say than the path.
    std::string reason;
    // The older files moved aside from the same name that were removed.
    std::size_t removedOlder = 0;
    // A name kept off (`KeptOffNames`), where nothing was.
    bool keptOff = false;
};

// What undoing a unit's changes came to.
struct Settled {
    std::vector<std::filesystem::path> moved;
    // The changes that do not count, by path: what later changes compare with.
    std::map<std::filesystem::path, GitNotedFiles::NotedFile> accepted;
    std::size_t removedOlder = 0;
};

// Undoes the change at `path`, reached beneath a place, when it still differs from `noted`: moves it
// aside and puts `noted` back. A file with other hard links is not moved, since moved aside it would
// be made private under all its names: this name is replaced or removed, and the change stays at the
// others. The caller holds the lock of the registry of live runs (`LiveRuns::locked`), so that two runs
// never undo the same change twice.
std::optional<Undone> undo(const BeneathPlaces& places, const std::filesystem::path& path,
    const GitNotedFiles::NotedFile& noted, std::size_t copyLimit, const GitGuard::Clock& clock);

// Logs each change undone and adds where it went to `settled`.
void report(const std::vector<Undone>& undone, Settled& settled);

// One line for the older moved-aside files removed, when there were any.
void logRemovedOlder(std::size_t removed);

// Whether the name is one a change went aside as.
bool isMovedAside(const std::filesystem::path& path);

}
