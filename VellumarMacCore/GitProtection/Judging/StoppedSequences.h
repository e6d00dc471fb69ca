// What a rebase, cherry-pick, revert or `git am` left stopped would run when the user continues it
// outside the sandbox: the commands of its to-do list and the merge strategy its state names. One the
// user left stopped before the run is theirs, and the sandbox keeps commands from its state
// (`GitRepositories`); what changed in one while a command could write there is judged here.
#pragma once

#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/Judging/NewGitFolders.h"

#include <filesystem>
#include <vector>

namespace vellumar::StoppedSequences {

// What counts in the state folders (`WhatGitRuns::Kind::sequencerState`) that `gitFolder` (as the kernel
// resolves it) holds, reached beneath `places` alone: a to-do list with a line whose command is none of
// Git's own ("exec", "x", or one this program does not know), whose place the same list without those
// lines takes, so that the user can continue or abort the sequence as Git would; a merge strategy that
// is none of Git's own ("strategy", or "options.strategy" in the "opts" of a cherry-pick or revert); any
// of them that cannot be read as a file; and a state folder that is a link. Only what changed while a
// command could write there counts (`NewGitFolders::changedDuringCommands`), a state folder's own stamp
// for all it holds, since one renamed into place keeps its files' old stamps. Reads the disk; never
// throws but for memory.
std::vector<NewGitFolders::Counted> counted(const std::filesystem::path& gitFolder,
    const BeneathPlaces& places, const NewGitFolders::Judging& judging);

}
