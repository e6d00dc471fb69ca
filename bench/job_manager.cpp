// The job manager's two costs that grow with use: building a job's status object, which every poll of
// the phone asks for, and waking the long polls parked on a job when it changes. Each is measured next
// to a reference taken in the same run: encoding the same status object once it is built, and waking
// as many threads with a bare condition variable.

#include "VellumarMacCore/Jobs/JobManager.h"
#include "tests/support/LatchedFakeRunner.h"
#include "tests/support/ManualJobClock.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <barrier>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace vellumar;
using namespace std::chrono_literals;

constexpr int kWaiters = 32;

// The computer's clock, counting the polls parked on it: a round starts once every poll has parked,
// without the test clock's own locking in what is measured, as the reference counts its parked threads.
class ParkCountingClock final : public JobClock {
public:
    TimePoint now() const override { return m_system->now(); }

    void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
        TimePoint deadline) const override
    {
        // The caller holds the lock a change is made under, so it is parked before the change can come.
        m_parked.fetch_add(1);
        m_parked.notify_one();
        m_system->waitUntil(condition, lock, deadline);
        m_parked.fetch_sub(1);
    }

    void awaitParked(int count) const
    {
        for (auto parked = m_parked.load(); parked < count; parked = m_parked.load())
            m_parked.wait(parked);
    }

private:
    std::shared_ptr<JobClock> m_system = JobClock::system();
    mutable std::atomic<int> m_parked { 0 };
};

// One running job; on the test clock, which stands still, its long polls end only when the job changes.
class RunningJob {
public:
    explicit RunningJob(std::shared_ptr<JobClock> jobClock = nullptr)
        : manager(std::make_unique<JobManager>(
            JobManager::Options { .runner = runner, .labels = {}, .clock = jobClock ? jobClock : clock }))
    {
        JobSubmission submission;
        submission.conversationID = "ios-bench";
        submission.botID = "main";
        submission.message = "Hello";
        id = *manager->submit(submission).subscript("jobId")->stringValue();
        run = runner->awaitStart(id);
    }

    ~RunningJob()
    {
        manager->cancelAll();
        for (auto& asker : askers)
            asker.wait();
        manager.reset();
    }

    // The lists of the status object at their limits: 30 events, 3 interim texts and 10 open questions.
    void fill()
    {
        for (int index = 0; index < 3; ++index) {
            run.control->onEvent(
                RunnerEvent::interim("A text the user sees before the reply, of a usual length."));
            clock->advance(60s);
        }
        for (int index = 0; index < 30; ++index)
            change();
        for (int index = 0; index < 10; ++index) {
            char requestID[16];
            std::snprintf(requestID, sizeof requestID, "p-00000000000%x", index);
            auto prompt
                = JSON::object({ { "requestId", requestID }, { "canAlways", true }, { "scope", "folder" },
                    { "tool", "Write" }, { "path", "/Users/me/Documents/Notes/todo.md" } });
            askers.push_back(std::async(
                std::launch::async, [control = run.control, prompt] { return control->ask(prompt); }));
            clock->awaitSleepers(askers.size());
        }
    }

    // One visible change: the activity flips between two kinds.
    void change()
    {
        run.control->onEvent(m_flip ? RunnerEvent::tool("Read") : RunnerEvent::thinking());
        m_flip = !m_flip;
    }

    std::shared_ptr<test::ManualJobClock> clock = std::make_shared<test::ManualJobClock>();
    std::shared_ptr<test::LatchedFakeRunner> runner = std::make_shared<test::LatchedFakeRunner>();
    std::unique_ptr<JobManager> manager;
    std::string id;
    test::LatchedFakeRunner::Run run;
    std::vector<std::future<std::string>> askers;

private:
    bool m_flip { false };
};

void statusObject(benchmark::State& state)
{
    RunningJob job;
    job.fill();
    for (auto _ : state)
        benchmark::DoNotOptimize(job.manager->status(job.id));
}
BENCHMARK(statusObject);

void statusObjectEncoded(benchmark::State& state)
{
    RunningJob job;
    job.fill();
    for (auto _ : state)
        benchmark::DoNotOptimize(job.manager->status(job.id)->encoded());
}
BENCHMARK(statusObjectEncoded);

// Reference: encoding the same object, built once.
void encodingAloneReference(benchmark::State& state)
{
    RunningJob job;
    job.fill();
    auto status = *job.manager->status(job.id);
    for (auto _ : state)
        benchmark::DoNotOptimize(status.encoded());
}
BENCHMARK(encodingAloneReference);

// One change of a job with 32 long polls parked on it, until every poll has returned and parked again;
// each poll asks `poll(manager, id, since)` for its answer.
template <typename Poll> void wakeUp32(benchmark::State& state, Poll poll)
{
    auto clock = std::make_shared<ParkCountingClock>();
    RunningJob job(clock);
    auto since = *job.manager->status(job.id)->subscript("version")->intValue();
    std::atomic<bool> done { false };
    std::barrier returned(kWaiters + 1);
    std::vector<std::jthread> waiters;
    for (int index = 0; index < kWaiters; ++index) {
        waiters.emplace_back([&, version = since]() mutable {
            for (;;) {
                benchmark::DoNotOptimize(poll(*job.manager, job.id, version++));
                returned.arrive_and_wait();
                if (done)
                    return;
            }
        });
    }
    for (auto _ : state) {
        clock->awaitParked(kWaiters);
        job.change();
        returned.arrive_and_wait();
    }
    // Only once every waiter is parked again has each of them read the flag for this round.
    clock->awaitParked(kWaiters);
    done = true;
    job.change();
    returned.arrive_and_wait();
}

// Each poll with a status object of its own.
void waitWakeUp32(benchmark::State& state)
{
    wakeUp32(state, [](JobManager& manager, const std::string& id, std::int64_t since) {
        return manager.wait(id, since, 25);
    });
}
BENCHMARK(waitWakeUp32)->UseRealTime();

// The router's polls: one encoding per change, its bytes shared by every poll.
void waitEncodedWakeUp32(benchmark::State& state)
{
    wakeUp32(state, [](JobManager& manager, const std::string& id, std::int64_t since) {
        return manager.waitEncoded(id, since, 25);
    });
}
BENCHMARK(waitEncodedWakeUp32)->UseRealTime();

// Reference: 32 threads parked on a bare condition variable, woken by one broadcast.
void conditionVariableWakeUp32Reference(benchmark::State& state)
{
    std::mutex lock;
    std::condition_variable changed;
    std::condition_variable parkedChanged;
    int parked = 0;
    std::int64_t generation = 0;
    std::atomic<bool> done { false };
    std::barrier returned(kWaiters + 1);
    std::vector<std::jthread> waiters;
    for (int index = 0; index < kWaiters; ++index) {
        waiters.emplace_back([&] {
            for (std::int64_t seen = 0;; ++seen) {
                {
                    std::unique_lock guard(lock);
                    ++parked;
                    parkedChanged.notify_all();
                    changed.wait(guard, [&] { return generation != seen; });
                    --parked;
                }
                returned.arrive_and_wait();
                if (done)
                    return;
            }
        });
    }
    auto wakeAll = [&](bool last) {
        std::unique_lock guard(lock);
        parkedChanged.wait(guard, [&] { return parked == kWaiters; });
        done = last;
        ++generation;
        changed.notify_all();
    };
    for (auto _ : state) {
        wakeAll(false);
        returned.arrive_and_wait();
    }
    wakeAll(true);
    returned.arrive_and_wait();
}
BENCHMARK(conditionVariableWakeUp32Reference)->UseRealTime();

}
