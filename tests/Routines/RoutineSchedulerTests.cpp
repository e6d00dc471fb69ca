#include "tests/Routines/RoutineManagerFixture.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/support/FileFixtures.h"

#include <future>
#include <optional>

namespace vellumar::test {
namespace {

    using namespace std::chrono_literals;

    constexpr std::int64_t kStart = 1'740'787'200'000; // the manual clock's start, 2025-03-01 00:00 UTC
    constexpr std::int64_t kHour = 3'600'000;
    constexpr std::int64_t kDay = 24 * kHour;

    const JSON kHourly = JSON::object({ { "kind", "interval" }, { "hours", 1 } });

    class RoutineSchedulerTest : public RoutineManagerTest {
    protected:
        // An enabled routine every hour from the clock's start: first due an hour in.
        std::string createHourly(JSON::Object changes = {})
        {
            changes.emplace("schedule", kHourly);
            changes.emplace("enabled", true);
            return create(std::move(changes));
        }

        JSON member(const std::string& id, const std::string& key) { return manager->stored(id).at(key); }

        JSON saved(std::string_view key) { return *decoded(readFile(file)).subscript(key); }

        // Runs answer at once and their results reach `results`. Returns once the first pass, which
        // runs at once, has ended and the loop sleeps on the clock.
        void startLoop()
        {
            runner->releaseEveryRun(
                [](const LatchedFakeRunner::Run&) { return ReplyOutput { .reply = "Done." }; });
            manager->addResultObserver(results.observer());
            manager->start();
            ASSERT_TRUE(clock->awaitSleepers(1));
        }

        // A manager loaded from a file that holds one hourly routine `id`, next due at `nextRunAt`, and
        // the run log `runLog`.
        void reload(const std::string& id, std::int64_t nextRunAt, const std::vector<std::int64_t>& runLog)
        {
            auto record = routineBody();
            record.insert_or_assign("id", id);
            record.insert_or_assign("schedule", kHourly);
            record.insert_or_assign("enabled", true);
            record.insert_or_assign("createdAt", kStart);
            record.insert_or_assign("nextRunAt", nextRunAt);
            writeBytes(file,
                JSON::object({ { "routines", JSON::array({ JSON(record) }) },
                                 { "scheduledRuns", JSON::Array(runLog.begin(), runLog.end()) } })
                    .encoded());
            manager = makeManager();
        }
    };

    TEST_F(RoutineSchedulerTest, AfterAThreeHourJumpTheLoopRunsARoutineOnceAndMovesItToItsNextFutureTime)
    {
        auto id = createHourly();
        startLoop();
        clock->advance(3h);
        // The result shows the pass that woke ran; the loop sleeping again shows that pass has ended.
        EXPECT_EQ(textOf(results.await(1).at(0), "status"), "ok");
        ASSERT_TRUE(clock->awaitSleepers(1));
        EXPECT_EQ(results.await(1).size(), 1u);
        EXPECT_EQ(member(id, "runCount"), 1);
        EXPECT_EQ(member(id, "nextRunAt"), JSON(kStart + 4 * kHour));
        EXPECT_EQ(saved("scheduledRuns").encoded(), JSON::array({ kStart + 3 * kHour }).encoded());
    }

    TEST_F(RoutineSchedulerTest, AClockSetBackDoesNotHoldTheLoopAsleep)
    {
        startLoop();
        clock->advance(-1h);
        // Made at 23:00 of the day before, it is first due at 23:30.
        create({ { "enabled", true },
            { "schedule", JSON::object({ { "kind", "cron" }, { "expr", "0,30 * * * *" } }) } });
        // The second step finds the loop asleep either way: whether it woke from the first step or
        // went to sleep only after it.
        clock->advance(30min);
        clock->advance(RoutineManager::kTickInterval);
        EXPECT_EQ(textOf(results.await(1).at(0), "status"), "ok");
    }

    TEST_F(RoutineSchedulerTest, StopWakesTheSleepingLoopAndAStoppedLoopStartsAgain)
    {
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round);
            manager->start();
            manager->start();
            ASSERT_TRUE(clock->awaitSleepers(1));
            // The clock never moves here: only the stop request can end the 20-second sleep.
            auto stopped = std::async(std::launch::async, [&] { manager->stop(); });
            ASSERT_EQ(stopped.wait_for(LatchedFakeRunner::kPatience), std::future_status::ready);
        }
    }

    TEST_F(RoutineSchedulerTest, SwitchedOffDueTimesMoveOnWithoutRunsAndAreNotMadeUpWhenSwitchedOn)
    {
        auto enabled = createHourly();
        auto disabled = createHourly({ { "enabled", false } });
        options->setRoutines(false);
        clock->advance(1h);
        manager->tick();
        for (const auto& id : { enabled, disabled }) {
            EXPECT_EQ(member(id, "nextRunAt"), JSON(kStart + 2 * kHour));
            EXPECT_EQ(member(id, "lastStatus"), JSON());
        }
        EXPECT_EQ(
            saved("routines").arrayValue()->at(1).subscript("nextRunAt")->intValue(), kStart + 2 * kHour);

        options->setRoutines(true);
        clock->advance(30min);
        manager->tick();
        EXPECT_EQ(member(enabled, "lastStatus"), JSON());
        clock->advance(30min);
        manager->tick();
        EXPECT_EQ(member(enabled, "lastStatus"), "running");
        EXPECT_EQ(member(enabled, "nextRunAt"), JSON(kStart + 3 * kHour));
        // Switched on, a disabled routine neither runs nor has its past time moved.
        EXPECT_EQ(member(disabled, "lastStatus"), JSON());
        EXPECT_EQ(member(disabled, "nextRunAt"), JSON(kStart + 2 * kHour));
        EXPECT_EQ(saved("scheduledRuns").arrayValue()->size(), 1u);
    }

    TEST_F(RoutineSchedulerTest, APassWithNothingDueWritesNothing)
    {
        createHourly();
        std::filesystem::remove(file);
        manager->tick();
        options->setRoutines(false);
        manager->tick();
        EXPECT_FALSE(std::filesystem::exists(file));
    }

    // Only scheduled runs of the last day count, and none dated more than a day ahead.
    TEST_F(RoutineSchedulerTest, TheDailyCapCountsTheRunLogOfTheLastDayOnly)
    {
        const std::int64_t now = kStart + kHour;
        struct Case {
            const char* name;
            std::vector<std::int64_t> runLog;
            bool runs;
        };
        auto times = [](std::size_t count, std::int64_t at) { return std::vector<std::int64_t>(count, at); };
        auto withOneMore = [](std::vector<std::int64_t> log, std::int64_t at) {
            log.push_back(at);
            return log;
        };
        const Case cases[] = {
            { "47 in the last day", times(47, now - kHour), true },
            { "48 in the last day", times(48, now - kDay + 1), false },
            { "48, the oldest a day old", withOneMore(times(47, now - kHour), now - kDay), true },
            { "48 a day ahead", times(48, now + kDay), false },
            { "48 more than a day ahead", times(48, now + kDay + 1), true },
        };
        int row = 0;
        for (const auto& [name, runLog, runs] : cases) {
            SCOPED_TRACE(name);
            std::string id = "r-0000000" + std::to_string(++row);
            reload(id, now, runLog);
            clock->advance(1h);
            manager->tick();
            clock->advance(-1h);

            EXPECT_EQ(member(id, "nextRunAt"), JSON(now + kHour));
            EXPECT_EQ(member(id, "lastStatus"), runs ? "running" : "failed");
            auto entries = *manager->results(0).subscript("results")->arrayValue();
            if (runs) {
                EXPECT_TRUE(entries.empty());
                EXPECT_EQ(saved("scheduledRuns").arrayValue()->back(), JSON(now));
            } else {
                ASSERT_EQ(entries.size(), 1u);
                EXPECT_EQ(textOf(entries[0], "status"), "failed");
                EXPECT_EQ(
                    textOf(entries[0], "error"), "Skipped: routines on this Mac run at most 48 times a day.");
                EXPECT_EQ(textOf(entries[0], "conversationId"), "ios-abc:" + id);
                EXPECT_TRUE(textOf(entries[0], "reply").empty());
            }
        }
    }

    TEST_F(RoutineSchedulerTest, RunsStartedFromThePhoneAreNeitherCountedNorSkipped)
    {
        const std::vector<std::int64_t> fullDay(48, kStart - kHour);
        reload("r-0000000a", kStart + kHour, fullDay);
        manager->runNow("r-0000000a");
        manager->runNow("r-0000000a");
        EXPECT_EQ(member("r-0000000a", "runCount"), 2);
        EXPECT_EQ(member("r-0000000a", "nextRunAt"), JSON(kStart + kHour));
        EXPECT_EQ(
            saved("scheduledRuns").encoded(), JSON(JSON::Array(fullDay.begin(), fullDay.end())).encoded());
    }

    TEST_F(RoutineSchedulerTest, ARunTheJobManagerRefusesMarksTheRoutineFailedWithoutAResult)
    {
        auto id = createHourly();
        // One running and five waiting jobs fill the routine's conversation.
        for (int job = 0; job < 6; ++job)
            jobs->submit({ .conversationID = "ios-abc:" + id, .botID = "main", .message = "Hi" });
        clock->advance(1h);
        manager->tick();
        EXPECT_EQ(member(id, "lastStatus"), "failed");
        EXPECT_EQ(
            member(id, "lastError"), "Too many messages are waiting in this conversation. Try again later.");
        EXPECT_EQ(member(id, "nextRunAt"), JSON(kStart + 2 * kHour));
        EXPECT_EQ(member(id, "runCount"), 0);
        EXPECT_TRUE(manager->results(0).subscript("results")->arrayValue()->empty());
        EXPECT_TRUE(saved("scheduledRuns").arrayValue()->empty());
    }

    TEST_F(RoutineSchedulerTest, RoutinesDueTogetherStartInAscendingIdOrder)
    {
        // Both post into one conversation, where the first submitted runs and the second waits for it.
        std::vector<std::string> ids;
        for (int routine = 0; routine < 2; ++routine)
            ids.push_back(createHourly({ { "target", "bot" } }));
        std::sort(ids.begin(), ids.end());
        clock->advance(1h);
        manager->tick();
        std::vector<std::string> statuses;
        for (const auto& id : ids)
            statuses.push_back(textOf(*jobs->status(textOf(manager->stored(id), "lastJobId")), "status"));
        EXPECT_EQ(statuses, (std::vector<std::string> { "running", "queued" }));
    }

}
}
