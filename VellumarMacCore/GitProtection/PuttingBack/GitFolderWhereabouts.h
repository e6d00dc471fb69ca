// Where a noted Git folder went when it is not at its name, known by its identity (device and inode),
// and how it is put back there: a command may move the user's Git folder, or a folder above it, and put
// something of its own at the name, and what went aside must not leave the user's repository moved.
#pragma once

#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"

#include <filesystem>
#include <optional>

namespace vellumar::GitFolderWhereabouts {

// The noted Git folder found at another name: `now` is `moved` with what lies below it, the same
// below `from`, which the Git folder's noted name lies below or is.
struct Found {
    std::filesystem::path from;
    std::filesystem::path moved;
    std::filesystem::path now;
};

// What is at `path` now, reached beneath the places through no link: absent where it cannot be.
GitNotedFiles::NotedFile reachedAt(const std::filesystem::path& path, const BeneathPlaces& places);

// Where the unit's Git folder, not at its name, is now beneath the places, looked for where a move
// within a place cheaply leaves it: beside it, or beside a folder above it below the place, with the
// same names below. Never through a link, and never at a name a change went aside as. Absent where the
// unit notes no folder, or it is at its name, or it is found nowhere there.
std::optional<Found> elsewhere(const GitNotedFiles::NotedUnit& unit, const BeneathPlaces& places);

// Renames what the Git folder was found at back to its name, replacing nothing: the folder it was
// moved with where that name is free, else the Git folder alone. Whether it is back.
bool movedBack(const Found& found, const BeneathPlaces& places);

// Trades the two names' folders in one step (`renameat2` with RENAME_EXCHANGE). Whether they traded.
bool exchanged(
    const std::filesystem::path& one, const std::filesystem::path& other, const BeneathPlaces& places);

// The unit as noted, each path below `from` taken below `to`: what it noted, where it is now.
GitNotedFiles::NotedUnit movedUnit(
    const GitNotedFiles::NotedUnit& unit, const std::filesystem::path& from, const std::filesystem::path& to);

// `path` below `from` taken below `to`; any other as it is.
std::filesystem::path movedPath(
    const std::filesystem::path& path, const std::filesystem::path& from, const std::filesystem::path& to);

}
