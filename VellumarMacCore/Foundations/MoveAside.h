// Keeping a file out of the way without losing it: renamed beside itself under a dated name no one can
// take first.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
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
// "<name>.<label>-<UTC time as 20261207T060408Z>-<8 random hexadecimal digits>", drawing the digits
// again while that name is taken, so that no one can take the name first; it never replaces anything
// and never follows a link at either name. What was moved is made private (0600, 0700 where its owner
// could run it, a folder 0700); a link is moved as it is, its target untouched. Never throws.
MovedAside moveAside(
    int folderFD, const std::string& name, std::string_view label, std::chrono::system_clock::time_point now);

// As `moveAside`, but from `name` in the open folder `fromFD` to the name `moveAside` would give
// `besideName` in the open folder `toFD`: what took a name is kept beside that name wherever it lies now.
MovedAside moveAsideInto(int fromFD, const std::string& name, int toFD, const std::string& besideName,
    std::string_view label, std::chrono::system_clock::time_point now);

// Puts what `make` creates in place of `name` and keeps what was there beside it, under the name
// `moveAside` would give it, so that no instant finds `name` missing: `make` creates the replacement at
// the name offered, never replacing anything there, and answers 0 or the errno (EEXIST to be offered
// another name); the two then trade places in one step (RENAME_EXCHANGE), and what went aside is made
// private. On failure the replacement is removed again and `name` holds what it held. Never throws.
MovedAside exchangeAside(int folderFD, const std::string& name, std::string_view label,
    std::chrono::system_clock::time_point now, const std::function<int(const std::string& at)>& make);

// The name that `moveAside` moved to `name` with `label`, or absent for a name it does not give.
std::optional<std::string> movedAsideFrom(std::string_view name, std::string_view label);

// Whether `name` is one that `moveAside` gives with `label`, or gave in older builds (the stamp alone,
// then "-2" to "-1000").
bool isMovedAsideName(std::string_view name, std::string_view label);

}
