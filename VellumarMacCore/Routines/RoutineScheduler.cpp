// The scheduler: a thread that looks for due routines every 20 seconds of the clock, moves each one's
// next time on and starts its run within the daily cap on scheduled runs.
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Routines/RoutineManager.h"
#include "VellumarMacCore/Routines/RoutineRecord.h"
#include "VellumarMacCore/Routines/RoutinesFile.h"
#include "VellumarMacCore/Schedule/RoutineLimits.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace vellumar {

namespace {

    const std::string kSkippedMessage = "Skipped: routines on this Mac run at most "
        + std::to_string(RoutineLimits::maxScheduledRunsPerDay) + " times a day.";

    // Enabled, with a next time that has come.
    bool isDue(const JSON::Object& record, RoutineDate now)
    {
        auto next = storedMillis(record, "nextRunAt");
        return !record.empty() && detail::recordIsTrue(record, "enabled") && next
            && *next <= now.time_since_epoch().count();
    }

    // Sets "nextRunAt" to the first fire time after `now`: a routine that missed several fire times
    // runs once, then waits for its next future one. False, changing nothing, when the schedule no
    // longer parses.
    bool moveNextRun(JSON::Object& record, RoutineDate now, const icu::TimeZone& zone)
    {
        auto schedule = detail::recordSchedule(record, now, zone);
        if (!schedule)
            return false;
        record.insert_or_assign(
            "nextRunAt", detail::millisJSON(schedule->nextDate(now, detail::recordCreatedAt(record), zone)));
        return true;
    }

}

void RoutineManager::start()
{
    observeJobs();
    std::lock_guard guard(m_loopLock);
    if (!m_loop.joinable())
        m_loop = std::jthread([this](std::stop_token stop) { runLoop(std::move(stop)); });
}

void RoutineManager::stop()
{
    std::jthread loop;
    {
        std::lock_guard guard(m_loopLock);
        loop = std::move(m_loop);
    }
    // The handle's end asks the thread to stop and joins it, outside the lock a concurrent `start`
    // takes.
}

void RoutineManager::runLoop(std::stop_token stop)
{
    std::stop_callback wake(stop, [this] {
        std::lock_guard guard(m_sleepLock);
        m_sleepWake.notify_all();
    });
    while (!stop.stop_requested()) {
        try {
            tick();
        } catch (...) {
            // Only memory or descriptors running out end up here; the next pass tries again.
        }
        std::unique_lock sleeping(m_sleepLock);
        const auto deadline = m_clock->now() + kTickInterval;
        for (auto current = m_clock->now(); !stop.stop_requested() && current < deadline;
             current = m_clock->now()) {
            // The clock was set back: waiting for the old deadline would skip passes for as long as
            // it went back.
            if (deadline - current > kTickInterval)
                break;
            m_clock->waitUntil(m_sleepWake, sleeping, deadline);
        }
    }
}

void RoutineManager::observeJobs()
{
    auto self = weak_from_this();
    // Otherwise every result would be dropped without a word.
    if (self.expired())
        throw std::logic_error("the routine manager must be owned by a std::shared_ptr to observe jobs");
    {
        std::lock_guard guard(m_lock);
        if (std::exchange(m_observing, true))
            return;
    }
    m_jobs.observeFinished([manager = std::move(self)](const FinishedJob& job) {
        auto routines = manager.lock();
        if (!routines)
            return;
        try {
            routines->jobFinished(job);
        } catch (...) {
            // The job manager's thread must go on; only memory running out loses the result.
        }
    });
}

void RoutineManager::tick()
{
    const auto current = now();
    const auto timeZone = zone();
    if (!m_routinesEnabled()) {
        nextRunAt(current, *timeZone);
        return;
    }
    // The map keeps its ids in ascending order, the order in which due routines start.
    std::vector<std::string> due;
    {
        std::lock_guard guard(m_lock);
        // While the file cannot be read no routine is known, so none is due and nothing is saved.
        loadedLocked();
        for (auto& [id, record] : m_state.routines) {
            // A schedule that no longer parses leaves its routine due, tried again on every pass.
            if (isDue(record, now()) && moveNextRun(record, current, *timeZone))
                due.push_back(id);
        }
        if (due.empty())
            return;
        saveLocked();
    }
    for (const auto& id : due)
        runScheduled(id, current);
    std::lock_guard guard(m_lock);
    saveLocked();
}

void RoutineManager::runScheduled(const std::string& id, RoutineDate now)
{
    bool fits;
    {
        std::lock_guard guard(m_lock);
        fits = makeRoomForScheduledRunLocked(now);
    }
    if (!fits) {
        recordFailure(id, kSkippedMessage);
        return;
    }
    try {
        startRun(id);
        std::lock_guard guard(m_lock);
        m_state.scheduledRuns.push_back(now);
    } catch (const RelayHTTPError& error) {
        // The phone learns of it from the routine; its next time has moved on, so it waits for that.
        std::lock_guard guard(m_lock);
        if (auto found = m_state.routines.find(id); found != m_state.routines.end()) {
            found->second.insert_or_assign("lastStatus", "failed");
            found->second.insert_or_assign("lastError", error.message());
        }
        saveLocked();
    } catch (...) {
        // Anything else has no words for the phone; the routine waits for its next time.
    }
}

bool RoutineManager::makeRoomForScheduledRunLocked(RoutineDate now)
{
    // A date far ahead was written while the clock was wrong; kept, it would hold its place in the
    // cap until the clock caught up with it, years perhaps.
    std::erase_if(m_state.scheduledRuns,
        [&](RoutineDate run) { return now - run >= kRunLogWindow || run - now > kRunLogWindow; });
    return m_state.scheduledRuns.size() < static_cast<std::size_t>(RoutineLimits::maxScheduledRunsPerDay);
}

void RoutineManager::nextRunAt(RoutineDate now, const icu::TimeZone& zone)
{
    std::lock_guard guard(m_lock);
    loadedLocked();
    bool changed = false;
    for (auto& [id, record] : m_state.routines) {
        auto next = storedMillis(record, "nextRunAt");
        if (!record.empty() && next && *next <= now.time_since_epoch().count())
            changed |= moveNextRun(record, now, zone);
    }
    if (changed)
        saveLocked();
}

}
