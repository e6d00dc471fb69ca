#include "tests/MovraneMailbox/Client/MailboxClientFixture.h"
#include "tests/support/FileFixtures.h"

#include <thread>

namespace movrane {

namespace {

    using Kind = MailboxError::Kind;
    using vellumar::test::thrown;

    MailboxRelayRequest health()
    {
        return MailboxRelayRequest::make("GET", "/v1/health", std::nullopt, {}, {});
    }

    MailboxRelayResponse jsonResponse(int status, std::string_view body)
    {
        return MailboxRelayResponse::make(status, { { "content-type", "application/json" } }, bytes(body));
    }

    class MailboxClientExchangeTest : public MailboxClientTest {
    protected:
        std::shared_ptr<ObservedMailboxStore> observed = std::make_shared<ObservedMailboxStore>(store);

        std::unique_ptr<MailboxClient> clientWith(MailboxClientConfiguration settings)
        {
            auto made = makeClient(std::move(settings), observed);
            made->setUp();
            return made;
        }

        void answerHealth()
        {
            answerThrough(
                *observed, [](const MailboxMessage&) { return jsonResponse(200, R"({"ok":true})"); });
        }
    };

    TEST_F(MailboxClientExchangeTest, AnAnsweredRequestReturnsTheMacsResponseAndLeavesNothingInTheZone)
    {
        answerHealth();
        auto client = clientWith(configuration());
        auto response = client->send(health(), 0);
        EXPECT_EQ(response, jsonResponse(200, R"({"ok":true})"));
        EXPECT_EQ(loggedLines(), std::vector<std::string> { "mailbox request -> 200 in 0s" });
        client.reset();
        // The request is the Mac's to delete once it has answered.
        auto left = store->envelopes(pairing.zoneName);
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left.front().to, MailboxPartyTag::mac);
    }

    TEST_F(MailboxClientExchangeTest, UnansweredRequestsFetchOnThePollScheduleUntilTheirDeadline)
    {
        struct Case {
            const char* name;
            std::vector<double> intervals;
            double wait;
            std::vector<double> firstFetches;
            double lastFetch;
            double deadline;
        };
        const Case cases[] = {
            { "default schedule", { 1, 1, 2, 2, 3, 5 }, 0, { 0, 1, 2, 4, 6, 9, 14, 19 }, 59, 60 },
            { "empty schedule waits 1 s", {}, 0, { 0, 1, 2, 3, 4 }, 59, 60 },
            { "a longer wait than the minimum", { 10 }, 120, { 0, 10, 20 }, 110, 120 },
        };
        letSleepsMoveTheClock();
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            clock->setSeconds(0);
            std::vector<double> fetches;
            observed->beforeFetch([&] { fetches.push_back(secondsNow()); });
            auto settings = configuration();
            settings.pollIntervals = row.intervals;
            auto client = clientWith(settings);
            auto zoneBefore = store->envelopes(pairing.zoneName).size();

            EXPECT_TRUE(thrown<MailboxClientError>([&] { client->send(health(), row.wait); }));
            EXPECT_EQ(secondsNow(), row.deadline);
            ASSERT_GE(fetches.size(), row.firstFetches.size());
            EXPECT_EQ(std::vector<double>(fetches.begin(), fetches.begin() + row.firstFetches.size()),
                row.firstFetches);
            EXPECT_EQ(fetches.back(), row.lastFetch);
            EXPECT_EQ(loggedLines().back(), "mailbox request -> timedOut");
            client.reset();
            observed->beforeFetch({});
            EXPECT_EQ(store->envelopes(pairing.zoneName).size(), zoneBefore)
                << "the request record is deleted";
        }
    }

    TEST_F(MailboxClientExchangeTest, AnAnswerFiledJustAfterItsRequestTimedOutIsDroppedAndItsRecordDeleted)
    {
        letSleepsMoveTheClock();
        auto client = clientWith(configuration());
        auto zoneBefore = store->envelopes(pairing.zoneName).size();
        std::optional<MailboxMessage> request;
        observed->afterSave([&](const MailboxEnvelopeRecord& record) {
            if (record.to == MailboxPartyTag::mac)
                request = openedByMac(record);
        });
        // The Mac answers a moment too late, and another caller's fetch files the answer while the
        // request is still giving up.
        onLogLine = [&](const std::string& line) {
            if (line != "mailbox request -> timedOut" || !request)
                return;
            sendFromMac(MailboxResponseContent { request->id, jsonResponse(200, "{}") });
            client->receive();
        };

        EXPECT_TRUE(thrown<MailboxClientError>([&] { client->send(health(), 0); }));

        EXPECT_EQ(secondsNow(), 60);
        EXPECT_EQ(MailboxClientPeer::filedAnswers(*client), 0u);
        client.reset();
        EXPECT_EQ(store->envelopes(pairing.zoneName).size(), zoneBefore)
            << "the request and its late answer are deleted";
    }

    TEST_F(MailboxClientExchangeTest, TransientFetchFailuresKeepWaitingAndOthersEndTheExchangeAtOnce)
    {
        answerHealth();
        letSleepsMoveTheClock();
        auto client = clientWith(configuration());
        store->fail(Operation::fetchChanges, MailboxError::network(std::nullopt), 3);
        EXPECT_EQ(client->send(health(), 0).status, 200);
        // Its answer's record leaves in the background; the request stays for the Mac.
        auto saved = store->saved();
        auto answeredRequest = *std::find_if(
            saved.begin(), saved.end(), [](const auto& record) { return record.to == MailboxPartyTag::mac; });

        observed->afterSave({});
        store->fail(Operation::fetchChanges, MailboxError(Kind::quotaExceeded), 1);
        auto fetchesBefore = store->count(Operation::fetchChanges);
        auto failure = thrown<MailboxError>([&] { client->send(health(), 0); });
        EXPECT_EQ(failure, MailboxError(Kind::quotaExceeded));
        EXPECT_EQ(store->count(Operation::fetchChanges) - fetchesBefore, 1);
        EXPECT_EQ(loggedLines().back(), "mailbox request -> quotaExceeded");
        client.reset();
        EXPECT_EQ(
            namesOf(store->envelopes(pairing.zoneName)), std::vector<std::string> { answeredRequest.name })
            << "the failed request is deleted";
    }

    TEST_F(MailboxClientExchangeTest, AnAnswerFiledOnAnEarlierPageIsReturnedEvenWhenALaterPageFails)
    {
        auto client = clientWith(configuration());
        store->setFetchLimit(1);
        int fetches = 0;
        observed->beforeFetch([&] {
            if (++fetches == 3)
                store->fail(Operation::fetchChanges, MailboxError(Kind::quotaExceeded), 1);
        });
        // The Mac answers, then writes one more envelope, so the fetch pages past the answer.
        observed->afterSave([this](const MailboxEnvelopeRecord& record) {
            auto request = openedByMac(record);
            sendFromMac(MailboxResponseContent { request.id, jsonResponse(200, "{}") });
            sendFromMac(MailboxEvent { "later", {} });
        });

        EXPECT_EQ(client->send(health(), 0), jsonResponse(200, "{}"));
        EXPECT_EQ(client->lastError(), MailboxError(Kind::quotaExceeded));
    }

    TEST_F(MailboxClientExchangeTest, TwoCallersOfFetchShareOneFetchOfChanges)
    {
        auto client = clientWith(configuration());
        std::mutex gateLock;
        std::condition_variable gateChanged;
        bool entered = false;
        bool open = false;
        observed->beforeFetch([&] {
            std::unique_lock lock(gateLock);
            entered = true;
            gateChanged.notify_all();
            gateChanged.wait(lock, [&] { return open; });
        });
        auto fetchesBefore = store->count(Operation::fetchChanges);
        std::optional<MailboxError> first = MailboxError(Kind::other), second = MailboxError(Kind::other);
        std::jthread one([&] { first = client->fetch(); });
        {
            std::unique_lock lock(gateLock);
            ASSERT_TRUE(gateChanged.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
        }
        std::jthread two([&] { second = client->fetch(); });
        // The client, the fetch's thread and both callers hold the fetch under way.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (MailboxClientPeer::fetchHolders(*client) < 4 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        EXPECT_EQ(MailboxClientPeer::fetchHolders(*client), 4);
        {
            std::lock_guard lock(gateLock);
            open = true;
        }
        gateChanged.notify_all();
        one.join();
        two.join();
        EXPECT_EQ(store->count(Operation::fetchChanges) - fetchesBefore, 1);
        EXPECT_EQ(first, std::nullopt);
        EXPECT_EQ(second, std::nullopt);
    }

    TEST_F(MailboxClientExchangeTest, AnAttachmentStatedOverSixtyFourMebibytesIsRefusedUnopened)
    {
        observed->afterSave([this](const MailboxEnvelopeRecord& record) {
            auto request = openedByMac(record);
            sendFromMac(
                MailboxResponseContent { request.id, jsonResponse(200, "") }, bytes("small"), 67'108'865);
        });
        auto client = clientWith(configuration());
        auto failure = thrown<MailboxAttachmentError>([&] { client->send(health(), 0); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind(), MailboxAttachmentError::Kind::tooLarge);
        EXPECT_EQ(loggedLines().back(), "mailbox request -> tooLarge");
        client.reset();
        EXPECT_TRUE(store->envelopes(pairing.zoneName).empty()) << "request and answer records are deleted";
        EXPECT_TRUE(vellumar::test::namesIn(temporary.path()).empty()) << "the downloaded asset is removed";
    }

}

}
