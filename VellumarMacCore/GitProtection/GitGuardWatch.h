// Has the guard compare a Git folder the moment something there changes, for the whole of a run: Git
// outside the sandbox may run a hook or read a configuration at any time, not only between two
// commands.
#pragma once

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/GitGuard.h"
#include "VellumarMacCore/GitProtection/NewGitFolderWatch.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vellumar {

class GitGuardWatch {
public:
    // Given what one comparison moved aside (`GitGuard::compare`'s changes), on the thread that compared.
    using MovedAsideHandler = std::function<void(const std::vector<GitGuard::MovedChange>&)>;

    // How often the units whose watch cannot be set are compared instead, and how long a file held
    // open for writing waits for its writer to close it before it is compared all the same.
    static constexpr std::chrono::milliseconds comparisonInterval { 2000 };

    struct Options {
        // The run's writable places: every folder from each down to what a unit notes is watched for
        // the name on the way, so that a folder renamed or swapped anywhere there shows at once.
        std::vector<std::filesystem::path> places;
        // The most inotify watches the watch takes; past it, units are compared every
        // `comparisonInterval`. By default a half of the user's limit, which other programs share.
        std::size_t watchBudget = defaultWatchBudget();
        // Told what each comparison moves aside, the watch's own and `compareAll`'s; it must not block
        // for long.
        MovedAsideHandler onMovedAside = {};
        // How the thread waits for events: poll(2), or a fake that fails, for tests.
        std::function<int(pollfd*, nfds_t, int)> poll = ::poll;
    };

    // Watches what each of the guard's units notes (`GitGuard::watched`) with inotify, and compares a
    // unit on its own thread at each change there; a unit whose watch cannot be set (no inotify, or
    // past the budget) is compared every `comparisonInterval` instead, with one log line, and a queue
    // that overflowed has every unit compared. A file written in place is judged once its writer has
    // closed it, or `comparisonInterval` after the write began while it is held open, so that bytes
    // truncated and written again are judged whole; in a folder the configuration names, so is a file
    // made again or put back there and then written. A Git folder that comes to be in a folder it
    // watches is judged when it appears and whenever it is written into (`NewGitFolderWatch`). The
    // guard must outlive the watch. Never throws.
    GitGuardWatch(GitGuard& guard, Options options);
    // The same, taking over the watches of `kept` (`takeKept`, after `unchangedSinceKept`): a unit the
    // guard took as it was kept (`GitGuard::takenAsKept`) keeps its watches where they lead down from
    // the same places, and the others are watched anew. What `kept` looks at that the guard does not
    // hold stays watched for later runs, for `keptRuns` runs at most and while the budget leaves room.
    GitGuardWatch(GitGuard& guard, Options options, std::unique_ptr<GitGuardWatch> kept);
    // Stops the thread and waits for it; lets go of what it kept (`GitGuard::forgetKept`).
    ~GitGuardWatch();
    GitGuardWatch(const GitGuardWatch&) = delete;
    GitGuardWatch& operator=(const GitGuardWatch&) = delete;

    // For a run's end, after `finish`, before its guard goes: the watch stays on the guard's units
    // with no thread, and what was noted of them stays known (`GitGuard::keepNoted`), for the program's
    // next run under the same registry of live runs (`GitGuard::Options::liveRuns`) to take over. The
    // program keeps one watch: an earlier one is let go. Never throws.
    static void keep(std::unique_ptr<GitGuardWatch> watch, const std::filesystem::path& liveRuns);
    // For a run's start: the watch kept with `liveRuns`, if any, which no other run can take then.
    static std::unique_ptr<GitGuardWatch> takeKept(const std::filesystem::path& liveRuns);
    // Of a kept watch: the units, by key, it looked at without a break since it was kept and saw no
    // change in, reading every event queued until now. Between runs no command runs, so a change it saw
    // is the user's, and its unit is noted again.
    std::set<std::filesystem::path> unchangedSinceKept();
    // How many runs in a row that do not hold a unit it stays watched after.
    static constexpr int keptRuns = 16;

    // Whether its thread runs: otherwise, as after the thread failed with a line in the log, only the
    // caller's own comparisons are left. Any thread.
    bool running() const noexcept { return m_thread.joinable() && !m_failed.load(); }
    // How many folders and files are watched when the watch starts.
    std::size_t watchedCount() const noexcept { return m_startCount; }
    // How many units are compared every `comparisonInterval` when the watch starts.
    std::size_t unwatchedCount() const noexcept { return m_startUnwatched; }

    // Compares every unit now (`GitGuard::compareAll`), as after each command where the thread does not
    // run, and tells `onMovedAside` what went aside. Call it only where the thread does not run
    // (`running`) or after `finish`. Never throws.
    void compareAll();
    // For the run's end, once the run's processes are gone: stops the thread, then compares the units
    // that changed since its last comparisons (`compareLeftOver`), or every unit where the thread did
    // not watch throughout, and has the guard go through every Git folder in the places
    // (`GitGuard::sweep`), all within the end's one bound (`GitGuard::endBegins`). Never throws.
    void finish();

    // A half of /proc/sys/fs/inotify/max_user_watches (8192 where it cannot be read).
    static std::size_t defaultWatchBudget();

private:
    // An inotify watch and a name in its folder, or the empty name for the folder's or file's own events.
    using Registration = std::pair<int, std::string>;
    // A unit an event at the registration concerns, by its key as `m_unitWatches` holds it: with a
    // thousand repositories, a copy of the key for each of their names would cost tens of megabytes.
    using Concern = std::pair<Registration, const std::filesystem::path*>;
    // The folders a unit's way down was watched for, with the place it led down from.
    using WayDown = std::pair<std::string, std::optional<std::string>>;
    // What a unit watches: its registrations, sorted, and its ways down.
    struct UnitWatches {
        std::vector<Registration> registrations;
        std::vector<WayDown> waysDown;
    };
    // A file held open for writing, compared as it is once held `comparisonInterval`: a write seen at a
    // watch, or a file made in a folder the configuration names, and no close since; or a file found held
    // open that no watch sees closed, whose unit is compared again every `kHeldRecheck` until the writer
    // lets go.
    struct Write {
        std::chrono::steady_clock::time_point began;
        bool overdue = false;
        // Of a file no watch sees closed: the unit to compare again.
        std::filesystem::path unit = {};
    };
    static constexpr int kNoWatch = -1;
    static constexpr std::chrono::milliseconds kHeldRecheck { 20 };

    // Sets the watches of the guard's unit as what it notes is now, and lets go of those it no longer
    // needs. A unit some of whose watches cannot be set goes to `m_unwatched`. Returns the error of the
    // first that could not be set, or 0.
    int watchUnit(const std::filesystem::path& key);
    // Sets the watches of the guard's units, or keeps those of the units taken as they were kept whose
    // way down leads from the same places; returns the first error.
    int watchUnits();
    // Lets go of the units that only a kept watch looks at, after `keptRuns` runs without them, once
    // changed, or all of them when `all`.
    void releaseKeptOnly(bool all);
    // Whether each folder the unit watches is reached down from the same place now as when its watches
    // were set.
    bool leadsDownAlike(const std::filesystem::path& key) const;
    // The watch of `path`, or -1 with `errno` set; counted against the budget.
    int addWatch(const std::filesystem::path& path, std::uint32_t events);
    // Lets go of the unit's concern at the registration, and of the watch once nothing else concerns it.
    void release(const Registration& registration, const std::filesystem::path* unit);
    // Adds the units concerned at the registration to `touched`.
    void addConcerned(const Registration& at, std::set<std::filesystem::path>& touched) const;
    // Adds the units a file held open for writing concerns to `touched`.
    void addUnitsWriting(
        const Registration& at, const Write& write, std::set<std::filesystem::path>& touched) const;
    void releaseUnit(const std::filesystem::path& key);
    // Every folder from the place holding `folder` down to it, each with the name below it on the way;
    // returns that place.
    std::optional<std::filesystem::path> addWayDown(const std::filesystem::path& folder,
        std::map<std::filesystem::path, std::set<std::string>>& folders) const;
    void run(std::stop_token stop);
    // Reads one batch of queued events into the units they touch (every one after a queue that
    // overflowed); false when none was queued. A write to a watched file, or to a file made or written
    // in a folder the configuration names, touches them once the file is closed: until then it is in
    // `m_writing`.
    bool readEvents(std::set<std::filesystem::path>& touched);
    // Reads what is queued into `m_pending`, a bounded number of batches.
    void readQueued();
    // The units an event at a name of a watched folder, or at a watched file (the empty name), concerns,
    // into `touched`.
    void addUnitsOf(const Registration& at, std::set<std::filesystem::path>& touched) const;
    // The paths a write seen there is made at: the file's own, or the name's in each folder the
    // configuration names that the watch was set on.
    std::set<std::filesystem::path> pathsAt(const Registration& at) const;
    // The watch that sees writes at `path`: its file's, or its folder's where the configuration names it.
    std::optional<Registration> watchOf(const std::filesystem::path& path) const;
    // For a comparison on the thread: whether the file at `path` is being written, or was written since
    // the comparison began, so that the bytes it read may be cut short. Its close, or the limit of
    // `comparisonInterval`, has it compared again.
    bool isBeingWritten(const std::filesystem::path& path);
    // How long the thread may wait for an event before a comparison is due; -1 for as long as it takes.
    int millisecondsUntilDue() const;
    // Adds the units whose comparison is due: those compared every `comparisonInterval`, and those of
    // a file held open for writing that long.
    void addDue(std::set<std::filesystem::path>& touched);
    // Compares the guard's units that `touched` names, a file being written left for later where
    // `whileWritten`, else judged as it is; the others changed while only kept.
    void compareAndWatch(const std::set<std::filesystem::path>& touched, bool whileWritten);
    // For `finish`, the thread stopped: compares the units that the events still queued touch, those
    // read but not compared yet, those of a file still being written, judged as it is now, those no
    // watch looks at, since what changed just before waits for no interval, and those whose last
    // comparison it cannot vouch for (`GitGuard::comparedAgainAtTheEnd`).
    void compareLeftOver();
    // Lets go of what is known of one inotify watch, gone or removed.
    void forgetWatch(int descriptor);
    // Tells `onMovedAside`.
    void tookAside(const std::vector<GitGuard::MovedChange>& moved);
    // What `m_newGitFolders` watches with: this watch's own descriptor and budget.
    NewGitFolderWatch::Watches newFolderWatches();
    void stop();

    GitGuard* m_guard; // none while kept
    std::vector<std::filesystem::path> m_places; // resolved
    std::size_t m_watchBudget;
    MovedAsideHandler m_onMovedAside;
    std::function<int(pollfd*, nfds_t, int)> m_poll;
    FileDescriptor m_events; // inotify
    FileDescriptor m_wake; // an eventfd written when the watch stops
    // Touched only by the thread once it runs, and only by its holder while kept.
    std::map<std::filesystem::path, std::size_t> m_units; // the guard's, by key
    // The inotify watches set, and the units an event at each of their names concerns; a unit that
    // watches a folder or file is concerned at its empty name.
    std::set<int> m_watches;
    std::set<Concern> m_concerns;
    // The folder each folder watch was last set on, as text: a path held whole keeps each of its parts
    // besides, which with ten thousand folder watches kept between runs costs megabytes.
    std::map<int, std::string> m_folderPaths;
    NewGitFolderWatch m_newGitFolders;
    // The paths each file watch was set on, and each watch of a folder the configuration names.
    std::map<int, std::set<std::filesystem::path>> m_files;
    std::map<int, std::set<std::filesystem::path>> m_wholeFolders;
    // The files held open for writing: by watch and name (`addUnitsOf`), and one no watch sees closed under
    // `kNoWatch` and its path.
    std::map<Registration, Write> m_writing;
    const std::filesystem::path* m_comparing = nullptr; // the unit being compared, as `m_units` holds it
    // Counts the events read and the watches set, to order them with the comparisons.
    std::uint64_t m_ticks = 0;
    // When the bytes at each path were last left whole: its writer's close, a change of mode, a file
    // brought there, or a watch set on another file there.
    std::map<std::filesystem::path, std::uint64_t> m_wholeAt;
    // When each unit's last comparison began, and the one before the comparison under way.
    std::map<std::filesystem::path, std::uint64_t> m_comparedFrom;
    std::uint64_t m_previousComparison = 0;
    // The paths written since the comparison under way began.
    std::set<std::filesystem::path> m_writtenDuringComparison;
    // The units that events read during a comparison touched, to compare next.
    std::set<std::filesystem::path> m_pending;
    // When the units compared every `comparisonInterval` are due next.
    std::chrono::steady_clock::time_point m_nextPeriodicComparison;
    std::map<std::filesystem::path, UnitWatches> m_unitWatches;
    std::set<std::filesystem::path> m_unwatched;
    // The units kept known for this watch (`GitGuard::keepNoted`), each with how many runs in a row
    // have not held it; those of them that changed while no run of this watch held them.
    std::map<std::filesystem::path, int> m_kept;
    std::set<std::filesystem::path> m_changed;
    std::filesystem::path m_liveRuns; // while kept
    bool m_finished = false;
    std::size_t m_startCount = 0;
    std::size_t m_startUnwatched = 0;
    std::atomic<bool> m_failed = false;
    // The thread lost events it had read (out of memory): the run's end compares every unit.
    bool m_eventsDropped = false;
    std::jthread m_thread;
};

}
