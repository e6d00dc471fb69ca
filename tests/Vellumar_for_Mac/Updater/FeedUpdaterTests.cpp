#include "Vellumar_for_Mac/Updater/FeedUpdaterController.h"
#include "Vellumar_for_Mac/Updater/Updater.h"

#include "tests/Vellumar_for_Mac/QtTestSupport.h"
#include "tests/support/UpdateFeedServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vellumar {
namespace {

    using namespace std::chrono_literals;

    class FeedUpdaterTest : public ::testing::Test {
    protected:
        // An Updater over the feed controller at version 3.0; a scheduled check comes after
        // `firstCheck`, none in the test's time with the default.
        std::unique_ptr<Updater> makeUpdater(std::chrono::milliseconds firstCheck = 1h)
        {
            nlohmann::json key = signingKey.publicKeyBase64();
            return std::make_unique<Updater>(&key,
                FeedUpdaterController::factory({ .feedURL = server.feedURL(),
                    .appVersion = "3.0",
                    .downloadFolder = folder / "updates",
                    .firstCheckDelay = firstCheck,
                    .alerts = alerts,
                    .texts = Texts({}),
                    .openFolder
                    = [this](const std::filesystem::path& opened) { openedFolders.push_back(opened); } }));
        }

        // Starts a user check, which may not start again until it ends.
        void checkAsTheUser(Updater& updater)
        {
            ASSERT_TRUE(updater.canCheckForUpdates());
            updater.checkForUpdates();
            EXPECT_FALSE(updater.canCheckForUpdates());
            ASSERT_TRUE(test::processEventsUntil([&] { return !alerts->shown.empty(); }));
            EXPECT_TRUE(updater.canCheckForUpdates());
        }

        int argc = 1;
        char name[24] = "app_updater_tests";
        char* argv[2] = { name, nullptr };
        QCoreApplication application { argc, argv };
        test::TemporaryFolder folder;
        test::UpdateSigningKey signingKey;
        test::UpdateFeedServer server;
        std::shared_ptr<test::RecordingAlerts> alerts = std::make_shared<test::RecordingAlerts>();
        std::vector<std::filesystem::path> openedFolders;
    };

    TEST_F(FeedUpdaterTest, ANewerSignedVersionIsOfferedAndShowsItsFolder)
    {
        server.publish("3.0.1", "vellumar_3.0.1_amd64.deb", "package bytes", signingKey);
        auto updater = makeUpdater();
        checkAsTheUser(*updater);
        ASSERT_EQ(alerts->shown.size(), 1u);
        EXPECT_EQ(alerts->shown[0].message, "mac.update.available.title");
        EXPECT_EQ(alerts->shown[0].buttons, QStringList({ "mac.update.showPackage", "mac.update.later" }));
        EXPECT_EQ(alerts->shown[0].safeButton, 1);
        EXPECT_EQ(openedFolders, std::vector<std::filesystem::path> { folder / "updates" });
        EXPECT_EQ(test::readFile(folder / "updates" / "vellumar_3.0.1_amd64.deb"), "package bytes");
        EXPECT_FALSE(updater->updateWaiting());
    }

    TEST_F(FeedUpdaterTest, LaterOpensNothing)
    {
        server.publish("4", "p.deb", "package bytes", signingKey);
        alerts->answer = 1;
        auto updater = makeUpdater();
        checkAsTheUser(*updater);
        EXPECT_TRUE(openedFolders.empty());
    }

    TEST_F(FeedUpdaterTest, AScheduledCheckShowsNothingAndLeavesAReminder)
    {
        server.publish("3.1", "p.deb", "package bytes", signingKey);
        auto updater = makeUpdater(0ms);
        ASSERT_TRUE(test::processEventsUntil([&] { return updater->updateWaiting(); }));
        EXPECT_TRUE(alerts->shown.empty());
        EXPECT_TRUE(test::processEventsUntil([&] { return updater->canCheckForUpdates(); }));

        checkAsTheUser(*updater);
        EXPECT_EQ(alerts->shown[0].message, "mac.update.available.title");
        EXPECT_TRUE(test::processEventsUntil([&] { return !updater->updateWaiting(); }));
    }

    TEST_F(FeedUpdaterTest, AFlippedByteOrAnotherKeyIsRefusedAndReported)
    {
        struct Case {
            const char* name;
            std::string served;
            bool otherKey;
        } cases[] = {
            { "flipped byte", "package byteS", false },
            { "another key", "package bytes", true },
        };
        for (const auto& entry : cases) {
            SCOPED_TRACE(entry.name);
            alerts->shown.clear();
            test::UpdateSigningKey other;
            server.publish("5.0", "p.deb", "package bytes", entry.otherKey ? other : signingKey);
            server.put("p.deb", entry.served);
            auto updater = makeUpdater();
            checkAsTheUser(*updater);
            ASSERT_EQ(alerts->shown.size(), 1u);
            EXPECT_EQ(alerts->shown[0].style, Alert::Style::critical);
            EXPECT_EQ(alerts->shown[0].message, "mac.update.failed.title");
            EXPECT_FALSE(alerts->shown[0].informative.isEmpty());
            EXPECT_TRUE(openedFolders.empty());
            EXPECT_FALSE(std::filesystem::exists(folder / "updates" / "p.deb"));
        }
    }

    TEST_F(FeedUpdaterTest, AScheduledCheckOfABadPackageSetsNoReminderAndShowsNothing)
    {
        server.publish("5.0", "p.deb", "package bytes", signingKey);
        server.put("p.deb", "package byteS");
        auto updater = makeUpdater(0ms);
        ASSERT_TRUE(test::processEventsUntil([&] { return !updater->canCheckForUpdates(); }));
        ASSERT_TRUE(test::processEventsUntil([&] { return updater->canCheckForUpdates(); }));
        EXPECT_FALSE(updater->updateWaiting());
        EXPECT_TRUE(alerts->shown.empty());
    }

    TEST_F(FeedUpdaterTest, TheSameOrAnOlderVersionOffersNothing)
    {
        for (const char* version : { "3.0", "3.0.0", "2.9.9" }) {
            SCOPED_TRACE(version);
            alerts->shown.clear();
            server.publish(version, "p.deb", "package bytes", signingKey);
            auto updater = makeUpdater();
            checkAsTheUser(*updater);
            EXPECT_EQ(alerts->shown[0].message, "mac.update.upToDate.title");
            EXPECT_EQ(alerts->shown[0].informative, "mac.update.upToDate.message");
            EXPECT_FALSE(std::filesystem::exists(folder / "updates" / "p.deb"));
        }
    }

}
}
