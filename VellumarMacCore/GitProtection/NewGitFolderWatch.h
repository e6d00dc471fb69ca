// The part of a run's watch that sees Git folders come to be in the places while the run lasts: a
// repository a command makes, clones, moves in or adds as a worktree or submodule is judged when it
// appears and whenever something Git runs or reads is written into it, not only at the run's end.
#pragma once

#include "VellumarMacCore/GitProtection/GitGuard.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace vellumar {

class NewGitFolderWatch {
public:
    struct Watches {
        // Sets a watch of the folder for the events, counted against the watch's budget and kept until
        // released; -1 with `errno` set where it cannot be.
        std::function<int(const std::filesystem::path& folder, std::uint32_t events)> add;
        std::function<void(int descriptor)> release;
        // Whether the Git folder is one of the guard's units at its own name, which its own watch looks at.
        std::function<bool(const std::filesystem::path& gitFolder)> isUnit;
    };

    NewGitFolderWatch(GitGuard& guard, Watches watches);

    // At the run's start, before any event: watches each place's top, and the "worktrees/" and
    // "modules/" of each of the units' Git folders, for what is made there. Never throws but for memory.
    void start(const std::vector<std::filesystem::path>& places,
        const std::vector<std::filesystem::path>& gitFolders);
    // An event at `name` in `folder`, a folder any of the watch's watches is on (`descriptor`): kept for
    // `judgeSeen` where it may tell of a Git folder. Cheap, on the watch's thread.
    void saw(int descriptor, const std::filesystem::path& folder, std::string_view name, std::uint32_t mask);
    bool hasSeen() const noexcept { return !m_seen.empty(); }
    // On the watch's thread: looks through each folder that appeared for Git folders, watching the
    // folders the search for repositories enters as it goes (what is made in them next shows), and
    // judges each Git folder found, and each one watched here that was written into, with
    // `GitGuard::judge`. Returns what went aside. Never throws but for memory.
    std::vector<GitGuard::MovedChange> judgeSeen();
    // The watch of `descriptor` is gone.
    void forget(int descriptor);
    // Lets go of every watch set here, for a watch kept past its run: what is new is the next run's.
    void releaseAll();

private:
    // What a watched folder is to this part: a folder the search enters; a ".git" folder, or an entry
    // of "worktrees/" or "modules/" (or a level of a submodule's name), that becomes a Git folder once
    // its entries may make it one; a Git folder's "worktrees/" or "modules/"; a new Git folder; its
    // "hooks".
    enum class Kind { plain, dotGit, holder, gitFolder, hooks };
    struct Seen {
        int descriptor;
        std::filesystem::path folder;
        std::string name;
        std::uint32_t mask;
    };

    void classify(const Seen& seen);
    // Watches `folder` and, unless it was watched here already and `again` is false, goes through it for
    // Git folders, each folder it holds taken in turn.
    void take(const std::filesystem::path& folder, Kind kind, bool again);
    void takeDotGit(const std::filesystem::path& dotGit, bool again);
    // A Git folder found: watched for what is written into it, and judged.
    void found(const std::filesystem::path& gitFolder);
    bool inPlace(const std::filesystem::path& path) const;
    // The watch of `folder` set here, as `Watches::add` gives it; `watchedBefore` tells whether this part
    // had it already.
    int watch(const std::filesystem::path& folder, Kind kind, bool* watchedBefore = nullptr);

    GitGuard* m_guard;
    Watches m_watches;
    std::vector<std::filesystem::path> m_places; // resolved
    std::vector<Seen> m_seen;
    std::map<int, Kind> m_kinds;
    // Of each new Git folder watched: its path and identity; of each of their "hooks", its Git folder's
    // watch.
    std::map<int, GitFoldersInPlaces::Found> m_gitFolders;
    std::map<int, int> m_hooksOf;
    bool m_budgetSpent = false;
    // For one `judgeSeen`: the folders still to go through, those gone through, and what to judge.
    std::deque<std::tuple<std::filesystem::path, Kind, bool>> m_toTake;
    std::set<int> m_taken;
    std::map<std::filesystem::path, GitFoldersInPlaces::Found> m_toJudge;
};

}
