// What counts in a Git folder that no run noted: it is judged against an empty repository, so that a
// repository a command made (`git init`, `git clone`, a submodule, a linked worktree) keeps its objects,
// refs, work and everyday settings, and what could make the user's Git run something there goes aside.
#pragma once

#include "VellumarMacCore/GitProtection/BeneathPlaces.h"
#include "VellumarMacCore/GitProtection/Finding/CommandWriteWindows.h"
#include "VellumarMacCore/GitProtection/Judging/GitCountedSettings.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vellumar::NewGitFolders {

struct Counted {
    std::filesystem::path path; // a hook, a configuration file or a "commondir", to go aside
    std::string reason; // what counted, for the log line and the bot
    // What takes its place: nothing, what Git itself writes there, or a configuration without the
    // settings that counted.
    GitNotedFiles::NotedFile instead = {};
    // A configuration goes aside whenever it changed: the user's own Git rewrites one whole, a
    // command's settings with it.
    bool isConfiguration = false;
    // The settings `instead` lacks, where it is a configuration without them.
    std::set<std::string, std::less<>> takenOut = {};
    // `instead` is what a run noted there, put back as a comparison puts it back.
    bool insteadIsNoted = false;
    // Closed unread, where what was there when the run started is not known: nobody is told there was none.
    bool unknownBefore = false;
};

struct Judging {
    // Whether a run noted a Git folder (as the kernel resolves it) before this run began
    // (`KnownGitFolders`): a remote's local path or a "commondir" leading into any other counts.
    std::function<bool(const std::filesystem::path&)> isKnownGitFolder;
    GitCountedSettings::Reader settings;
    // Only what changed when a command could write there counts (every hook of a "hooks" that did), by
    // the kernel's status-change stamp, which no command can set back: what changed at other times is
    // the user's.
    CommandWriteWindows windows;
    // At the next start after a kill, the wall-clock time after which the killed runs' commands could
    // write no more (`LiveRunsHeartbeat::commandsEndedBy`): what changed later, but a configuration, is
    // the user's and stays.
    std::optional<std::chrono::nanoseconds> commandsEndedBy = std::nullopt;
};

// Whether what is at `path` (a link as itself) changed while a command could write there, by
// `judging.windows`: the one test of what in a Git folder is the commands' work, and what the user's own.
// False where nothing is.
bool changedDuringCommands(const std::filesystem::path& path, const Judging& judging);

// What counts in `gitFolder` (as the kernel resolves it): each of Git's hooks its "hooks" holds, a
// "hooks" that is no folder, a "commondir" that leads Git into a folder other than the Git folder whose
// "worktrees/" holds it or one `isKnownGitFolder` takes (a linked worktree's gets Git's own "../.."
// instead), and a "config" or "config.worktree" holding a setting that an empty repository does not
// ("core.bare" alone) and the everyday list does not name, read from the work tree Git finds the folder
// by; the same file without those settings takes its place, where Git reads it and nothing more counts
// (`SettingsTakenOut`). "hooks" is listed beneath `places`, its
// owner's permission given back where a command took it. Reads the disk; never throws but for memory.
std::vector<Counted> counted(
    const std::filesystem::path& gitFolder, const BeneathPlaces& places, const Judging& judging);

// What goes aside of `gitFolder` where it could not be judged in time, nothing of it read: each of what
// Git runs or follows there ("hooks" whole, "config", "config.worktree", "commondir" and the state
// of a stopped rebase, cherry-pick or revert) that changed while a command could write there, "hooks"
// where it or one of Git's hooks in it did, all for `reason`. What `isPassedOver` says (what a unit's
// comparison judges, what the guard moved aside) is passed over. A linked worktree's "commondir" gets Git's
// own "../.." in its place, as in `counted`. Reads no more than the status of those names; never throws but
// for memory.
std::vector<Counted> closed(const std::filesystem::path& gitFolder, const Judging& judging,
    const std::function<bool(const std::filesystem::path&)>& isPassedOver, const std::string& reason);

// What goes aside of a unit a run noted where it could not be compared in time, nothing of it read, for
// `reason`: each noted file, link or name that was not there that changed while a command could write
// there, what was noted put back in its place (a "HEAD" only where Git could not read it as one); a file
// or link in the place of a noted folder; and in a noted folder that changed, each entry not noted of its
// "hooks" that is one of Git's hooks, of one Git's configuration names, and of one a hook puts first on
// PATH that changed itself, with nothing in its place. What `isPassedOver` says (what the guard
// moved aside) is passed over. Reads no more than the status of those names, the listings of those
// folders and a "HEAD"; never throws but for memory.
std::vector<Counted> closedUnit(const GitNotedFiles::NotedUnit& noted, const BeneathPlaces& places,
    const Judging& judging, const std::function<bool(const std::filesystem::path&)>& isPassedOver,
    const std::string& reason);

// What takes the place of a configuration that `counted` found with settings taken out (`takenOut`),
// made from the file as it is just before it goes aside: the same without them, or nothing where it is
// no file or is not read as Git reads it. Never throws but for memory.
GitNotedFiles::NotedFile keptOf(const Counted& counted, const GitNotedFiles::NotedFile& now);

// What counts in `file`, a configuration of `gitFolder`, as it went aside (`wentAside`), judged as
// `counted` judges it, with what then takes its place: absent where nothing counts. A command may have
// written it again between the judging and the move. Never throws but for memory.
std::optional<Counted> judgedAsItWentAside(const std::filesystem::path& gitFolder,
    const std::filesystem::path& file, const GitNotedFiles::NotedFile& wentAside, const Judging& judging);

}
