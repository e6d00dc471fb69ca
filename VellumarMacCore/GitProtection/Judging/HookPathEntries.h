// What counts in the folders a Git folder's hooks put first on PATH, judged at a run's end wherever
// they lie below the work tree and whenever they were made: a program there that would be found in
// place of one of the user's own, written while a command could write there.
#pragma once

#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"
#include "VellumarMacCore/GitProtection/Judging/NewGitFolders.h"

#include <filesystem>
#include <vector>

namespace vellumar::HookPathEntries {

// What counts for `gitFolder` (as the kernel resolves it), whose hooks are those of the folder its
// "commondir" names and, where `noted` (what a run noted of it, at its present name) holds them, the
// folders Git's configuration names; they run at its work tree's top (the folder holding its ".git", a
// linked worktree's as its "gitdir" tells, else the Git folder itself). In each folder they may put
// first on PATH (`HookSearchPath::foldersPutFirst`, each relative one wherever it lies below the top,
// `HookSearchPath::wherePutFirst`), reached beneath `places`: each link or executable file whose name
// would be found in place of one of the user's programs (`GitNotedFiles::shadowingEntriesBeneath`) and
// that changed while a command could write there (`NewGitFolders::changedDuringCommands`), to go aside
// with nothing in its place. Passed over, as judged elsewhere: a folder `noted` holds as one its hooks
// put first and every file it notes, which its comparison judges, and a hook in a hooks folder. Reads
// the disk; never throws but for memory.
std::vector<NewGitFolders::Counted> counted(const std::filesystem::path& gitFolder,
    const GitNotedFiles::NotedUnit* noted, const BeneathPlaces& places,
    const NewGitFolders::Judging& judging);

}
