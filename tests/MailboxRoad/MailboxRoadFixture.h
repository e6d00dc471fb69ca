// The two-process road as a test fixture: the world's steps, asserted.
#pragma once

#include "tests/MailboxRoad/support/RoadWorld.h"

#include <gtest/gtest.h>

namespace vellumar::test {

class MailboxRoad : public ::testing::Test, protected RoadWorld {
protected:
    void startMac() { ASSERT_TRUE(launchMac()) << "the computer's driver did not start"; }

    // Skips the test while the computer does not answer mailbox registrations.
    void pairOverLAN()
    {
        auto paired = pairPhone();
        if (paired.outcome == RoadPairing::Outcome::registrationUnanswered)
            GTEST_SKIP() << "the computer does not answer mailbox registrations yet: " << paired.detail;
        ASSERT_EQ(paired.outcome, RoadPairing::Outcome::paired) << paired.detail;
    }

    // Starts both ends and pairs them, the phone waiting at least `minimumTimeout` seconds for each
    // answer; false when the test cannot go on, skipped or failed.
    bool startAndPair(double minimumTimeout = 60)
    {
        startMac();
        if (HasFatalFailure())
            return false;
        startPhone(minimumTimeout);
        pairOverLAN();
        return !IsSkipped() && !HasFatalFailure();
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
