// The phone's routines: their records and results in "routines.json", the operations of the routine
// endpoints (list, one routine, create, update, delete, results, run now) and the start of a run as an
// ordinary job.
//
// A monitor: every operation takes the one lock briefly, and any thread may call. Nothing outside the
// manager (the job manager, the session store) is called with the lock held, so a run's submission
// may meet an update or a delete of the same routine; its bookkeeping then skips a routine that is
// gone.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Routines/RoutinesFile.h"
#include "VellumarMacCore/Schedule/ZonedCalendar.h"

#include <unicode/timezone.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar {

class JobManager;
class SessionStore;

class RoutineManager final {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    using TimeZoneSource = std::function<std::unique_ptr<icu::TimeZone>()>;

    struct Options {
        // Without a file nothing is loaded or saved.
        std::optional<std::filesystem::path> file;
        std::shared_ptr<JobManager> jobs;
        std::shared_ptr<SessionStore> sessions;
        // The menu's routines switch, read afresh by every operation that checks it.
        std::function<bool()> routinesEnabled;
        Clock clock;
        TimeZoneSource timeZone;
    };

    // Loads the file (see RoutinesFile::load). Never fails. While the file cannot be read, every
    // access tries it again; until one succeeds the routines read as none and every change throws
    // RelayHTTPError 500 "internal", so that no save replaces routines the manager could not see.
    explicit RoutineManager(Options options);
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
    JSON startRun(std::string_view id);

    const std::optional<std::filesystem::path> m_file;
    const std::shared_ptr<JobManager> m_jobs;
    const std::shared_ptr<SessionStore> m_sessions;
    const std::function<bool()> m_routinesEnabled;
    const Clock m_clock;
    const TimeZoneSource m_timeZone;

    mutable std::mutex m_lock;
    RoutinesFile m_state;
    // True once `m_state` holds what the file held.
    bool m_loaded = false;
};

}
