// What in a Git folder the user's Git could wait on, or read from where a command chose. Git never needs a
// FIFO, a socket or a device in a Git folder, and the only link it writes there is a symbolic ref (a link
// whose target starts "refs/", as HEAD once was and Git still reads): anything else a command left in one
// (at the index, packed-refs, a ref, MERGE_HEAD, an object, HEAD itself) goes aside whole, whatever its
// name, rather than each of the files Git reads being listed.
#pragma once

#include "VellumarMacCore/GitProtection/Judging/NewGitFolders.h"

#include <filesystem>
#include <functional>
#include <vector>

namespace vellumar::UnreadableEntries {

struct Found {
    std::vector<NewGitFolders::Counted> counted;
    // The walk went through the whole Git folder before `pastBound` said it was out of time.
    bool whole = true;
};

// Every entry of `gitFolder` (as the kernel resolves it), at any depth, that is neither a regular file, a
// folder nor a symbolic ref, and changed while a command could write there
// (`NewGitFolders::changedDuringCommands`). No link is followed, and "worktrees/" and "modules/" are not
// entered: the Git folders there are gone through as Git folders of their own. What `isPassedOver` says (what
// a unit's comparison judges, what the guard moved aside) is passed over. Only the folders' listings are
// read, with the status of what they list as something else; `pastBound` is asked every so many entries, and
// stops the walk where it says so. Reads the disk; never throws but for memory.
Found counted(const std::filesystem::path& gitFolder, const NewGitFolders::Judging& judging,
    const std::function<bool(const std::filesystem::path&)>& isPassedOver,
    const std::function<bool()>& pastBound);

}
