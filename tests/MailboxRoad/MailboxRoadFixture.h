// The two-process road as a test fixture: the world's steps, asserted.
#pragma once

#include "tests/MailboxRoad/support/RoadWorld.h"

#include <gtest/gtest.h>

#include <future>

namespace vellumar::test {

class MailboxRoad : public ::testing::Test, protected RoadWorld {
protected:
    void startMac() { ASSERT_TRUE(launchMac()) << "the computer's driver did not start"; }

    void pairOverLAN()
    {
        auto failure = pairPhone();
        ASSERT_FALSE(failure) << *failure;
    }

    // Starts both ends and pairs them, the phone waiting at least `minimumTimeout` seconds for each
    // answer; false when that failed.
    bool startAndPair(double minimumTimeout = 60)
    {
        startMac();
        if (HasFatalFailure())
            return false;
        startPhone(minimumTimeout);
        pairOverLAN();
        return !HasFatalFailure();
    }

    // Submits a job through the mailbox and answers its id.
    std::string submitJob(const std::string& message = "Say hello.")
    {
        auto submitted = phoneSend("POST", "/v1/jobs", jobBody(message));
        EXPECT_EQ(memberText(submitted, "status"), "202") << submitted.encoded();
        return memberText(JSON::decode(memberText(submitted, "body")).value_or(JSON()), "jobId");
    }

    // The job's status object once it is done (or its last one), long-polling through the mailbox.
    JSON awaitJob(const std::string& jobID)
    {
        JSON status;
        std::string since = "0";
        for (int poll = 0; poll < 10 && memberText(status, "status") != "done"; ++poll) {
            auto answer
                = phoneSend("GET", "/v1/jobs/" + jobID + "?since=" + since + "&wait=40", std::nullopt, 60);
            if (memberText(answer, "status") != "200") {
                ADD_FAILURE() << answer.encoded();
                return status;
            }
            status = JSON::decode(memberText(answer, "body")).value_or(JSON());
            since = memberText(status, "version");
        }
        return status;
    }

    // Lets a held job end once the computer's answer to the phone's watch (from event `watching` on)
    // is in, or the job could end first: so its end reaches the phone as news.
    void releaseWhenWatched(std::size_t watching)
    {
        ASSERT_TRUE(awaitHeldClaude());
        ASSERT_TRUE(phone->awaitEvent(
            "fetched", [](const JSON& event) { return memberText(event, "to") != "mac"; }, 60, watching));
        releaseClaude();
    }

    // The status a held job ends with, followed by the phone's long poll and released once the phone
    // watches it (from event `watching` on).
    JSON followReleasedWhenWatched(const std::string& jobID, std::size_t watching)
    {
        auto done = std::async(std::launch::async, [&] { return awaitJob(jobID); });
        releaseWhenWatched(watching);
        return done.get();
    }

    // The job's end came in an envelope that alerts as a reply, and its push woke the phone.
    void expectReplyPushed(std::size_t watching)
    {
        auto reply = phone->awaitEvent(
            "fetched", [](const JSON& event) { return memberText(event, "notify") == "reply"; }, 0, watching);
        ASSERT_TRUE(reply);
        EXPECT_TRUE(phone->awaitEvent(
            "push",
            [&](const JSON& event) { return memberText(event, "record") == memberText(*reply, "record"); }, 0,
            watching));
    }

    static std::string replyOf(const JSON& status)
    {
        const auto* result = status.subscript("result");
        return result ? memberText(*result, "reply") : "";
    }

    // Ends both processes in order, each by the end of its input, and checks that they exited cleanly
    // (a sanitizer's report fails them) and what they leave behind.
    void endAndCheckLeftovers()
    {
        EXPECT_EQ(phone->finish(), 0);
        EXPECT_EQ(mac->finish(), 0);
        EXPECT_EQ(leftoversAndOpenFiles(), std::vector<std::string> {});
    }
};

}
