// The whole mailbox road between the computer's process and the phone's: pairing, a job away from
// home, replays, the store's faults, and the computer killed at the calls where a request could run
// twice or be lost.
#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/MailboxRoad/MailboxRoadFixture.h"
#include "tests/support/ScriptedModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

using namespace vellumar;
using namespace vellumar::test;

namespace {

std::optional<std::int64_t> statusOf(const JSON& answer)
{
    const auto* status = answer.subscript("status");
    return status ? status->intValue() : std::nullopt;
}

// Whether `holds` came true within `seconds`; asked again after each short pause, since the store's
// state has no signal of its own in this process.
bool becomes(const std::function<bool()>& holds, double seconds = 30)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!holds()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class MailboxRoadJobs : public MailboxRoad {
protected:
    // The job's status object once it is done (or its last one), long-polling through the mailbox.
    JSON awaitJob(const std::string& jobID)
    {
        JSON status;
        std::string since = "0";
        for (int poll = 0; poll < 10 && memberText(status, "status") != "done"; ++poll) {
            auto answer
                = phoneSend("GET", "/v1/jobs/" + jobID + "?since=" + since + "&wait=40", std::nullopt, 60);
            if (statusOf(answer) != 200) {
                ADD_FAILURE() << answer.encoded();
                return status;
            }
            status = JSON::decode(memberText(answer, "body")).value_or(JSON());
            since = memberText(status, "version");
        }
        return status;
    }

    static std::string replyOf(const JSON& status)
    {
        const auto* result = status.subscript("result");
        return result ? memberText(*result, "reply") : "";
    }

    // Ends both processes in order and checks what they leave behind.
    void endAndCheckLeftovers()
    {
        phone.reset();
        EXPECT_EQ(mac->finish(), 0);
        expectNoLeftoversAndPrivateFiles();
    }
};

}

TEST_F(MailboxRoadJobs, PairingEnablesTheMailboxWithAZoneItsSubscriptionsAndAPresenceInTheComputersName)
{
    startMac();
    startPhone();
    ASSERT_NO_FATAL_FAILURE(pairOverLAN());
    if (IsSkipped())
        return;
    EXPECT_TRUE(zone.starts_with("pair-")) << zone;

    const std::vector<std::string> wanted { "vl.mac." + zone, "vl.dev." + zone + ".approval",
        "vl.dev." + zone + ".reply", "vl.dev." + zone + ".routine", "vl.dev." + zone + ".silent" };
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

TEST_F(MailboxRoadJobs, AJobAwayFromHomeEndsDoneWithTheReplyAndLeavesTheZoneEmpty)
{
    startMac();
    // Shorter than the computer's idle poll: only a push explains an answer in time.
    startPhone(10);
    ASSERT_NO_FATAL_FAILURE(pairOverLAN());
    if (IsSkipped())
        return;
    auto firstEvent = phone->eventCount();
    auto jobID = submitJob();
    ASSERT_TRUE(jobID.starts_with("j-")) << jobID;
    auto status = awaitJob(jobID);
    EXPECT_EQ(memberText(status, "status"), "done") << status.encoded();
    EXPECT_EQ(replyOf(status), kReplyText);
    EXPECT_EQ(claudeStarts(), 1);

    // The job's state reached the phone in envelopes that alert as a reply.
    auto fetched = phone->events();
    auto replies = std::count_if(
        fetched.begin() + static_cast<std::ptrdiff_t>(firstEvent), fetched.end(), [](const JSON& event) {
            return memberText(event, "event") == "fetched" && memberText(event, "notify") == "reply";
        });
    EXPECT_GE(replies, 1);
    EXPECT_TRUE(becomes([&] { return zoneEnvelopes().empty(); }));
    endAndCheckLeftovers();
}

TEST_F(MailboxRoadJobs, TheRealClaudeCodeAnswersThroughTheMailbox)
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
    startMac();
    startPhone();
    ASSERT_NO_FATAL_FAILURE(pairOverLAN());
    if (IsSkipped())
        return;
    auto status = awaitJob(submitJob());
    EXPECT_EQ(memberText(status, "status"), "done") << status.encoded() << model.requestLog();
    EXPECT_EQ(replyOf(status), "Hello through iCloud.");
    endAndCheckLeftovers();
}

TEST_F(MailboxRoadJobs, AHandledRequestPutBackIsDroppedAsReplayedAndItsPayloadUnderANewNameFailsToOpen)
{
    startMac();
    startPhone();
    ASSERT_NO_FATAL_FAILURE(pairOverLAN());
    if (IsSkipped())
        return;
    std::size_t first = phone->eventCount();
    auto jobID = submitJob();
    ASSERT_EQ(memberText(awaitJob(jobID), "status"), "done");
    auto request = phone->awaitEvent(
        "committed", [](const JSON& event) { return memberText(event, "to") == "mac"; }, 0, first);
    ASSERT_TRUE(request);
    auto payload = movrane::MailboxBase64URL::decode(memberText(*request, "payload"));
    ASSERT_TRUE(payload);
    auto putBack = [&](const std::string& name) {
        store()->saveEnvelope(movrane::MailboxEnvelopeRecord(name, "mac", movrane::MailboxNotify::none,
                                  std::chrono::system_clock::now(),
                                  static_cast<std::int64_t>(payload->size()), payload, std::nullopt),
            zone);
    };

    putBack(memberText(*request, "record"));
    EXPECT_TRUE(mac->awaitEvent("log",
        [](const JSON& event) { return memberText(event, "line") == "mailbox envelope dropped: replayed"; }));
    putBack(movrane::MailboxRecordName::envelope());
    EXPECT_TRUE(mac->awaitEvent("log", [](const JSON& event) {
        return memberText(event, "line") == "mailbox envelope dropped: authenticationFailed";
    }));
    EXPECT_EQ(claudeStarts(), 1);
    EXPECT_TRUE(becomes([&] { return zoneEnvelopes().empty(); }));
    endAndCheckLeftovers();
}

TEST_F(MailboxRoadJobs, PairingThroughTheMailboxIsRefusedAsLANOnly)
{
    startMac();
    startPhone();
    ASSERT_NO_FATAL_FAILURE(pairOverLAN());
    if (IsSkipped())
        return;
    for (const auto* path : { "/v1/pair", "/v1/mailbox/register" }) {
        auto answer = phoneSend("POST", path, R"({"code":"x","deviceName":"Stranger"})");
        EXPECT_EQ(statusOf(answer), 403) << path;
        EXPECT_EQ(memberText(JSON::decode(memberText(answer, "body")).value_or(JSON()), "error"), "lan_only")
            << path;
    }
    endAndCheckLeftovers();
}
