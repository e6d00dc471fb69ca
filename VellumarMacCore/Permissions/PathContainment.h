// The one containment rule of every permission check, on paths as written (no symlinks resolved).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vellumar {

// The path with "." and ".." components folded and no trailing "/" (except for "/" itself),
// without touching the disk.
std::filesystem::path standardizedPath(const std::filesystem::path& path);

// The path with the symbolic links of its existing part resolved; the missing rest is kept as written.
std::filesystem::path resolvingSymlinks(const std::filesystem::path& path);

// `resolvingSymlinks(folder / name)` for each name (one component each), with `folder` opened and
// resolved once for all of them, so that a name costs one lookup below it.
std::vector<std::filesystem::path> resolvingSymlinksBelow(
    const std::filesystem::path& folder, const std::vector<std::string>& names);

// True when `child` equals `folder` or lies below it, comparing standardized paths.
bool isPathInside(const std::filesystem::path& child, const std::filesystem::path& folder);

// `isPathInside` for a place that allows something: an empty place or the root covers nothing, since
// neither is ever a place the user chose and either would cover every path.
bool isPathCoveredBy(const std::filesystem::path& child, const std::filesystem::path& place);

// How a path is shown to the user: "~" for `home` itself, "~/<relative>" for a path below it, else
// the standardized path.
std::string homeRelativePath(const std::filesystem::path& path, const std::filesystem::path& home);

}
