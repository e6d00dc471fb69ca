// Undoes a "commondir" that a run's commands made or changed where they may write. Git takes its
// configuration and hooks from the folder such a file names, so the user's next Git command, run
// outside the sandbox by a shell prompt or an editor, would otherwise run code the commands chose.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vellumar {

class CommonDirGuard {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    static constexpr const char* refusedLabel = "refused";

    // Notes what "<place>/.git/commondir" and the "commondir" of each of the place's linked Git folders
    // (`GitFolders::linkedFolders`) hold now, for every place; but not the ".git/commondir" of the place
    // `leftToClaudeCode`, Claude Code's working directory, where Claude Code denies it to commands
    // itself and sets aside what it does not expect. Reads the disk; never fails.
    explicit CommonDirGuard(const std::vector<std::filesystem::path>& places,
        Clock clock = std::chrono::system_clock::now,
        const std::optional<std::filesystem::path>& leftToClaudeCode = std::nullopt);

    // The Git folders this guard watches: each place's ".git" as the kernel resolves it, then its linked
    // folders.
    std::vector<std::filesystem::path> watchedFolders() const;

    // Moves aside as "commondir.refused-<time>" (0600) every watched "commondir" that is new or changed
    // since construction, with one log line each, and returns where each went. A later change is
    // noticed again. Any thread; calls are serialised. Never throws.
    std::vector<std::filesystem::path> moveAsideChanged();

    // The same for the one watched folder `gitFolder` (nothing when it is not watched).
    std::optional<std::filesystem::path> moveAsideChangedIn(const std::filesystem::path& gitFolder);

private:
    struct Watched {
        std::filesystem::path gitFolder;
        // What the file was at construction, as `describe` puts it; absent when there was none.
        std::optional<std::string> initial;
    };

    std::optional<std::filesystem::path> moveAsideIfChanged(const Watched& watched);

    mutable std::mutex m_lock;
    std::vector<Watched> m_watched;
    const Clock m_clock;
};

}
