// The folders Git keeps inside a repository's ".git" for its linked worktrees and its submodules. Each
// holds files that send Git elsewhere ("commondir") or that Git runs and follows ("hooks", "config",
// "config.worktree"), also when it is started outside any sandbox.
#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

namespace vellumar::GitFolders {

// Past this many a repository's further linked folders are not listed, so that a tree a command made
// cannot swell every later run's settings.
inline constexpr std::size_t maxLinkedFolders = 1000;

// The entries of "<place>/.git/worktrees/" and the submodule folders below "<place>/.git/modules/" (a
// submodule named "a/b" lies in "modules/a/b"), with the worktrees and submodules of each submodule in
// turn, as they are now and with their symbolic links resolved. Reads the disk; never fails.
std::vector<std::filesystem::path> linkedFolders(const std::filesystem::path& place);

// What commands may not write in each linked folder of `place`: its "commondir" where one exists (an
// empty placeholder where none does would stop every Git command there), "config.worktree", "hooks"
// and "config".
std::vector<std::filesystem::path> commandProtectedPaths(const std::filesystem::path& place);

}
