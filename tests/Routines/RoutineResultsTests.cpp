#include "tests/Routines/RoutineManagerFixture.h"

#include "VellumarMacCore/Foundations/Graphemes.h"
#include "tests/support/FileFixtures.h"

#include <optional>

namespace vellumar::test {
namespace {

    class RoutineResultsTest : public RoutineManagerTest {
    protected:
        RoutineResultsTest()
        {
            manager->observeJobs();
            manager->addResultObserver(results.observer());
        }

        std::string runNow(const std::string& id) { return textOf(manager->runNow(id), "jobId"); }
    };

    TEST_F(RoutineResultsTest, AJobOfADeletedRoutineStillGivesAResult)
    {
        auto id = create({ { "target", "bot" }, { "name", "Gone" } });
        auto job = runNow(id);
        manager->remove(id);
        runner->reply(job, "Done.");
        auto entry = results.await(1).at(0);
        EXPECT_EQ(entry.encoded(),
            JSON::object({ { "seq", 1 }, { "routineId", id }, { "jobId", job }, { "botId", "main" },
                             { "conversationId", "ios-abc" }, { "target", "routine" }, { "name", "" },
                             { "runAt", *jobs->status(job)->subscript("startedAt") }, { "status", "ok" },
                             { "reply", "Done." }, { "files", JSON::array({}) }, { "error", nullptr } })
                .encoded());
        // Nothing is posted for a routine that is gone.
        EXPECT_TRUE(sessions->postedResults("ios-abc", "main").empty());
    }

    TEST_F(RoutineResultsTest, ACanceledJobEndsItsRoutineAsCanceled)
    {
        auto id = create();
        auto job = runNow(id);
        runner->awaitStart(job);
        jobs->cancel(job);
        auto entry = results.await(1).at(0);
        EXPECT_EQ(textOf(entry, "status"), "canceled");
        EXPECT_EQ(textOf(entry, "error"), "canceled");
        EXPECT_EQ(manager->stored(id).at("lastStatus"), "canceled");
        EXPECT_EQ(manager->stored(id).at("lastError"), "canceled");
    }

    TEST_F(RoutineResultsTest, ALongReplyIsCutInTheResultButPostedWholeToTheBot)
    {
        auto id = create({ { "target", "bot" } });
        auto job = runNow(id);
        auto reply = repeated("é", 7999) + repeated("ab", 1000);
        runner->reply(job, reply);
        auto entry = results.await(1).at(0);
        EXPECT_EQ(textOf(entry, "reply"), repeated("é", 7999) + "a");
        auto posted = sessions->postedResults("ios-abc", "main");
        ASSERT_EQ(posted.size(), 1u);
        EXPECT_EQ(posted[0].routine, "News");
        EXPECT_EQ(posted[0].reply, prefixCharacters(reply, SessionStore::maxPostedCharacters));
        EXPECT_EQ(manager->stored(id).at("lastStatus"), "ok");
    }

    TEST_F(RoutineResultsTest, ObserversAreToldAfterTheResultIsSaved)
    {
        std::optional<JSON> savedWhenTold;
        manager->addResultObserver([&](const JSON&) { savedWhenTold = decoded(readFile(file)); });
        // Observers are told in the order they came, so this one hears of the entry after the one above.
        auto toldAfter = std::make_shared<ResultLog>();
        manager->addResultObserver([toldAfter](const JSON& entry) { toldAfter->observer()(entry); });
        auto job = runNow(create());
        runner->reply(job, "Done.");
        auto entry = toldAfter->await(1).at(0);
        ASSERT_TRUE(savedWhenTold);
        EXPECT_EQ(savedWhenTold->subscript("results")->arrayValue()->back(), entry);
    }

    TEST_F(RoutineResultsTest, TheErrorIsTheMessageAsSentOrElseTheStatus)
    {
        auto id = create();
        struct Case {
            const char* name;
            std::string status;
            std::optional<JSON> error;
            std::string expected; // "status error" as encoded
        };
        const Case cases[] = {
            { "a text message", "failed", JSON::object({ { "message", "Boom." } }), R"("failed" "Boom.")" },
            { "a message of another kind", "interrupted", JSON::object({ { "message", 5 } }),
                R"("interrupted" 5)" },
            { "no message", "canceled", JSON::object({ { "code", "x" } }), R"("canceled" "canceled")" },
            { "done with an error", "done", JSON::object({ { "message", "x" } }), R"("ok" null)" },
        };
        std::size_t count = 0;
        for (const auto& [name, status, error, expected] : cases) {
            SCOPED_TRACE(name);
            manager->jobFinished({ .id = "j-00000000000000aa",
                .submission = { .conversationID = "ios-abc", .botID = "main", .routineID = id },
                .status = status,
                .error = error,
                .createdAt = 42 });
            auto entry = results.await(++count).back();
            EXPECT_EQ(
                entry.subscript("status")->encoded() + " " + entry.subscript("error")->encoded(), expected);
            EXPECT_EQ(entry.subscript("runAt")->intValue(), 42);
        }
        // None of these jobs is the routine's latest run, so the routine keeps its own status.
        EXPECT_EQ(manager->stored(id).at("lastStatus"), JSON());
        // A job no routine started is none of the routines' business.
        manager->jobFinished({ .id = "j-00000000000000bb", .status = "done" });
        EXPECT_EQ(manager->results(0).subscript("latest")->intValue(), static_cast<std::int64_t>(count));
    }

}
}
