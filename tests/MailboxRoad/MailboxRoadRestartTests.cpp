// The computer's process ended as kill -9 would, at the calls where a request could run twice or be
// lost, and started again on the same folders; and the store's faults the computer must ride out.
#include "tests/MailboxRoad/MailboxRoadFixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include <csignal>

using namespace vellumar;
using namespace vellumar::test;

namespace {

constexpr const char* kReplayed = "mailbox envelope dropped: replayed";

struct KilledAt {
    const char* call;
    // What the phone's job request gets: its 202 from the restarted computer, or a time-out.
    bool answered;
    // Whether the restarted computer finds the request again, already opened: once it was handed on,
    // it left the store.
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
        EXPECT_EQ(mac->awaitExit(), 128 + SIGKILL) << "the computer did not end at " << call << ":\n"
                                                   << mac->logText();
        return answer;
    }
};

}

TEST_P(MailboxRoadRestart, ARequestRunsAtMostOnceAcrossARestart)
{
    const auto point = GetParam();
    // The phone gives up after 10 s, so a lost answer does not hold the run for a minute.
    if (!startAndPair(10))
        return;
    auto pending = sendAndDieAt(point.call);
    startMac();
    auto answer = pending.get();

    if (point.answered) {
        EXPECT_EQ(answer.subscript("status") ? answer.subscript("status")->intValue() : std::nullopt, 202)
            << answer.encoded();
        auto jobID = memberText(JSON::decode(memberText(answer, "body")).value_or(JSON()), "jobId");
        // A poll ends at the job's next event, which on a busy machine comes before its end.
        const JSON status = awaitJob(jobID);
        EXPECT_EQ(memberText(status, "status"), "done") << status.encoded();
        EXPECT_EQ(claudeStarts(), 1);
    } else {
        EXPECT_EQ(memberText(answer, "error"), "timedOut") << answer.encoded();
        EXPECT_LE(claudeStarts(), 1);
    }
    if (point.droppedAsReplayed) {
        EXPECT_TRUE(
            mac->awaitEvent("log", [](const JSON& event) { return memberText(event, "line") == kReplayed; }));
    }
    endAndCheckLeftovers();
    EXPECT_LE(claudeStarts(), 1);
}

INSTANTIATE_TEST_SUITE_P(KilledAt, MailboxRoadRestart,
    testing::Values(KilledAt { "stateSave", true, false }, KilledAt { "afterStateSave", false, true },
        KilledAt { "replySave", false, false }),
    [](const auto& test) { return std::string(test.param.call); });

TEST_F(MailboxRoad, ADamagedChannelStateAndARestartRunNothingTwice)
{
    if (!startAndPair())
        return;
    auto first = phone->eventCount();
    ASSERT_EQ(memberText(awaitJob(submitJob()), "status"), "done");
    auto request = phone->awaitEvent(
        "committed", [](const JSON& event) { return memberText(event, "to") == "mac"; }, 0, first);
    ASSERT_TRUE(request);
    ASSERT_EQ(mac->finish(), 0);

    for (const auto& entry : std::filesystem::directory_iterator(data / "mailbox")) {
        std::ofstream(entry.path(), std::ios::trunc) << "{\"lastSequence\":";
        // What a kill in the middle of a write leaves beside the file; the restart removes it.
        std::ofstream(data / "mailbox" / ("." + entry.path().filename().string() + ".0123abcd")) << "{}";
    }
    std::ofstream(xdg / "Vellumar/keychain/.com%2Ezu%2Eplimsor%2Emailbox@mac.0123abcd") << "\nkey";
    startMac();
    // The handled request back in the store, as a store that lost its deletion would show it.
    putBack(*request, memberText(*request, "record"));
    EXPECT_TRUE(
        mac->awaitEvent("log", [](const JSON& event) { return memberText(event, "line") == kReplayed; }));
    EXPECT_EQ(claudeStarts(), 1);
    // What the phone sends from now on still runs.
    EXPECT_EQ(memberText(awaitJob(submitJob()), "status"), "done");
    EXPECT_EQ(claudeStarts(), 2);
    endAndCheckLeftovers();
}

TEST_F(MailboxRoad, AStoreThatIsBusyPausesTheComputerAndThePhoneStillGetsItsAnswer)
{
    if (!startAndPair())
        return;
    // Every try of one fetch pass meets the busy service, so the pass gives up and notes it.
    mac->call({ { "op", "busyAt" }, { "call", "fetch" }, { "retryAfter", 5 }, { "count", 4 } });
    auto pending = std::async(std::launch::async, [this] { return phoneSend("GET", "/health"); });
    EXPECT_TRUE(becomes([&] {
        return memberText(mac->call({ { "op", "status" } }), "primaryError").starts_with("busy");
    }));
    auto answer = pending.get();
    EXPECT_EQ(memberText(answer, "status"), "200") << answer.encoded();
    endAndCheckLeftovers();
}

TEST_F(MailboxRoad, AnotherUserSigningInRestartsTheComputersServer)
{
    if (!startAndPair())
        return;
    auto started = [](const JSON& event) { return memberText(event, "line") == "mailbox server started"; };
    ASSERT_TRUE(mac->awaitEvent("log", started));
    auto before = mac->eventCount();
    auto switched = runPeer({ VELLUMAR_CLOUDDB_TOOL, cloud.string(), "account", "1", "_otherUser" });
    ASSERT_EQ(switched.exitStatus, 0) << switched.output;
    EXPECT_TRUE(mac->awaitEvent("log", started, 60, before));
    EXPECT_EQ(mac->logCount("mailbox server started"), 2);
    endAndCheckLeftovers();
}
