#include "Vellumar_for_Mac/Model/AppDelegate.h"
#include "Vellumar_for_Mac/Model/PushRelay.h"

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QGuiApplication>

using namespace vellumar;
using namespace vellumar::test;

namespace {

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override { PushRelay::shared() = PushRelay(); }
    void TearDown() override { PushRelay::shared() = PushRelay(); }

    platform::Entitlements entitlements(const std::string& json)
    {
        writeBytes(m_folder / "vellumar.entitlements.json", json);
        return platform::Entitlements(m_folder / "vellumar.entitlements.json");
    }

    static std::string push(const std::string& subscription)
    {
        return R"({"aps":{"content-available":1},"ck":{"qry":{"sid":")" + subscription + R"("}}})";
    }

    TemporaryFolder m_folder;
    AppDelegate m_delegate;
};

constexpr auto kPush = R"("com.apple.developer.aps-environment": "production")";
constexpr auto kICloud = R"("com.apple.developer.icloud-services": ["CloudKit"],
    "com.apple.developer.icloud-container-identifiers": ["iCloud.com.zu.plimsor"])";

}

TEST_F(AppDelegateTest, RegistersForPushesOnlyWithBothEntitlements)
{
    const struct {
        const char* name;
        std::string json;
        bool registers;
    } cases[] = {
        { "none", "{}", false },
        { "push only", std::string("{") + kPush + "}", false },
        { "iCloud only", std::string("{") + kICloud + "}", false },
        { "both", std::string("{") + kPush + "," + kICloud + "}", true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        PushRelay::shared() = PushRelay();
        QGuiApplication::setQuitOnLastWindowClosed(true);
        int registrations = 0;
        m_delegate.applicationDidFinishLaunching(entitlements(testCase.json), [&] {
            ++registrations;
            return true;
        });
        EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed());
        EXPECT_EQ(registrations, testCase.registers ? 1 : 0);
        EXPECT_EQ(PushRelay::shared().registered, testCase.registers ? std::optional(true) : std::nullopt);
    }
}

TEST_F(AppDelegateTest, AFailedRegistrationIsRecordedAsFalse)
{
    m_delegate.applicationDidFinishLaunching(
        entitlements(std::string("{") + kPush + "," + kICloud + "}"), [] { return false; });
    EXPECT_EQ(PushRelay::shared().registered, false);
}

TEST_F(AppDelegateTest, AnAnswerBeforeTheModelIsOnlyRecorded)
{
    m_delegate.didRegisterForRemoteNotifications();
    EXPECT_EQ(PushRelay::shared().registered, true);

    std::vector<bool> answers;
    PushRelay::shared().onRegistration = [&](bool registered) { answers.push_back(registered); };
    m_delegate.didFailToRegisterForRemoteNotifications();
    EXPECT_EQ(PushRelay::shared().registered, false);
    EXPECT_EQ(answers, std::vector<bool>({ false }));
}

TEST_F(AppDelegateTest, OnlyTheMacsMailboxPushesReachTheModelOnceItListens)
{
    const std::string zone = movrane::MailboxZoneName::make();
    // Before the model installed its handler: dropped, not kept for later.
    m_delegate.didReceiveRemoteNotification(push("vl.mac." + zone));

    int pushes = 0;
    PushRelay::shared().onPush = [&] { ++pushes; };
    m_delegate.didReceiveRemoteNotification(push("vl.dev." + zone + ".reply"));
    m_delegate.didReceiveRemoteNotification(R"({"aps":{"alert":"hello"}})");
    EXPECT_EQ(pushes, 0);
    m_delegate.didReceiveRemoteNotification(push("vl.mac." + zone));
    EXPECT_EQ(pushes, 1);
}
