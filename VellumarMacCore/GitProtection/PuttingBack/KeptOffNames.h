// The names in a run's writable places that direnv, an editor, Claude Code or Git would act on later,
// outside the sandbox, and that did not exist when the run started: a new ".envrc", "CLAUDE.md" or
// ".vscode" at a place's top, a ".git" at the top of a place that is no repository, a "commondir" or
// "config.worktree" in a place's Git folder. The sandbox denies only what exists (a missing path it
// could deny only with an empty read-only placeholder, which the user's tools and other runs would
// take for a real file), so the run's guard moves aside whatever comes to be at one of these names.
#pragma once

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vellumar {

class KeptOffNames {
public:
    // The folders holding `paths` (absolute, as the kernel resolves them), each with the names it must
    // not come to hold.
    explicit KeptOffNames(const std::vector<std::filesystem::path>& paths);

    std::size_t folderCount() const noexcept { return m_folders.size(); }
    const std::filesystem::path& folder(std::size_t index) const { return m_folders.at(index).first; }
    const std::set<std::string>& names(std::size_t index) const { return m_folders.at(index).second; }

private:
    std::vector<std::pair<std::filesystem::path, std::set<std::string>>> m_folders;
};

}
