// When a command of any run could write in each writable place: from the start of a run's guard to the
// run's end (or, for a killed run, to when the next start knows its commands had ended). A file whose
// status-change time falls within a window of a place holding it could be a command's; one outside
// every window is the user's. The windows are kept in a record in the data folder across program
// starts, merged and bounded so that it stays small: windows merged across a gap take in what the
// user did in it, on the side of the user's Git, and a place let go at the bound leaves its windows to
// the place that holds every path. Where the record cannot be written, the process keeps what it could
// not write and judges those places at every time until a write succeeds; where it cannot be read,
// every place at every time.
#pragma once

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

class CommandWriteWindows {
public:
    static constexpr std::string_view recordName = "git-command-write-windows";
    // Past these, a place's closest windows are merged, and the places whose last window ended
    // earliest are let go, their windows merged into those of `everywhere`, which is never let go.
    static constexpr std::size_t windowsPerPlaceLimit = 64;
    static constexpr std::size_t placeLimit = 4096;
    static inline const std::filesystem::path everywhere = "/";
    // Windows closer than this are one: a job after a job.
    static constexpr time_t mergedGapSeconds = 2;

    struct Window {
        timespec from {};
        timespec to {}; // the kernel's stamps, both within
    };

    // The record in `dataFolder` as the guard judges by it: empty where there is none, every place at
    // every time where one is there that cannot be read, a damaged line skipped, and each place whose
    // windows this process could not write (`record`) taken as written by commands at every time. Reads
    // the disk; never throws but for memory.
    static CommandWriteWindows read(const std::filesystem::path& dataFolder);
    // Adds the windows `added` holds to the record, with every window this process could not write
    // before. Where the record cannot be read or replaced, they are all kept in memory for the next write,
    // and `read` takes their places as written at every time until then. The caller serialises writers (the
    // lock of the registry of live runs). Throws std::filesystem::filesystem_error.
    static void record(const std::filesystem::path& dataFolder, const CommandWriteWindows& added);
    // A place of `places` that `read` takes as written at every time, and why its windows could not be
    // written.
    struct Unwritten {
        std::filesystem::path place;
        std::string why;
    };
    // Those not handed back before since the last failed write: each is told once.
    static std::vector<Unwritten> untold(
        const std::filesystem::path& dataFolder, const std::vector<std::filesystem::path>& places);
    // Whether windows of `place` that this process could not write wait for the next write.
    static bool waitsForAWrite(const std::filesystem::path& dataFolder, const std::filesystem::path& place);

    void add(const std::filesystem::path& place, const Window& window);
    // Whether a command could have written what changed at `changed` at `path` (as the kernel
    // resolves it): within a window of a place holding it.
    bool couldHaveWritten(const std::filesystem::path& path, const timespec& changed) const;
    // Whether what is at `path` (a link as itself) changed within such a window; false where nothing is.
    bool couldHaveWritten(const std::filesystem::path& path) const;
    // Whether what is at `path` (a link as itself) was made within such a window, by the birth time the
    // kernel keeps, which nothing a command does sets back; where the file system keeps none, whether it
    // changed within one. False where nothing is.
    bool couldHaveMade(const std::filesystem::path& path) const;
    // Whether `path` (as the kernel resolves it) lies in a place where a command of some run could write,
    // at any time.
    bool holds(const std::filesystem::path& path) const;

    std::string encoded() const;
    static CommandWriteWindows decoded(std::string_view bytes);
    const std::vector<Window>& windowsOf(const std::filesystem::path& place) const;

private:
    void addAll(const CommandWriteWindows& other);

    std::map<std::filesystem::path, std::vector<Window>> m_places;
};

}
