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

    // Submits a job through the mailbox and answers its id.
    std::string submitJob(const std::string& message = "Say hello.")
    {
        auto submitted = phoneSend("POST", "/v1/jobs",
            JSON::object({ { "conversationId", "ios-road" }, { "botId", "main" }, { "message", message } })
                .encoded());
        EXPECT_EQ(memberText(submitted, "status"), "202") << submitted.encoded();
        return memberText(JSON::decode(memberText(submitted, "body")).value_or(JSON()), "jobId");
    }

    void expectNoLeftoversAndPrivateFiles() const
    {
        EXPECT_EQ(leftoversAndOpenFiles(), std::vector<std::string> {});
    }
};

}
