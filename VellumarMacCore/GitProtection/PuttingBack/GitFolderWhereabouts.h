// Where a noted folder of a unit went when it is not at its name, its Git folder or the "hooks" there,
// known by its identity (device and inode), and how it is put back there: a command may move the user's
// folder, or a folder above it, and put something of its own at the name, and what went aside must
// leave neither the user's repository moved nor its hooks silent.
#pragma once

#include "VellumarMacCore/Foundations/LiveRuns.h"
#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"

#include <filesystem>
#include <optional>

namespace vellumar::GitFolderWhereabouts {

// The noted folder found at another name: `now` is `moved` with what lies below it, the same below
// `from`, which the folder's noted name lies below or is.
struct Found {
    std::filesystem::path from;
    std::filesystem::path moved;
    std::filesystem::path now;
};

// What is at `path` now, reached beneath the places through no link: absent where it cannot be.
GitNotedFiles::NotedFile reachedAt(const std::filesystem::path& path, const BeneathPlaces& places);

// Where the unit's noted `folder` (its Git folder, or its "hooks"), not at its name, is now beneath the
// places, looked for where a move within a place cheaply leaves it: beside it, or beside a folder above
// it below the place, with the same names below (or, for its hooks, alone). Never through a link, and never
// at a name a change went aside as. Absent where the unit notes no folder there, or it is at its name, or it
// is found nowhere there.
std::optional<Found> elsewhere(
    const GitNotedFiles::NotedUnit& unit, const std::filesystem::path& folder, const BeneathPlaces& places);

// Whether the unit's `folder`, found at `found`, and what is at its name now had traded names, as a
// command's `renameat2` with RENAME_EXCHANGE trades two repositories' Git folders or hooks, the other
// noted by its own unit in `locked`: they are traded back in one step, and neither is then a change.
bool tradedBack(const LiveRuns::Locked& locked, const GitNotedFiles::NotedUnit& unit,
    const std::filesystem::path& folder, const Found& found, const BeneathPlaces& places);

// Brings the unit's `folder`, found elsewhere, back to its name where something else took it, or took a
// folder on the way to it that moved with it: the two trade names in one step (RENAME_EXCHANGE), so that
// no instant, and so no kill, finds the name without the user's folder, and then what took it goes aside
// beside that name, noted in `dataFolder` as the guard's own (`MovedAsideByGuard`). What went aside, as
// undone at the name it took; absent where the two could not trade (a file system that cannot), with
// nothing moved. The caller holds the lock of the registry of live runs.
std::optional<GitGuardPutBack::Undone> broughtBack(const std::filesystem::path& dataFolder,
    const Found& found, const std::filesystem::path& folder, const BeneathPlaces& places,
    const GitGuard::Clock& clock);

// Renames what the folder was found at back to its name, replacing nothing: the folder it was moved
// with where that name is free, else the folder alone. Whether it is back. For a file system that
// cannot trade two names, once what took the name went aside: a kill between leaves the user's folder
// where it was found, compared there.
bool movedBack(const Found& found, const BeneathPlaces& places);

// The unit as noted, each path below `from` taken below `to`: what it noted, where it is now.
GitNotedFiles::NotedUnit movedUnit(
    const GitNotedFiles::NotedUnit& unit, const std::filesystem::path& from, const std::filesystem::path& to);

// `path` below `from` taken below `to`; any other as it is.
std::filesystem::path movedPath(
    const std::filesystem::path& path, const std::filesystem::path& from, const std::filesystem::path& to);

}
