// The computer's process ended as kill -9 would, at the calls where a request could run twice or be
// lost, and started again on the same folders; and the store's faults the computer must ride out.
#include "tests/MailboxRoad/MailboxRoadFixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include <csignal>

using namespace vellumar;
using namespace vellumar::test;

namespace {

constexpr const char* kReplayed = "mailbox envelope dropped: replayed";

struct KilledAt {
    const char* call;
    // What the phone's job request gets: its 202 from the restarted computer, or a time-out.
    bool answered;
    // Whether the restarted computer finds the request already opened.
    bool droppedAsReplayed;
};

void PrintTo(const KilledAt& point, std::ostream* out) { *out << point.call; }

class MailboxRoadRestart : public MailboxRoad, public testing::WithParamInterface<KilledAt> {
protected:
    // Pairs, arms the computer to end at `call`, and sends a job request that the computer takes up
    // and dies on; answers the phone's pending answer, which the restarted computer may still give.
    std::future<JSON> sendAndDieAt(const std::string& call)
    {
        mac->call({ { "op", "killAt" }, { "call", call } });
        auto answer = std::async(std::launch::async, [this] {
            return phoneSend("POST", "/v1/jobs",
                JSON::object(
                    { { "conversationId", "ios-road" }, { "botId", "main" }, { "message", "Once." } })
                    .encoded(),
                10);
        });
        EXPECT_EQ(mac->awaitExit(), 128 + SIGKILL) << "the computer did not end at " << call;
        return answer;
    }
};

}

TEST_P(MailboxRoadRestart, ARequestRunsAtMostOnceAcrossARestart)
{
    const auto point = GetParam();
    startMac();
    // The phone gives up after 10 s, so a lost answer does not hold the run for a minute.
    startPhone(10);
    ASSERT_NO_FATAL_FAILURE(pairOverLAN());
    if (IsSkipped())
        return;
    auto pending = sendAndDieAt(point.call);
    startMac();
    auto answer = pending.get();

    if (point.answered) {
        EXPECT_EQ(answer.subscript("status") ? answer.subscript("status")->intValue() : std::nullopt, 202)
            << answer.encoded();
        auto jobID = memberText(JSON::decode(memberText(answer, "body")).value_or(JSON()), "jobId");
        auto polled = phoneSend("GET", "/v1/jobs/" + jobID + "?since=0&wait=40", std::nullopt, 60);
        EXPECT_NE(memberText(polled, "body").find(R"("status":"done")"), std::string::npos)
            << polled.encoded();
        EXPECT_EQ(claudeStarts(), 1);
    } else {
        EXPECT_EQ(memberText(answer, "error"), "timedOut") << answer.encoded();
        EXPECT_LE(claudeStarts(), 1);
    }
    if (point.droppedAsReplayed) {
        EXPECT_TRUE(
            mac->awaitEvent("log", [](const JSON& event) { return memberText(event, "line") == kReplayed; }));
    }
    phone.reset();
    EXPECT_EQ(mac->finish(), 0);
    EXPECT_LE(claudeStarts(), 1);
    expectNoLeftoversAndPrivateFiles();
}

INSTANTIATE_TEST_SUITE_P(KilledAt, MailboxRoadRestart,
    testing::Values(KilledAt { "stateSave", true, false }, KilledAt { "afterStateSave", false, true },
        KilledAt { "replySave", false, true }),
    [](const auto& test) { return std::string(test.param.call); });

TEST_F(MailboxRoad, ADamagedChannelStateAndARestartRunNothingTwice)
{
    startMac();
    startPhone(10);
    ASSERT_NO_FATAL_FAILURE(pairOverLAN());
    if (IsSkipped())
        return;
    // The request stays in the store, opened and recorded, when the computer dies writing its answer.
    mac->call({ { "op", "killAt" }, { "call", "replySave" } });
    auto pending = std::async(std::launch::async, [this] {
        return phoneSend("POST", "/v1/jobs",
            JSON::object({ { "conversationId", "ios-road" }, { "botId", "main" }, { "message", "Once." } })
                .encoded(),
            10);
    });
    ASSERT_EQ(mac->awaitExit(), 128 + SIGKILL);
    for (const auto& entry : std::filesystem::directory_iterator(data / "mailbox"))
        std::ofstream(entry.path(), std::ios::trunc) << "{\"lastSequence\":";
    startMac();
    EXPECT_EQ(memberText(pending.get(), "error"), "timedOut");
    EXPECT_TRUE(
        mac->awaitEvent("log", [](const JSON& event) { return memberText(event, "line") == kReplayed; }));
    phone.reset();
    EXPECT_EQ(mac->finish(), 0);
    EXPECT_LE(claudeStarts(), 1);
}

TEST_F(MailboxRoad, AStoreThatIsBusyPausesTheComputerAndThePhoneStillGetsItsAnswer)
{
    startMac();
    startPhone();
    ASSERT_NO_FATAL_FAILURE(pairOverLAN());
    if (IsSkipped())
        return;
    mac->call({ { "op", "busyAt" }, { "retryAfter", 5 } });
    auto answer = phoneSend("GET", "/health");
    EXPECT_EQ(answer.subscript("status") ? answer.subscript("status")->intValue() : std::nullopt, 200)
        << answer.encoded();
    phone.reset();
    EXPECT_EQ(mac->finish(), 0);
    expectNoLeftoversAndPrivateFiles();
}

TEST_F(MailboxRoad, AnotherUserSigningInRestartsTheComputersServer)
{
    startMac();
    startPhone();
    ASSERT_NO_FATAL_FAILURE(pairOverLAN());
    if (IsSkipped())
        return;
    auto started = [](const JSON& event) { return memberText(event, "line") == "mailbox server started"; };
    ASSERT_TRUE(mac->awaitEvent("log", started));
    auto before = mac->eventCount();
    auto switched = runPeer({ VELLUMAR_CLOUDDB_TOOL, cloud.string(), "account", "1", "_otherUser" });
    ASSERT_EQ(switched.exitStatus, 0) << switched.output;
    EXPECT_TRUE(mac->awaitEvent("log", started, 60, before));
    EXPECT_EQ(mac->logCount("mailbox server started"), 2);
    phone.reset();
    EXPECT_EQ(mac->finish(), 0);
}
