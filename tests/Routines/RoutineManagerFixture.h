// A routine manager over a file in a fresh folder, a manual clock in UTC (which the scheduler sleeps on too),
// a real relay switch, and a job manager whose runs wait for the test (a latched fake runner), so a run's
// submission can be read.
#pragma once

#include "VellumarMacCore/ConversationData/SessionStore.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Routines/RoutineManager.h"
#include "tests/Schedule/ScheduleTestSupport.h"
#include "tests/support/JobsTestSupport.h"
#include "tests/support/LatchedFakeRunner.h"
#include "tests/support/ManualJobClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vellumar::test {

// A body that create accepts: a daily routine at 07:00.
inline JSON::Object routineBody()
{
    return { { "botId", "main" }, { "conversationId", "ios-abc" }, { "name", "News" },
        { "prompt", "Three headlines." },
        { "schedule", JSON::object({ { "kind", "daily" }, { "time", "07:00" } }) } };
}

inline std::string textOf(const JSON& value, std::string_view key)
{
    const auto* member = value.subscript(key);
    return member && member->stringValue() ? *member->stringValue() : std::string();
}

// The entries a manager hands its result observers, for a test to wait on.
class ResultLog {
public:
    RoutineManager::ResultObserver observer()
    {
        return [this](const JSON& entry) {
            std::lock_guard guard(m_lock);
            m_entries.push_back(entry);
            m_changed.notify_all();
        };
    }

    // The first `count` entries; a test failure and what came when fewer come within the patience.
    std::vector<JSON> await(std::size_t count)
    {
        std::unique_lock lock(m_lock);
        if (!m_changed.wait_for(
                lock, LatchedFakeRunner::kPatience, [&] { return m_entries.size() >= count; }))
            ADD_FAILURE() << "only " << m_entries.size() << " of " << count << " results came";
        return m_entries;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<JSON> m_entries;
};

class RoutineManagerTest : public ::testing::Test {
protected:
    RoutineManagerTest() { options->setRoutines(true); }

    std::shared_ptr<RoutineManager> makeManager()
    {
        return std::make_shared<RoutineManager>(RoutineManager::Options { .file = file,
            .jobs = *jobs,
            .sessions = *sessions,
            .routinesEnabled = [options = options] { return options->routines(); },
            .clock = clock,
            .timeZone = [] { return zone("UTC"); } });
    }

    std::string create(JSON::Object changes = {})
    {
        auto body = routineBody();
        for (auto& [key, value] : changes)
            body.insert_or_assign(key, value);
        return textOf(manager->create(body), "id");
    }

    TemporaryFolder folder;
    std::filesystem::path file = folder / "routines.json";
    std::shared_ptr<ManualJobClock> clock = std::make_shared<ManualJobClock>();
    // Outlives the job manager, whose last jobs may end, and be told of, while it goes.
    ResultLog results;
    std::shared_ptr<RelayOptions> options = std::make_shared<RelayOptions>();
    std::shared_ptr<LatchedFakeRunner> runner = std::make_shared<LatchedFakeRunner>();
    std::shared_ptr<JobManager> jobs
        = std::make_shared<JobManager>(JobManager::Options { .runner = runner, .maxRunning = 8 });
    std::shared_ptr<SessionStore> sessions
        = std::make_shared<SessionStore>(std::nullopt, [clock = clock] { return clock->now(); });
    std::shared_ptr<RoutineManager> manager = makeManager();
};

}
