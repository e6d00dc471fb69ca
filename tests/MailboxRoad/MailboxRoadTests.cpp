// The whole mailbox road between the computer's process and the phone's: pairing, a job away from
// home, replays, the store's faults, and the computer killed at the calls where a request could run
// twice or be lost.
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/MailboxRoad/MailboxRoadFixture.h"
#include "tests/support/ScriptedModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

using namespace vellumar;
using namespace vellumar::test;

namespace {

std::optional<std::int64_t> statusOf(const JSON& answer)
{
    const auto* status = answer.subscript("status");
    return status ? status->intValue() : std::nullopt;
}

}

TEST_F(MailboxRoad, PairingEnablesTheMailboxWithAZoneItsSubscriptionsAndAPresenceInTheComputersName)
{
    if (!startAndPair())
        return;
    EXPECT_TRUE(zone.starts_with("pair-")) << zone;

    // In sorted order.
    const std::vector<std::string> wanted { "vl.dev." + zone + ".approval", "vl.dev." + zone + ".reply",
        "vl.dev." + zone + ".routine", "vl.dev." + zone + ".silent", "vl.mac." + zone };
    std::vector<std::string> identifiers;
    EXPECT_TRUE(becomes([&] {
        identifiers.clear();
        for (const auto& subscription : subscriptions())
            identifiers.push_back(subscription.subscriptionID);
        std::sort(identifiers.begin(), identifiers.end());
        return identifiers == wanted;
    })) << testing::PrintToString(identifiers);
    EXPECT_TRUE(becomes([&] { return store()->fetchChanges(zone, std::nullopt).presence.has_value(); }));

    JSON presence;
    EXPECT_TRUE(becomes([&] {
        presence = phone->call({ { "op", "presence" } });
        const auto* opened = presence.subscript("presence");
        return opened && memberText(*opened, "macName") == "Road Mac";
    })) << presence.encoded();
    endAndCheckLeftovers();
}

TEST_F(MailboxRoad, AJobAwayFromHomeEndsDoneWithTheReplyAndLeavesTheZoneEmpty)
{
    // The job runs on while the phone waits for it, so that its end reaches the phone as news.
    holdClaude();
    // Shorter than the computer's idle poll: only a push explains an answer in time.
    if (!startAndPair(10))
        return;
    auto jobID = submitJob();
    ASSERT_TRUE(jobID.starts_with("j-")) << jobID;
    auto watching = phone->eventCount();
    auto status = followReleasedWhenWatched(jobID, watching);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(memberText(status, "status"), "done") << status.encoded();
    EXPECT_EQ(replyOf(status), kReplyText);
    EXPECT_EQ(claudeStarts(), 1);
    expectReplyPushed(watching);
    EXPECT_TRUE(becomes([&] { return zoneEnvelopes().empty(); }));
    endAndCheckLeftovers();
}

TEST_F(MailboxRoad, TheRealClaudeCodeAnswersThroughTheMailbox)
{
    ScriptedModel model(
        root / "model", JSON::array({ JSON::object({ { "text", "Hello through iCloud." } }) }).encoded());
    JSON::Object environment;
    for (const auto& [name, value] : model.claudeEnvironment(home)) {
        if (name != "PATH" && name != "HOME")
            environment.emplace(name, value);
    }
    playClaude(JSON::array({ JSON::object({ { "real",
        JSON::object({ { "executable", realClaudeExecutable().string() },
            { "environment", JSON(std::move(environment)) } }) } }) }));
    if (!startAndPair())
        return;
    auto status = awaitJob(submitJob());
    EXPECT_EQ(memberText(status, "status"), "done") << status.encoded() << model.requestLog();
    EXPECT_EQ(replyOf(status), "Hello through iCloud.");
    endAndCheckLeftovers();
}

TEST_F(MailboxRoad, AHandledRequestPutBackIsDroppedAsReplayedAndItsPayloadUnderANewNameFailsToOpen)
{
    if (!startAndPair())
        return;
    std::size_t first = phone->eventCount();
    auto jobID = submitJob();
    ASSERT_EQ(memberText(awaitJob(jobID), "status"), "done");
    auto request = phone->awaitEvent(
        "committed", [](const JSON& event) { return memberText(event, "to") == "mac"; }, 0, first);
    ASSERT_TRUE(request);

    putBack(*request, memberText(*request, "record"));
    EXPECT_TRUE(mac->awaitEvent("log",
        [](const JSON& event) { return memberText(event, "line") == "mailbox envelope dropped: replayed"; }));
    putBack(*request, movrane::MailboxRecordName::envelope());
    EXPECT_TRUE(mac->awaitEvent("log", [](const JSON& event) {
        return memberText(event, "line") == "mailbox envelope dropped: authenticationFailed";
    }));
    EXPECT_EQ(claudeStarts(), 1);
    EXPECT_TRUE(becomes([&] { return zoneEnvelopes().empty(); }));
    endAndCheckLeftovers();
}

TEST_F(MailboxRoad, PairingThroughTheMailboxIsRefusedAsLANOnly)
{
    if (!startAndPair())
        return;
    for (const auto* path : { "/v1/pair", "/v1/mailbox/register" }) {
        auto answer = phoneSend("POST", path, R"({"code":"x","deviceName":"Stranger"})");
        EXPECT_EQ(statusOf(answer), 403) << path;
        EXPECT_EQ(memberText(JSON::decode(memberText(answer, "body")).value_or(JSON()), "error"), "lan_only")
            << path;
    }
    endAndCheckLeftovers();
}
