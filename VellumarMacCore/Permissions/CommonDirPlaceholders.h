// A "commondir" that reads "." in the ".git" folder of each place commands may write, for as long as
// a run's commands may write there. Git reads it as the folder itself, so nothing changes for Git inside
// or outside the sandbox; and since the file exists, the sandbox can make it read-only, so that no
// command can write one that sends Git elsewhere. (Where a denied name does not exist, the sandbox puts
// an empty file there instead, which Git refuses to work with.) Git ignores "core.worktree" and
// "core.bare" in a folder that has a "commondir", which a repository's own ".git" inside its work tree
// never needs, but a submodule's Git folder does: those are left to `CommonDirWatch`.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

namespace vellumar {

class CommonDirPlaceholders {
public:
    static constexpr std::string_view content = ".\n";

    // Each place's ".git" as the kernel resolves it: where placeholders go. Reads the disk; never fails.
    static std::vector<std::filesystem::path> gitFolders(const std::vector<std::filesystem::path>& places);

    // Writes a placeholder in each of `gitFolders` that exists and holds no "commondir", or takes
    // part in one that another run holds or that an earlier process left. Runs at once share a
    // placeholder; the last to let go removes it. Any thread. Never throws.
    explicit CommonDirPlaceholders(const std::vector<std::filesystem::path>& gitFolders);
    // Removes each placeholder no other run holds, unless something else is at its name by now.
    ~CommonDirPlaceholders();
    CommonDirPlaceholders(const CommonDirPlaceholders&) = delete;
    CommonDirPlaceholders& operator=(const CommonDirPlaceholders&) = delete;

    // The Git folders whose placeholder this holds.
    const std::vector<std::filesystem::path>& held() const noexcept { return m_held; }

private:
    std::vector<std::filesystem::path> m_held;
};

}
