// The phone's routines: their records and results in "routines.json", the operations of the routine
// endpoints (list, one routine, create, update, delete, results, run now), the start of a run as an
// ordinary job, the scheduler that starts due routines by itself, the results of finished runs and
// what the reply runner's routine directory reads.
//
// A monitor: every operation takes the one lock briefly, and any thread may call. Nothing outside the
// manager (the job manager, the session store, result observers) is called with the lock held, so a
// run's submission may meet an update or a delete of the same routine; its bookkeeping then skips a
// routine that is gone.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Jobs/JobClock.h"
#include "VellumarMacCore/Reply/RoutineDirectory.h"
#include "VellumarMacCore/Routines/RoutinesFile.h"
#include "VellumarMacCore/Schedule/ZonedCalendar.h"

#include <unicode/timezone.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vellumar {

class JobManager;
class SessionStore;
struct FinishedJob;

// Start and observe jobs only on a manager owned by a std::shared_ptr (they throw std::logic_error
// otherwise): the job manager's observer holds it weakly, and strongly only while it records a result.
class RoutineManager final : public std::enable_shared_from_this<RoutineManager> {
public:
    using TimeZoneSource = std::function<std::unique_ptr<icu::TimeZone>()>;
    // Told of each result of a finished job, on the thread that finished it; must not block.
    using ResultObserver = std::function<void(const JSON& entry)>;

    // The pause between two passes of the scheduler.
    static constexpr std::chrono::seconds kTickInterval { 20 };
    // Scheduled runs count against the daily cap for this long after their start.
    static constexpr std::chrono::seconds kRunLogWindow { 86'400 };

    struct Options {
        // Without a file nothing is loaded or saved.
        std::optional<std::filesystem::path> file;
        // Both outlive the manager.
        JobManager& jobs;
        SessionStore& sessions;
        // The menu's routines switch, read afresh by every operation that checks it.
        std::function<bool()> routinesEnabled;
        // Every current time of the routines, and the scheduler's sleep between passes.
        std::shared_ptr<JobClock> clock;
        TimeZoneSource timeZone;
    };

    // Loads the file (see RoutinesFile::load). Never fails. While the file cannot be read, every
    // access tries it again; until one succeeds the routines read as none and every change throws
    // RelayHTTPError 500 "internal", so that no save replaces routines the manager could not see.
    explicit RoutineManager(Options options);
    // Stops the scheduler and waits for a pass under way to end.
    ~RoutineManager();
    RoutineManager(const RoutineManager&) = delete;
    RoutineManager& operator=(const RoutineManager&) = delete;

    // "r-" followed by 8 lower-case hexadecimal digits.
    static bool isValidRoutineID(std::string_view text);
    // The conversation a routine's runs go to: its "conversationId" for the target "bot", else that
    // id, ":" and the routine's "id".
    static std::string conversationKey(const JSON::Object& record);

    // The operations below throw RelayHTTPError: 409 "routines_off" while the switch is off (not
    // `stored`, `describe` or `validate`), 404 "not_found" for an id that is not a routine's, 400
    // "bad_request" for a body that breaks a rule. A refused call changes nothing.

    // {"routines", "timeZone", "limits"}; only the routines of `botID` when it is given.
    JSON list(const std::optional<std::string>& botID);
    // A copy of the stored record.
    JSON::Object stored(std::string_view id);
    // The record as the phone sees it: without "bot" and "permissions", with "includeToday",
    // "scheduleLabel" (when the schedule parses) and "timeZone".
    JSON describe(const JSON::Object& record);
    JSON routine(std::string_view id);
    // The accepted members of a create (`creating`) or update body, in their stored form.
    JSON::Object validate(const JSON& body, bool creating);
    JSON create(const JSON& body);
    JSON update(std::string_view id, const JSON& body);
    // {"deleted": id}. The routine's results stay.
    JSON remove(std::string_view id);
    // {"results": the entries numbered above `since`, "latest": the last number}.
    JSON results(std::int64_t since);

    // Submits one run of the routine to the job manager and answers the job's status object; the
    // job manager's errors (429 "busy") pass through. Marks the routine as running and saves. Does not
    // move "nextRunAt" and is not a scheduled run.
    JSON runNow(std::string_view id);

    // The scheduler: a thread that makes one pass at once and then one every kTickInterval of the
    // clock (at once when the clock is set back), until `stop`. A second `start` while it runs does
    // nothing; `stop` waits for a pass under way to end, and a stopped scheduler may be started again.
    // `start` first observes the jobs. Any thread but the scheduler's own may call them: the relay
    // host once its listener is up, and again as it stops.
    void start();
    void stop();
    // Follows the job manager's finished jobs into `jobFinished`; registers once per manager.
    void observeJobs();

    // One pass: with routines switched on, each enabled routine whose next time has come gets its
    // next time from now and, in ascending id order, a run, unless 48 scheduled runs started in the
    // last day (a "failed" result instead). A run refused by the job manager marks its routine failed.
    // Switched off, only the next times move on (`nextRunAt`). Throws only what the system runs out
    // of.
    void tick();
    // Moves the next time of every routine whose time has come, enabled or not, to its first one
    // after `now`, without running anything: times that pass while routines are off are never made up.
    void nextRunAt(RoutineDate now, const icu::TimeZone& zone);
    // A "failed" result with `message` for a run that did not happen, and the routine marked failed.
    // Nothing for an unknown id; no result observer is told.
    void recordFailure(std::string_view id, const std::string& message);
    // The result of a routine's job, also when the routine is gone meanwhile: kept, saved, then handed
    // to every result observer; a reply to a "bot" routine is also posted into the bot's
    // conversation before the observers hear of it. Jobs of no routine are ignored.
    void jobFinished(const FinishedJob& job);
    void addResultObserver(ResultObserver observer);

    // What the reply runner's routine directory reads. No summaries while routines are switched off;
    // a schedule that no longer parses has the empty label.
    std::vector<RoutineSummary> summaries(std::string_view botID, bool allBots);
    // Every routine, whether switched on or not.
    RoutineDirectory::Index routineIndex();

private:
    std::unique_ptr<icu::TimeZone> zone() const;
    RoutineDate now() const;
    void checkSwitch() const;
    // Callers hold the lock. Reads the file unless a read of it succeeded; false while it cannot be read.
    bool loadedLocked();
    // Throws RelayHTTPError 500 while the file cannot be read. Once it has been read it stays read, so
    // a caller may release the lock in between and change the state afterwards.
    void requireLoaded();
    // Callers hold the lock.
    JSON::Object& storedLocked(std::string_view id);
    void saveLocked() const;
    JSON appendResultLocked(JSON::Object entry);
    // Drops the run log's dates that no longer count and tells whether one more scheduled run fits.
    bool makeRoomForScheduledRunLocked(RoutineDate now);
    JSON startRun(std::string_view id);
    void runScheduled(const std::string& id, RoutineDate now);
    void runLoop(std::stop_token stop);

    const std::optional<std::filesystem::path> m_file;
    JobManager& m_jobs;
    SessionStore& m_sessions;
    const std::function<bool()> m_routinesEnabled;
    const std::shared_ptr<JobClock> m_clock;
    const TimeZoneSource m_timeZone;

    mutable std::mutex m_lock;
    RoutinesFile m_state;
    // True once `m_state` holds what the file held.
    bool m_loaded = false;
    bool m_observing { false };
    std::vector<ResultObserver> m_resultObservers;

    // The scheduler sleeps on these between passes; a stop request wakes it.
    std::mutex m_sleepLock;
    std::condition_variable m_sleepWake;
    // Guards only the scheduler's thread handle, so that `stop` never waits while holding m_lock.
    std::mutex m_loopLock;
    std::jthread m_loop;
};

}
