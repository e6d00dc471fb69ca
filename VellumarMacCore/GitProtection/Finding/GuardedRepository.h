// A repository the run's search found, with what it learned of it for the guard to note and watch.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

namespace vellumar {

struct GuardedRepository {
    std::filesystem::path gitFolder; // as the kernel resolves it
    std::optional<std::filesystem::path> workTree; // absent for a bare repository
    // What Git's configuration names in the writable places (`GitConfigPaths::configuredPaths`), as the
    // kernel resolves it: noted with the repository's own files, a folder whole, so that a new or
    // changed file there counts as a hook does.
    std::vector<std::filesystem::path> configured;
    // The folders its hooks put first on PATH (`HookSearchPath::foldersPutFirst`), for its work tree
    // and for those of the linked worktrees and submodules whose Git folders it holds, as the kernel
    // resolves them, there or not: a new or changed entry there counts when its name would shadow one
    // of the user's programs.
    std::vector<std::filesystem::path> searchedFirst;
    // Its linked folders (`GitFoldersInPlaces::linkedGitFolders`) as the run's search read them; absent
    // to have the guard read them.
    std::optional<std::vector<std::filesystem::path>> linkedFolders = std::nullopt;

    friend bool operator==(const GuardedRepository&, const GuardedRepository&) = default;
};

}
