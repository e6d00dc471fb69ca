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
    // Whether a ".git" file at the Git folder's name leads Git to it where it is now: Git moved it there
    // itself, and the file is the bot's work to keep.
    bool namedFromItsName = false;
};

// What is at `path` now, reached beneath the places through no link: absent where it cannot be.
GitNotedFiles::NotedFile reachedAt(const std::filesystem::path& path, const BeneathPlaces& places);

// Where the unit's noted `folder` (its Git folder, or its "hooks"), not at its name, is now beneath the
// places, looked for where a move within a place cheaply leaves it: beside it, or beside a folder above
// it below the place, with the same names below (or, for its hooks, alone); a work tree's Git folder
// also where a ".git" file at its name leads, as "git submodule absorbgitdirs" leaves it in the
// superproject's "modules/". Never through a link, and never in what the guard moved aside
// (`MovedAsideByGuard`, noted in `dataFolder`), whatever its name. Absent where the unit notes no folder
// there, or it is at its name, or it is found nowhere there.
std::optional<Found> elsewhere(const std::filesystem::path& dataFolder, const GitNotedFiles::NotedUnit& unit,
    const std::filesystem::path& folder, const BeneathPlaces& places);

// Whether the unit's `folder`, found at `found`, and what is at its name now had traded names, as a
// command's `renameat2` with RENAME_EXCHANGE trades two repositories' Git folders or hooks, the other
// noted by its own unit in `locked`: they are traded back, and neither is then a change. Two names trade
// in one step, or where the file system cannot, in steps recorded in `locked` first (`finishTrades`), where
// what a command puts at a name a step needs goes aside beside it at `clock`'s time, noted in `dataFolder`
// as the guard's own.
bool tradedBack(LiveRuns::Locked& locked, const std::filesystem::path& dataFolder,
    const GitNotedFiles::NotedUnit& unit, const std::filesystem::path& folder, const Found& found,
    const BeneathPlaces& places, const GitGuardPutBack::Clock& clock);

// Brings the unit's `folder`, found elsewhere, back to its name where something else took it, or took a
// folder on the way to it that moved with it: the two trade names, and then what took it goes aside
// beside that name, noted in `dataFolder` as the guard's own (`MovedAsideByGuard`). They trade in one
// step, so that no instant, and so no kill, finds the name without the user's folder, or where the file
// system cannot, in steps recorded in `locked` before the first, which the next start finishes after a
// kill (`finishTrades`). What went aside, as undone at the name it took; absent where the two could not
// trade, with nothing moved.
std::optional<GitGuardPutBack::Undone> broughtBack(LiveRuns::Locked& locked,
    const std::filesystem::path& dataFolder, const Found& found, const std::filesystem::path& folder,
    const BeneathPlaces& places, const GitGuardPutBack::Clock& clock);

// Renames what the folder was found at back to its name, replacing nothing: the folder it was moved
// with where that name is free, else the folder alone. Whether it is back. Where the two could not
// trade, once what took the name went aside.
bool movedBack(const Found& found, const BeneathPlaces& places);

// For the program's start, before its first run: takes the steps left of each trade a killed process
// had recorded (`broughtBack`, `tradedBack`), knowing each folder by its identity, so that the one that
// waited beside its name is at one of the two names again, and forgets each trade so finished; what took
// a name a step needs goes aside first, noted in `dataFolder`. One it cannot finish stays recorded for
// the next start. Throws the errors of `LiveRuns::Locked::write`.
void finishTrades(
    LiveRuns::Locked& locked, const std::filesystem::path& dataFolder, const GitGuardPutBack::Clock& clock);

// The unit as noted, each path below `from` taken below `to`: what it noted, where it is now.
GitNotedFiles::NotedUnit movedUnit(
    const GitNotedFiles::NotedUnit& unit, const std::filesystem::path& from, const std::filesystem::path& to);

// `path` below `from` taken below `to`; any other as it is.
std::filesystem::path movedPath(
    const std::filesystem::path& path, const std::filesystem::path& from, const std::filesystem::path& to);

}
