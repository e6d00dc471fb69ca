// The job manager's test fixture: a manager on a manual clock running jobs through a latched fake runner,
// with helpers to follow jobs, ask questions from the runner's side and compare status objects with
// golden files. Nothing here sleeps: waits end on a change, and their real-time limits only guard
// against a hang.
#pragma once

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

// Named apart from the other suites' helpers, which share this test program.
namespace vellumar::test::jobManager {

using namespace std::chrono_literals;

inline constexpr auto kPatience = 60s;
inline constexpr std::int64_t kStartMillis = 1'740'787'200'000; // ManualJobClock::kStart

// A job clock that stands still until the test moves it; moving it wakes every timed wait, which then
// sees whether its deadline has passed.
class ManualJobClock final : public JobClock {
public:
    static constexpr auto kStart = std::chrono::sys_days { std::chrono::year { 2025 } / 3 / 1 };

    TimePoint now() const override
    {
        std::lock_guard guard(m_lock);
        return m_now;
    }

    void advance(std::chrono::system_clock::duration span)
    {
        std::unique_lock guard(m_lock);
        m_now += span;
        // A parked sleeper holds its caller's mutex from its registration until it waits, so holding that
        // mutex while notifying reaches it in its wait. That mutex is only tried: sleepers take this
        // clock's lock while holding theirs.
        for (bool missedOne = true; missedOne;) {
            missedOne = false;
            for (const auto& [condition, mutex] : m_sleepers) {
                std::unique_lock wake(*mutex, std::try_to_lock);
                missedOne |= !wake;
                if (wake)
                    condition->notify_all();
            }
            guard.unlock();
            std::this_thread::yield();
            guard.lock();
        }
    }

    void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
        TimePoint deadline) const override
    {
        std::unique_lock guard(m_lock);
        auto self = m_sleepers.insert(m_sleepers.end(), { &condition, lock.mutex() });
        m_changed.notify_all();
        if (m_now < deadline) {
            guard.unlock();
            condition.wait(lock);
            guard.lock();
        }
        m_sleepers.erase(self);
        bool held = std::exchange(m_holdNext, false);
        m_holding |= held;
        m_changed.notify_all();
        if (held) {
            lock.unlock();
            m_changed.wait(guard, [this] { return !m_holding; });
            guard.unlock();
            lock.lock();
        }
    }

    // Blocks until `count` timed waits are parked, so that a test moves the clock only once they have
    // taken their deadlines from it.
    bool awaitSleepers(std::size_t count) const
    {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, kPatience, [&] { return m_sleepers.size() >= count; });
    }

    // The next timed wait to end lets go of its caller's lock and stays away until `letGo`, as a thread
    // the scheduler is slow to run again would; `awaitHeld` returns once it is away.
    void holdNextWaker()
    {
        std::lock_guard guard(m_lock);
        m_holdNext = true;
    }
    bool awaitHeld() const
    {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, kPatience, [this] { return m_holding; });
    }
    void letGo()
    {
        std::lock_guard guard(m_lock);
        m_holdNext = m_holding = false;
        m_changed.notify_all();
    }

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    TimePoint m_now { kStart };
    mutable std::list<std::pair<std::condition_variable*, std::mutex*>> m_sleepers;
    mutable bool m_holdNext { false };
    mutable bool m_holding { false };
};

// A reply runner whose runs block until the test releases them, so that a test decides when each job
// ends and how; it records the runs it was given and how many ran at once.
class LatchedFakeRunner final : public ReplyRunner {
public:
    struct Run {
        JobSubmission submission;
        std::shared_ptr<JobControl> control;
        std::stop_token stop;
    };
    // Played on the job's thread once released: returns the run's output or throws its failure.
    using Outcome = std::function<ReplyOutput(const Run&)>;

    ReplyOutput run(
        const JobSubmission& submission, std::shared_ptr<JobControl> control, std::stop_token stop) override
    {
        std::stop_callback wakeOnStop(stop, [this] {
            std::lock_guard guard(m_lock);
            m_changed.notify_all();
        });
        const auto id = control->jobID();
        Run run { submission, control, stop };
        Outcome outcome;
        {
            std::unique_lock lock(m_lock);
            m_runs.insert_or_assign(id, run);
            m_overlapped |= !m_conversations.insert(submission.conversationID).second;
            m_mostAtOnce = std::max(m_mostAtOnce, m_conversations.size());
            m_changed.notify_all();
            m_changed.wait(lock, [&] {
                return m_everyRun || m_outcomes.contains(id) || (m_honoursStop && stop.stop_requested());
            });
            outcome = m_everyRun;
            if (auto released = m_outcomes.extract(id))
                outcome = std::move(released.mapped());
        }
        // The run counts as running until its outcome has been played, whichever way that ends.
        std::shared_ptr<void> leaving(nullptr, [&](void*) {
            std::lock_guard guard(m_lock);
            m_conversations.erase(submission.conversationID);
        });
        if (!outcome)
            throw CancellationError();
        return outcome(run);
    }
    ClearedConversation clearConversation(const std::string&, WorkFolder) override { return {}; }
    CompactedConversation compact(const CompactionRequest&, std::stop_token) override { return {}; }

    // The run of the job once it has started; throws, failing the test, when it does not start in time.
    Run awaitStart(const std::string& id)
    {
        std::unique_lock lock(m_lock);
        if (!m_changed.wait_for(lock, kPatience, [&] { return m_runs.contains(id); }))
            throw std::runtime_error("job " + id + " never started");
        return m_runs.at(id);
    }
    void release(const std::string& id, Outcome outcome)
    {
        std::lock_guard guard(m_lock);
        m_outcomes.insert_or_assign(id, std::move(outcome));
        m_changed.notify_all();
    }
    void reply(const std::string& id, std::string text)
    {
        release(id, [text](const Run&) { return ReplyOutput { .reply = text }; });
    }
    // Played by every run from now on, instead of waiting for a release.
    void releaseEveryRun(Outcome outcome)
    {
        std::lock_guard guard(m_lock);
        m_everyRun = std::move(outcome);
        m_changed.notify_all();
    }
    // While off, a stopped run goes on waiting for its release, as a run that finished its reply just as
    // it was stopped would.
    void setHonoursStop(bool honours)
    {
        std::lock_guard guard(m_lock);
        m_honoursStop = honours;
        m_changed.notify_all();
    }
    // No two runs of one conversation overlapped and at most `limit` ran at once.
    bool keptLimits(std::size_t limit)
    {
        std::lock_guard guard(m_lock);
        return !m_overlapped && m_mostAtOnce <= limit;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<std::string, Run> m_runs;
    std::map<std::string, Outcome> m_outcomes;
    std::set<std::string> m_conversations; // of the runs going on
    std::size_t m_mostAtOnce { 0 };
    bool m_overlapped { false };
    bool m_honoursStop { true };
    Outcome m_everyRun;
};

inline JobSubmission request(
    std::string_view conversation, JobMode mode = JobMode::queue, bool routine = false)
{
    JobSubmission submission;
    submission.conversationID = "ios-" + std::string(conversation);
    submission.botID = "main";
    submission.message = "Hello";
    submission.mode = mode;
    if (routine)
        submission.routineID = "morning-news";
    return submission;
}

inline std::string text(const JSON& object, std::string_view key)
{
    const auto* member = object.subscript(key);
    return member && member->stringValue() ? *member->stringValue() : std::string();
}

inline std::optional<std::int64_t> integer(const JSON& object, std::string_view key)
{
    const auto* member = object.subscript(key);
    return member ? member->intValue() : std::nullopt;
}

inline JSON permissionPrompt(const std::string& requestID, std::optional<bool> canAlways = false)
{
    JSON::Object prompt { { "requestId", requestID }, { "scope", "folder" }, { "tool", "Write" } };
    if (canAlways)
        prompt.emplace("canAlways", *canAlways);
    return prompt;
}

// The result of a call that should end; a call that hangs ends the whole run loudly instead of leaving
// it stuck, since its thread cannot be joined.
template <typename Result> Result await(std::future<Result>&& future)
{
    if (future.wait_for(kPatience) != std::future_status::ready) {
        std::fprintf(stderr, "a call that should have ended is still blocked\n");
        std::abort();
    }
    return future.get();
}
template <typename Result> Result await(std::future<Result>& future) { return await(std::move(future)); }

template <typename Call> auto inBackground(Call call) { return std::async(std::launch::async, call); }

class JobManagerTest : public ::testing::Test {
protected:
    JobManagerTest() { rebuild(); }
    ~JobManagerTest() override
    {
        clock->letGo();
        rebuild(std::nullopt);
    }

    // A new manager on a new clock; none with a limit of nullopt.
    void rebuild(std::optional<int> maxRunning = 2, double retention = 86'400)
    {
        runner->setHonoursStop(true);
        manager.reset();
        clock = std::make_shared<ManualJobClock>();
        if (maxRunning)
            manager = std::make_unique<JobManager>(JobManager::Options { .runner = runner,
                .labels = { "Waiting in line", "Starting", "Thinking", "Reading files", "Searching files",
                    "Writing files", "Running a command", "Browsing the web", "Working", "Done", "Failed",
                    "Canceled", "Interrupted", "Preparing", "Writing the reply", "Compacting",
                    "Waiting for your approval", "Attaching files" },
                .maxRunning = *maxRunning,
                .retention = retention,
                .clock = clock });
    }

    std::string submit(JobSubmission submission)
    {
        return text(manager->submit(std::move(submission)), "jobId");
    }
    std::string submit(std::string_view conversation, JobMode mode = JobMode::queue)
    {
        return submit(request(conversation, mode));
    }
    JSON status(const std::string& id) { return manager->status(id).value_or(JSON()); }
    std::string statusText(const std::string& id) { return text(status(id), "status"); }
    LatchedFakeRunner::Run started(const std::string& id) { return runner->awaitStart(id); }
    std::pair<std::string, LatchedFakeRunner::Run> startedJob(std::string_view conversation)
    {
        auto id = submit(conversation);
        return { id, started(id) };
    }

    // Follows the job by long polls until it has ended. The clock does not move, so each poll returns
    // only on a change.
    JSON ended(const std::string& id)
    {
        return await(inBackground([&] {
            auto current = status(id);
            while (current.subscript("finishedAt") && current.subscript("finishedAt")->isNull())
                current = manager->wait(id, integer(current, "version"), 25).value_or(JSON());
            return current;
        }));
    }

    // Asks from the run's side and returns once `parked` timed waits (this question's among them) are
    // parked on the clock.
    std::future<std::string> ask(
        const LatchedFakeRunner::Run& run, JSON prompt, std::size_t parked = 1, std::stop_token runEnded = {})
    {
        auto asked = inBackground(
            [control = run.control, prompt, runEnded] { return control->ask(prompt, runEnded); });
        if (!clock->awaitSleepers(parked))
            ADD_FAILURE() << "the question was not parked";
        return asked;
    }

    void expectGolden(const JSON& actual, const std::string& name)
    {
        ASSERT_NE(actual.objectValue(), nullptr);
        EXPECT_TRUE(RelayIDs::isValidJobID(text(actual, "jobId")));
        auto members = *actual.objectValue();
        members["jobId"] = "j-0000000000000000";
        auto golden = JSON::decode(readFile(sourceDir() / "tests/Jobs/golden" / (name + ".json")));
        ASSERT_TRUE(golden) << name;
        EXPECT_EQ(JSON(members).encoded(), golden->encoded()) << name;
    }

    std::shared_ptr<ManualJobClock> clock;
    std::shared_ptr<LatchedFakeRunner> runner = std::make_shared<LatchedFakeRunner>();
    std::unique_ptr<JobManager> manager;
};

}
