// The empty placeholders that Claude Code's sandbox leaves in the user's folders when it is killed.
// While a command runs, each path the sandbox denies to commands inside a place they may write and
// that does not exist is held by an empty read-only placeholder (a file, or a folder for a missing
// folder on the way), so that the command cannot make it. Claude Code removes them as the command
// ends, also on SIGTERM, but not when it is killed. So a run notes where they may go, before it starts,
// in the registry of live runs (`LiveRuns`); the run's end, and the program's next start for the runs
// of a killed process, remove each noted path that still holds an empty placeholder.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Foundations/LiveRuns.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

class SandboxPlaceholders {
public:
    // The record in which older builds named the paths noted, in the data folder (`PathRecord`).
    static constexpr std::string_view olderRecordName = "sandbox-placeholders";

    // The paths a run's settings document denies commands to write; none without a sandbox.
    static std::vector<std::string> deniedWrites(const JSON& settings);

    // Where the sandbox puts a placeholder for `denied` below `place` (both as the kernel resolves
    // them): the first path on the way that does not exist, or that `heldByOtherRuns` holds, since
    // another run's placeholder may stand there. Nothing when the denied path exists, lies outside the
    // place, or has a wildcard, a link or a file on its way. Reads the disk.
    static std::optional<std::filesystem::path> placeholderPath(const std::filesystem::path& denied,
        const std::filesystem::path& place, const std::set<std::filesystem::path>& heldByOtherRuns = {});

    // The paths the live runs of this process noted in the registry in `liveRuns`: their placeholders
    // may stand there.
    static std::set<std::filesystem::path> notedByLiveRuns(const std::filesystem::path& liveRuns);

    // Notes, for each of `deniedWrites` (a pattern's path counts up to its first component with a
    // wildcard) that lies below one of `writablePlaces` (both as the kernel resolves them), the first
    // path on the way from the place that does not exist now, or that another live run of this process
    // noted. The registry of live runs in `liveRuns` holds them, its record naming them (its folder is
    // made private when it is missing) before this returns; when it cannot be written, one log line says
    // so. Any thread. Never throws.
    SandboxPlaceholders(const std::vector<std::string>& deniedWrites,
        const std::vector<std::filesystem::path>& writablePlaces, const std::filesystem::path& liveRuns);
    // Removes each noted path that no other live run noted and that holds an empty placeholder, then
    // drops it from the record.
    ~SandboxPlaceholders();
    SandboxPlaceholders(const SandboxPlaceholders&) = delete;
    SandboxPlaceholders& operator=(const SandboxPlaceholders&) = delete;

    const std::vector<std::filesystem::path>& noted() const noexcept { return m_noted; }

    // For the program's start, before its first run: removes each path the registry in `liveRuns` hands
    // back as left behind (`LiveRuns::Locked::leftBehind`, an older build's record included) that holds
    // an empty placeholder: an empty regular file, a character device or an empty folder, reached
    // without following a link. Anything that holds data, and anything the record does not name, stays.
    // The record then names only what live runs noted. Never throws.
    static void removeLeftBehind(const std::filesystem::path& liveRuns);

private:
    LiveRuns::Run m_run;
    std::vector<std::filesystem::path> m_noted;
};

}
