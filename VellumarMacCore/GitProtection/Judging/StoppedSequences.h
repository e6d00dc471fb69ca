// What a rebase, cherry-pick, revert or `git am` that a run's commands started and left stopped would
// run when the user continues it outside the sandbox: the commands of its to-do list and the merge
// strategy its state names. One stopped when the run starts is the user's, and the sandbox keeps
// commands from its state (`GitRepositories`); one that is new when the run ends is judged here.
#pragma once

#include "VellumarMacCore/Foundations/LiveRuns.h"
#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/GitGuard.h"

#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vellumar {

class StoppedSequences {
public:
    // Notes, as the run starts, which of the sequencer's state folders (`WhatGitRuns::Kind::sequencerState`)
    // each repository's Git folder and its linked folders hold, by identity, and opens each of `places`
    // once. Reads the disk; never throws but for memory.
    StoppedSequences(
        const std::vector<GuardedRepository>& repositories, const std::vector<std::filesystem::path>& places);

    // At the run's end, judges each state folder that the repositories' Git folders and their linked
    // folders hold now and did not hold as the same folder when the run started: a to-do list with a
    // line whose command is none of Git's own ("exec", "x", or one this program does not know), a
    // merge strategy that is none of Git's own ("strategy", or "options.strategy" in the "opts" of a
    // cherry-pick or revert), any of them that cannot be read as a file, and a state folder that is a
    // link go aside as "<name>.refused-<time>-<random>", reached beneath the places alone, under the lock of
    // `liveRuns`, with a log line each. What is left lets the user see the stop and abort it. Returns
    // the changes moved aside. Never throws.
    std::vector<GitGuard::MovedChange> judgeNew(LiveRuns& liveRuns, const GitGuard::Clock& clock) const;

private:
    // The state folders there as the run starts, by path and identity.
    using Identity = std::pair<std::filesystem::path, std::string>;

    std::vector<std::filesystem::path> m_gitFolders;
    BeneathPlaces m_places;
    std::set<Identity> m_atStart;
};

}
