#include "Vellumar_for_Mac/Updater/Updater.h"

#include "Platform/Crypto.h"
#include "tests/Vellumar_for_Mac/QtTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

namespace vellumar {
namespace {

    // Stands in for the update framework: the test decides when checks may start and calls the
    // delegate the way the framework would.
    class FakeFrameworkController final : public UpdaterController {
    public:
        bool canCheckForUpdates() const override { return canCheck; }
        void checkForUpdates() override { ++userChecks; }
        void setCanCheck(bool value)
        {
            canCheck = value;
            emit canCheckForUpdatesChanged(value);
        }

        bool canCheck = true;
        int userChecks = 0;
    };

    class UpdaterTest : public ::testing::Test {
    protected:
        std::unique_ptr<Updater> makeUpdater(const nlohmann::json* key)
        {
            return std::make_unique<Updater>(
                key,
                [this](const platform::UpdatePublicKey& given, UserDriverDelegate& driver) {
                    ++made;
                    givenKey = given;
                    delegate = &driver;
                    auto controller = std::make_unique<FakeFrameworkController>();
                    fake = controller.get();
                    return controller;
                },
                [this] { events.push_back(fake && fake->userChecks ? "activate after check" : "activate"); });
        }

        std::unique_ptr<Updater> startedUpdater()
        {
            auto updater = makeUpdater(&validKey);
            EXPECT_NE(fake, nullptr);
            return updater;
        }

        void scheduledUpdateFound()
        {
            delegate->standardUserDriverWillHandleShowingUpdate(false, update, { .userInitiated = false });
        }

        int argc = 1;
        char name[24] = "app_updater_tests";
        char* argv[2] = { name, nullptr };
        QCoreApplication application { argc, argv };
        nlohmann::json validKey = platform::base64Encode(std::vector<std::uint8_t>(32, 9));
        platform::UpdateItem update {
            .version = "9.0", .url = "https://example.invalid/9.deb", .sizeBytes = 1
        };
        int made = 0;
        platform::UpdatePublicKey givenKey {};
        UserDriverDelegate* delegate = nullptr;
        FakeFrameworkController* fake = nullptr;
        std::vector<std::string> events;
    };

    TEST_F(UpdaterTest, TheKeyGateDecidesWhetherTheFrameworkStarts)
    {
        struct Case {
            const char* name;
            std::optional<nlohmann::json> key;
            bool started;
        } cases[] = {
            { "absent", std::nullopt, false },
            { "not a string", nlohmann::json(42), false },
            { "with whitespace", nlohmann::json(" " + validKey.get<std::string>()), false },
            { "not Base64", nlohmann::json("%%%%"), false },
            { "31 bytes", nlohmann::json(platform::base64Encode(std::vector<std::uint8_t>(31, 9))), false },
            { "33 bytes", nlohmann::json(platform::base64Encode(std::vector<std::uint8_t>(33, 9))), false },
            { "32 bytes", validKey, true },
        };
        for (const auto& entry : cases) {
            SCOPED_TRACE(entry.name);
            made = 0;
            auto updater = makeUpdater(entry.key ? &*entry.key : nullptr);
            EXPECT_EQ(made, entry.started ? 1 : 0);
            EXPECT_EQ(updater->controller() != nullptr, entry.started);
            EXPECT_EQ(updater->canCheckForUpdates(), entry.started);
        }
        platform::UpdatePublicKey nines;
        nines.fill(9);
        EXPECT_EQ(givenKey, nines);
    }

    TEST_F(UpdaterTest, WithoutAControllerACheckOnlyClearsTheReminder)
    {
        auto updater = makeUpdater(nullptr);
        updater->standardUserDriverWillHandleShowingUpdate(true, update, { .userInitiated = false });
        ASSERT_TRUE(test::processEventsUntil([&] { return updater->updateWaiting(); }));
        updater->checkForUpdates();
        EXPECT_FALSE(updater->updateWaiting());
        EXPECT_FALSE(updater->canCheckForUpdates());
        EXPECT_EQ(events, std::vector<std::string> { "activate" });
    }

    TEST_F(UpdaterTest, CanCheckFollowsTheFramework)
    {
        auto updater = startedUpdater();
        int changes = 0;
        QObject::connect(updater.get(), &Updater::canCheckForUpdatesChanged, [&] { ++changes; });
        fake->setCanCheck(false);
        EXPECT_FALSE(updater->canCheckForUpdates());
        fake->setCanCheck(true);
        EXPECT_TRUE(updater->canCheckForUpdates());
        EXPECT_EQ(changes, 2);
    }

    TEST_F(UpdaterTest, AScheduledUpdateWaitsUntilTheUserAttends)
    {
        auto updater = startedUpdater();
        scheduledUpdateFound();
        ASSERT_TRUE(test::processEventsUntil([&] { return updater->updateWaiting(); }));
        delegate->standardUserDriverDidReceiveUserAttentionForUpdate(update);
        EXPECT_TRUE(test::processEventsUntil([&] { return !updater->updateWaiting(); }));

        scheduledUpdateFound();
        ASSERT_TRUE(test::processEventsUntil([&] { return updater->updateWaiting(); }));
        delegate->standardUserDriverWillFinishUpdateSession();
        EXPECT_TRUE(test::processEventsUntil([&] { return !updater->updateWaiting(); }));
    }

    TEST_F(UpdaterTest, AUserCheckNeverSetsTheReminderAndClearsIt)
    {
        auto updater = startedUpdater();
        scheduledUpdateFound();
        ASSERT_TRUE(test::processEventsUntil([&] { return updater->updateWaiting(); }));
        updater->checkForUpdates();
        EXPECT_FALSE(updater->updateWaiting());
        EXPECT_EQ(fake->userChecks, 1);
        EXPECT_EQ(events, std::vector<std::string> { "activate" });

        delegate->standardUserDriverWillHandleShowingUpdate(false, update, { .userInitiated = true });
        bool marker = false;
        QMetaObject::invokeMethod(
            &application, [&] { marker = true; }, Qt::QueuedConnection);
        ASSERT_TRUE(test::processEventsUntil([&] { return marker; }));
        EXPECT_FALSE(updater->updateWaiting());
    }

    TEST_F(UpdaterTest, FrameworkCallsFromAnotherThreadChangeTheFlagOnTheMainThread)
    {
        auto updater = startedUpdater();
        std::thread::id changedOn;
        QObject::connect(
            updater.get(), &Updater::updateWaitingChanged, [&] { changedOn = std::this_thread::get_id(); });
        std::thread framework([&] { scheduledUpdateFound(); });
        framework.join();
        ASSERT_TRUE(test::processEventsUntil([&] { return updater->updateWaiting(); }));
        EXPECT_EQ(changedOn, std::this_thread::get_id());
    }

    TEST_F(UpdaterTest, GentleRemindersAreSupportedWhateverTheState)
    {
        auto updater = startedUpdater();
        EXPECT_TRUE(updater->supportsGentleScheduledUpdateReminders());
        scheduledUpdateFound();
        ASSERT_TRUE(test::processEventsUntil([&] { return updater->updateWaiting(); }));
        EXPECT_TRUE(updater->supportsGentleScheduledUpdateReminders());
        EXPECT_TRUE(makeUpdater(nullptr)->supportsGentleScheduledUpdateReminders());
    }

}
}
