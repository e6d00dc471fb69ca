// The one containment rule of every permission check, on paths as written (no symlinks resolved).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellumar {

// The path with "." and ".." components folded and no trailing "/" (except for "/" itself),
// without touching the disk.
std::filesystem::path standardizedPath(const std::filesystem::path& path);

// The place the kernel would use for the path: its existing part with every symbolic link resolved
// (a dangling link leads to its target, where creating a file through it puts the file), the missing
// rest kept as written and folded. Every name in the answer was a folder, not a link, when it was
// looked up. Absent when the kernel could not resolve it either (a loop, a name too long, a folder
// that cannot be searched) or when the answer is PATH_MAX bytes or longer: callers treat such a path
// as lying outside every place.
std::optional<std::filesystem::path> resolvingSymlinks(const std::filesystem::path& path);

// Opens a path that `resolvingSymlinks` answered, with `flags` and O_NOFOLLOW, following no link
// anywhere on the way: a link there now was swapped in after the path was resolved, and the open
// fails with ELOOP. Kernels without openat2 only keep the last component from being a link; callers
// check what they opened. A descriptor the caller owns, or -1 with errno set.
int openWithoutLinks(const std::filesystem::path& resolved, int flags);

// `resolvingSymlinks(folder / name)` for each name (one component each), with `folder` looked up
// once for all of them, so that a name costs one lookup below it.
std::vector<std::optional<std::filesystem::path>> resolvingSymlinksBelow(
    const std::filesystem::path& folder, const std::vector<std::string>& names);

// True when `child` equals `folder` or lies below it, comparing standardized paths.
bool isPathInside(const std::filesystem::path& child, const std::filesystem::path& folder);
// The same for paths standardized already (as `resolvingSymlinks` answers them), without folding them
// again: for checks repeated over many paths.
bool isStandardizedPathInside(const std::filesystem::path& child, const std::filesystem::path& folder);

// `isPathInside` for a place that allows something: an empty place or the root covers nothing, since
// neither is ever a place the user chose and either would cover every path.
bool isPathCoveredBy(const std::filesystem::path& child, const std::filesystem::path& place);
// Whether any of `places` covers `child`.
bool isPathCoveredByAny(const std::filesystem::path& child, const std::vector<std::filesystem::path>& places);

// How a path is shown to the user: "~" for `home` itself, "~/<relative>" for a path below it, else
// the standardized path.
std::string homeRelativePath(const std::filesystem::path& path, const std::filesystem::path& home);

}
