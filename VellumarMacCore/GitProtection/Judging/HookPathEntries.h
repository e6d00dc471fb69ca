// What counts in the folders a Git folder's hooks put first on PATH, judged at a run's end wherever
// they lie below a work tree Git would use for it and whenever they were made: a program there that
// would be found in place of one of the user's own, written while a command could write there.
#pragma once

#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/Finding/GitFoldersInPlaces.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"
#include "VellumarMacCore/GitProtection/Judging/NewGitFolders.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vellumar::HookPathEntries {

// What counts for `found`, whose hooks are those of the folder its "commondir" names and the folders
// Git's configuration names: where `noted` (what a run noted of it, at its present name) holds them,
// those it noted, else the one "core.hooksPath" names (with the scripts a hook manager's runners there
// run, `GitProgramSettings::hookManagerFolder`) and, where a top's ".git" leads Git to it, every folder
// its configuration names through what it includes (`GitConfigPaths::configuredPaths`). They run at each
// top of a work tree Git would use for it (`GitFolders::workTreesOf`). In each folder
// they may put first on PATH (`HookSearchPath::foldersPutFirst`, each relative one wherever it lies
// below the top, `HookSearchPath::wherePutFirst`; every folder below the top, `HookSearchPath::foldersBelow`,
// where their words cannot be followed), reached beneath `places`: each link or executable
// file whose name would be found in place of one of the user's programs
// (`HookSearchPath::ShadowedPrograms`) and that changed while a command could write there
// (`NewGitFolders::changedDuringCommands`), to go aside with nothing in its place. Passed over, as
// judged elsewhere: a folder `noted` holds as one its hooks put first and every file it notes, which
// its comparison judges, and a hook in a hooks folder. Reads the disk, and the configuration where it
// names a work tree or a hooks folder, with `judging.settings` where it is not plain
// (`PlainGitSettings`), and by `git` in a repository no run noted; never throws but for memory.
std::vector<NewGitFolders::Counted> counted(const GitFoldersInPlaces::Found& found,
    const GitNotedFiles::NotedUnit* noted, const BeneathPlaces& places,
    const NewGitFolders::Judging& judging);

// What goes aside of `found` where the run's end had no time left to judge the folders its hooks put
// first on PATH, for `reason`: at each top, where those hooks put any folder first or their words cannot be
// followed, the folders Git runs them from that hold one of Git's hooks (its "commondir"'s "hooks" and the
// one "core.hooksPath" names), whole, so that no program a command left there runs at the user's commit;
// where such a folder lies outside every place, the ".git" file at that top that sends Git to it instead,
// and where the ".git" there is a folder, each of its "config" and "config.worktree" in a place that sets
// the "core.hooksPath" naming it, with the same file without that setting in its place
// (`NewGitFolders::Counted::takenOut`) where what else it holds is the user's (noted, or unchanged while a
// command could write), else whole. A setting that comes from outside every place (the user's own
// configuration, or a file included from there) cannot go aside, and is left as it is.
// Their words are read as `counted` reads them, but for what Git's configuration names through what it
// includes, which takes `git`. What `isPassedOver` says is passed over. Reads the configuration and the
// hooks' words, no folder below a top; never throws but for memory.
std::vector<NewGitFolders::Counted> closed(const GitFoldersInPlaces::Found& found,
    const GitNotedFiles::NotedUnit* noted, const BeneathPlaces& places, const NewGitFolders::Judging& judging,
    const std::function<bool(const std::filesystem::path&)>& isPassedOver, const std::string& reason);
}
