#include "tests/Routines/RoutineManagerFixture.h"

#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Permissions/PermissionSettings.h"

#include <optional>
#include <utility>

namespace vellumar::test {
namespace {

    const std::string kHeader
        = "[Routine \"News\" (every day at 7:00)] A scheduled request the user registered. "
          "Answer with a short summary of the result.";

    class RoutineRunTest : public RoutineManagerTest {
    protected:
        // The run's submission as the job's runner receives it.
        JobSubmission run(const std::string& id)
        {
            auto status = manager->runNow(id);
            return runner->awaitStart(textOf(status, "jobId")).submission;
        }
    };

    TEST_F(RoutineRunTest, MessageHoldsTheDayOrTheNoteThenThePrompt)
    {
        sessions->recordTurn("ios-talked", "main", "Any plans?", "A walk.");
        const std::tuple<const char*, JSON::Object, std::string> cases[] = {
            { "the day's turns", { { "includeToday", true }, { "conversationId", "ios-talked" } },
                kHeader
                    + "\n\n[Last 24 hours of the conversation] Turns Vellumar kept for this routine (up to "
                      "1500 "
                      "characters each).\n\n[03/01 00:00] User: Any plans?\nYou: A walk.\n\nThree "
                      "headlines." },
            { "a day without turns", { { "includeToday", true } },
                kHeader
                    + "\n\n[Last 24 hours of the conversation] There were no turns in the last 24 hours.\n\n"
                      "Three headlines." },
            { "no day asked for", { { "includeToday", false }, { "conversationId", "ios-talked" } },
                kHeader
                    + " In routines you cannot see the conversation history (each run is a new session). Do "
                      "not "
                      "take that as the user not having talked to you; if the request needs the history, say "
                      "briefly that you cannot see it.\n\nThree headlines." },
        };
        for (const auto& [name, changes, message] : cases) {
            SCOPED_TRACE(name);
            EXPECT_EQ(run(create(changes)).message, message);
        }
    }

    TEST_F(RoutineRunTest, SubmissionTakesTheTargetsConversationAndTheStoredTimeLimit)
    {
        struct Case {
            const char* name;
            JSON::Object changes;
            std::string conversationSuffix; // after "ios-abc"; ":id" stands for the routine's own
            double timeLimit;
        };
        const Case cases[] = {
            { "bot target, limit 600", { { "target", "bot" }, { "timeLimitSeconds", 600 } }, "", 600 },
            { "routine target, no limit", { { "target", "routine" } }, ":id", 1800 },
            { "no target", {}, ":id", 1800 },
        };
        for (const auto& [name, changes, suffix, timeLimit] : cases) {
            SCOPED_TRACE(name);
            auto id = create(changes);
            auto submission = run(id);
            EXPECT_EQ(submission.conversationID, "ios-abc" + (suffix.empty() ? "" : ":" + id));
            EXPECT_EQ(submission.timeLimit, timeLimit);
            EXPECT_EQ(manager->stored(id).at("runCount"), 1);
        }
    }

    TEST_F(RoutineRunTest, RoutineDeletedDuringTheSubmissionStillAnswersTheJob)
    {
        auto id = create();
        // The job manager tells this observer of the new running job before its submit returns.
        jobs->observeRunning([&](std::size_t running) {
            if (running == 1)
                manager->remove(id);
        });
        auto status = manager->runNow(id);
        EXPECT_TRUE(RelayIDs::isValidJobID(textOf(status, "jobId")));
        EXPECT_EQ(manager->list(std::nullopt).subscript("routines")->arrayValue()->size(), 0u);
        auto saved = decoded(readFile(file));
        EXPECT_EQ(saved.subscript("routines")->arrayValue()->size(), 0u);
    }

    TEST_F(RoutineRunTest, StartedRunIsMarkedRunningWithItsJobAndCarriesTheStoredPermissions)
    {
        const auto permissions = JSON::object({ { "bash", true }, { "web", false } });
        auto id = create({ { "permissions", permissions } });
        auto status = manager->runNow(id);
        auto jobID = textOf(status, "jobId");
        EXPECT_EQ(runner->awaitStart(jobID).submission.permissions, PermissionSettings(permissions));
        // The scheduler finds the run's outcome by these marks, also after a restart.
        for (const auto& record : { manager->stored(id), RoutinesFile::load(file).value().routines.at(id) }) {
            EXPECT_EQ(record.at("lastStatus"), "running");
            EXPECT_EQ(record.at("lastJobId"), jobID);
            EXPECT_EQ(record.at("runCount"), 1);
        }
    }

    TEST_F(RoutineRunTest, RunWithoutStoredPermissionsLeavesTheJobToTheBotsOwn)
    {
        EXPECT_EQ(run(create()).permissions, std::nullopt);
    }

    TEST_F(RoutineRunTest, OverlappingStartsOfOneRoutineAreBothCounted)
    {
        auto id = create();
        // The second start begins while the first is still submitting its job.
        bool started = false;
        jobs->observeRunning([&](std::size_t running) {
            if (running == 1 && !std::exchange(started, true))
                manager->runNow(id);
        });
        manager->runNow(id);
        EXPECT_EQ(manager->stored(id).at("runCount"), 2);
        EXPECT_EQ(RoutinesFile::load(file).value().routines.at(id).at("runCount"), 2);
    }

}
}
