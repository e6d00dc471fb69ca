// A "commondir" naming the ".git" folder itself, in the ".git" folder of each place commands may write,
// for as long as a run's commands may write there. Git and libgit2 both read it as the folder itself,
// so nothing changes for either inside or outside the sandbox (libgit2 1.5 does not find a repository
// whose "commondir" reads "."); and since the file exists, the sandbox can make it read-only, so that
// no command can write one that sends Git elsewhere. It names the folder through its parent, so that a
// copy taken while it exists (a backup, "cp -r") reads it as the copy's own folder, not the original.
// (Where a denied name does not exist, the sandbox puts an empty file there instead, which Git refuses
// to work with.) Git ignores "core.worktree" and "core.bare" in a folder that has a "commondir", which a
// repository's own ".git" inside its work tree never needs, but a submodule's Git folder does: those
// are left to `GitGuard`.
//
// A process killed during a run cannot remove its placeholders, so each one is held in the registry of
// live runs (`LiveRuns`), its record naming it before it is made, and the program's next start removes
// those still there.
#pragma once

#include "VellumarMacCore/Foundations/LiveRuns.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

class CommonDirPlaceholders {
public:
    // The record in which older builds named the Git folders whose placeholder the process held, in
    // the data folder (`PathRecord`).
    static constexpr std::string_view olderRecordName = "commondir-placeholders";

    // What the placeholder in `gitFolder` (as the kernel resolves it) holds: "../", the folder's own
    // name and a line feed. A name that Git or libgit2 would not read back as written (one holding a
    // line feed, or ending in white space, which they trim) gets ".\n", which Git still reads as the
    // folder itself.
    static std::string contentFor(const std::filesystem::path& gitFolder);

    // Each place's ".git" as the kernel resolves it: where placeholders go. Reads the disk; never fails.
    static std::vector<std::filesystem::path> gitFolders(const std::vector<std::filesystem::path>& places);

    // Writes a placeholder in each of `gitFolders` (paths as the kernel resolves them; a folder is
    // opened without following a link) that exists and holds no "commondir", or takes part in one that
    // another run holds or that an earlier process left. Each Git folder is held in the registry of
    // live runs in `liveRuns`, its record naming it (its folder is made private when it is missing)
    // before its placeholder is made; when the record cannot be written, those folders go without, with
    // one log line. Runs at once share a placeholder; the last to let go removes it. Any thread. Never
    // throws.
    CommonDirPlaceholders(
        const std::vector<std::filesystem::path>& gitFolders, const std::filesystem::path& liveRuns);
    // Removes each placeholder no other run holds, unless something else is at its name by now, then
    // the folders it held from the record.
    ~CommonDirPlaceholders();
    CommonDirPlaceholders(const CommonDirPlaceholders&) = delete;
    CommonDirPlaceholders& operator=(const CommonDirPlaceholders&) = delete;

    // The Git folders whose placeholder this holds.
    const std::vector<std::filesystem::path>& held() const noexcept { return m_held; }

    // For the program's start, before its first run: removes the placeholder of each Git folder that
    // the registry in `liveRuns` hands back as left behind (`LiveRuns::Locked::leftBehind`, an older
    // build's record included), where it still holds what was written (a regular file, reached without
    // following a link; by older builds, the folder's own path and a line feed); anything else, and
    // anything the record does not name, stays. The record then names only the folders held now.
    // Never throws.
    static void removeLeftBehind(const std::filesystem::path& liveRuns);

private:
    LiveRuns::Run m_run;
    std::vector<std::filesystem::path> m_held;
};

}
