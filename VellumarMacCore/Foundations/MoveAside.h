// Keeping a file out of the way without losing it: renamed beside itself under a dated name.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar {

struct MovedAside {
    // The new name, as `name` was given (relative to the folder or absolute); absent on failure.
    std::optional<std::string> name;
    // The errno of the rename that failed; 0 when it was moved.
    int error { 0 };
};

// Renames `name` (relative to the open folder `folderFD`, or any path with AT_FDCWD) to
// "<name>.<label>-<UTC time as 20261207T060408Z>", then "-2", "-3", ... while that name is taken; it
// never replaces anything and never follows a link at either name. What was moved is made private
// (0600, a folder 0700); a link is moved as it is, its target untouched. Never throws.
MovedAside moveAside(
    int folderFD, const std::string& name, std::string_view label, std::chrono::system_clock::time_point now);

// Given `movedName`, a name `moveAside` answered in the open folder `folderFD`, removes the files moved
// aside from the same name with the same label beside it, all but the newest `kept` (by the time in their
// names, then the number after it). A folder moved aside stays, as does anything named otherwise.
// Returns how many were removed. Never throws.
std::size_t removeOlderMovedAside(
    int folderFD, std::string_view movedName, std::string_view label, std::size_t kept);

// Whether `name` is one that `moveAside` gives with `label`.
bool isMovedAsideName(std::string_view name, std::string_view label);

}
