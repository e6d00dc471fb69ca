#include "tests/MovraneMailbox/Client/MailboxClientFixture.h"
#include "tests/support/FileFixtures.h"

namespace movrane {

namespace {

    using Kind = MailboxError::Kind;
    using vellumar::test::thrown;

    std::string snapshot(std::string_view jobId, int version, std::string_view status)
    {
        return R"({"jobId":")" + std::string(jobId) + R"(","status":")" + std::string(status)
            + R"(","version":)" + std::to_string(version) + "}";
    }

    MailboxRelayResponse ok(std::string_view body)
    {
        return MailboxRelayResponse::make(200, {}, bytes(body));
    }

    MailboxRelayResponse storedState(std::string_view body)
    {
        return MailboxRelayResponse::make(
            200, { { "content-type", "application/json; charset=utf-8" } }, bytes(body));
    }

    MailboxURLRequest urlRequest(std::string method, std::string target)
    {
        return { "https://mac.local:48788" + target, std::move(method), {}, std::nullopt };
    }

    // What the Mac was asked, one line per message: "watch j-1 since 3", "request GET /v1/jobs/j-1".
    std::string describe(const MailboxMessage& message)
    {
        if (const auto* watch = std::get_if<MailboxWatch>(&message.content))
            return std::string(watch->background ? "background " : "") + "watch " + watch->jobId + " since "
                + (watch->since ? std::to_string(*watch->since) : "none");
        if (const auto* request = std::get_if<MailboxRelayRequest>(&message.content))
            return "request " + request->method + " " + request->target();
        return std::string(kindOf(message.content));
    }

    class MailboxClientJobsWithAHandPlayedMacTest : public MailboxClientTest {
    protected:
        std::shared_ptr<ObservedMailboxStore> observed = std::make_shared<ObservedMailboxStore>(store);
        std::unique_ptr<MailboxClient> client = makeClient(configuration(), observed);
        std::vector<std::string> asked;

        void SetUp() override
        {
            client->setUp();
            letSleepsMoveTheClock();
        }

        // The Mac answers a watch with `watchAnswer` and any request with `requestAnswer`.
        void macAnswers(MailboxRelayResponse watchAnswer, MailboxRelayResponse requestAnswer = ok("{}"))
        {
            answerThrough(*observed, [=, this](const MailboxMessage& message) {
                asked.push_back(describe(message));
                return std::holds_alternative<MailboxWatch>(message.content) ? watchAnswer : requestAnswer;
            });
        }
    };

    TEST_F(MailboxClientJobsWithAHandPlayedMacTest,
        AJobLongPollIsAnsweredFromTheWatchAndOtherJobRequestsGoToTheMac)
    {
        macAnswers(ok(snapshot("j-1", 3, "running")), ok("plain"));
        auto polled = client->send(urlRequest("GET", "/v1/jobs/j-1?since=3&wait=40"));
        EXPECT_EQ(secondsNow(), 25) << "the wait is held to 25 seconds";
        EXPECT_EQ(polled.response.status, 200);
        EXPECT_EQ(polled.data, bytes(snapshot("j-1", 3, "running")));
        EXPECT_EQ(polled.response.headerFields.at("Content-Type"), "application/json; charset=utf-8");

        EXPECT_EQ(client->send(urlRequest("POST", "/v1/jobs/j-1?since=1")).data, bytes("plain"));
        EXPECT_EQ(client->send(urlRequest("GET", "/v1/jobs/j-1")).data, bytes("plain"));
        EXPECT_EQ(asked,
            (std::vector<std::string> {
                "watch j-1 since 3", "request POST /v1/jobs/j-1?since=1", "request GET /v1/jobs/j-1" }));
    }

    TEST_F(MailboxClientJobsWithAHandPlayedMacTest, RepeatedLongPollsRenewTheWatchOncePerRenewalPeriod)
    {
        macAnswers(ok(snapshot("j-1", 1, "running")));
        while (secondsNow() < 900)
            client->longPollJob("j-1", 1, 25);
        auto saved = store->saved();
        auto watches = std::count_if(saved.begin(), saved.end(),
            [](const MailboxEnvelopeRecord& record) { return record.to == MailboxPartyTag::mac; });
        EXPECT_EQ(watches, 3) << "at 0, 300 and 600 seconds";
        EXPECT_EQ(asked, std::vector<std::string>(3, "watch j-1 since 1"));
    }

    TEST_F(MailboxClientJobsWithAHandPlayedMacTest, AStoredNewerOrFinishedStateAnswersWithoutTheStore)
    {
        client->recordJobState("j-1", 5, false, bytes("five"));
        client->recordJobState("j-2", 2, true, bytes("done"));
        auto callsBefore = store->counts();
        EXPECT_EQ(client->longPollJob("j-1", 3, 25), storedState("five"));
        EXPECT_EQ(client->longPollJob("j-2", 3, 25), storedState("done"));
        EXPECT_EQ(store->counts(), callsBefore);
        EXPECT_EQ(secondsNow(), 0);
    }

    TEST_F(MailboxClientJobsWithAHandPlayedMacTest, AFreshWatchIsNotRenewedAndTheWaitRunsItsTime)
    {
        client->recordJobState("j-1", 3, false, bytes("three"));
        MailboxClientPeer::watch(*client, "j-1", clock->now());
        clock->setSeconds(10);
        EXPECT_EQ(client->longPollJob("j-1", 3, 20), storedState("three"));
        EXPECT_EQ(secondsNow(), 30);
        EXPECT_TRUE(store->saved().empty()) << "no watch was sent";
    }

    TEST_F(MailboxClientJobsWithAHandPlayedMacTest, WatchAnswersRecordOnlyTheirOwnJobsSnapshot)
    {
        struct Case {
            const char* name;
            MailboxRelayResponse answer;
            std::optional<std::int64_t> recordedVersion;
            bool watched;
        };
        const Case cases[] = {
            { "running", ok(snapshot("j-1", 4, "running")), 4, true },
            { "finished", ok(snapshot("j-1", 5, "done")), 5, false },
            { "another job's snapshot", ok(snapshot("j-9", 7, "running")), std::nullopt, false },
            { "not a snapshot", ok("[]"), std::nullopt, false },
            { "an error status", MailboxRelayResponse::make(404, {}, bytes(snapshot("j-1", 8, "running"))),
                std::nullopt, false },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            auto fresh = makeClient(configuration(), observed);
            macAnswers(row.answer);
            EXPECT_EQ(fresh->watchJob("j-1", std::nullopt), row.answer);
            auto state = fresh->jobState("j-1");
            EXPECT_EQ(state ? std::optional(state->version) : std::nullopt, row.recordedVersion);
            EXPECT_EQ(MailboxClientPeer::isWatched(*fresh, "j-1"), row.watched);
        }
    }

    TEST_F(MailboxClientJobsWithAHandPlayedMacTest, ABackgroundWatchIsSentOneWayAndEndsTheForegroundWatch)
    {
        macAnswers(ok(snapshot("j-1", 1, "running")));
        MailboxClientPeer::watch(*client, "j-1", clock->now());
        client->watchJobInBackground("j-1", 1);
        EXPECT_FALSE(MailboxClientPeer::isWatched(*client, "j-1"));
        EXPECT_EQ(asked, std::vector<std::string> { "background watch j-1 since 1" });
        EXPECT_EQ(store->count(Operation::fetchChanges), 0) << "no answer is awaited";
    }

    TEST_F(MailboxClientJobsWithAHandPlayedMacTest, WaitingForAJobStateFetchesThroughTransientFailuresOnly)
    {
        EXPECT_EQ(client->waitForJobState("j-1", std::nullopt, 0), std::nullopt);
        EXPECT_EQ(store->count(Operation::fetchChanges), 0);
        EXPECT_TRUE(clock->sleeps().empty());

        store->fail(Operation::fetchChanges, MailboxError::network(std::nullopt), 8);
        sendFromMac(MailboxJobStateContent { { "j-1", 2, false }, bytes("two") });
        EXPECT_EQ(
            client->waitForJobState("j-1", 1, 60), (MailboxClient::JobEntry { 2, false, bytes("two") }));

        store->fail(Operation::fetchChanges, MailboxError(Kind::quotaExceeded), 1);
        EXPECT_EQ(thrown<MailboxError>([&] { client->waitForJobState("j-1", 2, 60); }),
            MailboxError(Kind::quotaExceeded));
    }

    TEST_F(MailboxClientJobsWithAHandPlayedMacTest,
        AJobStateFiledOnAnEarlierPageIsReturnedEvenWhenALaterPageFails)
    {
        store->setFetchLimit(1);
        sendFromMac(MailboxJobStateContent { { "j-1", 2, false }, bytes("two") });
        sendFromMac(MailboxEvent { "later", {} });
        int fetches = 0;
        observed->beforeFetch([&] {
            if (++fetches == 2)
                store->fail(Operation::fetchChanges, MailboxError(Kind::quotaExceeded), 1);
        });
        EXPECT_EQ(
            client->waitForJobState("j-1", 1, 60), (MailboxClient::JobEntry { 2, false, bytes("two") }));
    }

    TEST_F(
        MailboxClientJobsWithAHandPlayedMacTest, ALongPollWithoutAnyStateAfterItsWaitAsksTheMacWithAPlainGet)
    {
        macAnswers(ok("{}"), ok(snapshot("j-1", 1, "queued")));
        auto polled = client->send(urlRequest("GET", "/v1/jobs/j-1?since=0&wait=0"));
        EXPECT_EQ(polled.data, bytes(snapshot("j-1", 1, "queued")));
        EXPECT_EQ(asked, (std::vector<std::string> { "watch j-1 since 0", "request GET /v1/jobs/j-1" }));
    }

}

}
