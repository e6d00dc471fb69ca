#include "AppModelFixture.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/ProcessFixtures.h"

#include "Platform/Keychain.h"
#include "Platform/Paths.h"
#include "VellumarMacCore/Relay/KeychainDeviceStorage.h"

using namespace vellumar;
using namespace vellumar::test;

namespace {

constexpr auto kMailboxEntitlements
    = R"({"com.apple.developer.icloud-services":["CloudKit"],"com.apple.developer.icloud-container-identifiers":["iCloud.com.zu.plimsor"]})";

// The configuration's plain fields, for comparing two launches.
auto plainFields(const RelayHost::Configuration& configuration)
{
    const auto& limits = configuration.listenerLimits;
    return std::tuple(configuration.supportDirectory, configuration.preferredPort,
        configuration.allowPortFallback, configuration.advertise, configuration.macID,
        configuration.macName(), configuration.openssl, limits.maxConnections, limits.maxUntrustedPerHost,
        limits.requestTimeout.count(), limits.idleTimeout.count(), configuration.labels.queued,
        configuration.labels.attaching);
}

}

TEST_F(AppModelTest, TheHostGetsItsFullConfiguration)
{
    auto model = launch();
    const auto& configuration = model->host().configuration();
    EXPECT_EQ(configuration.supportDirectory, m_folder / "data/Vellumar");
    EXPECT_EQ(configuration.preferredPort, 48788);
    EXPECT_TRUE(configuration.allowPortFallback);
    EXPECT_TRUE(configuration.advertise);
    EXPECT_EQ(configuration.openssl, "/usr/bin/openssl");
    EXPECT_EQ(configuration.listenerLimits.maxConnections, 32);
    EXPECT_EQ(configuration.listenerLimits.maxUntrustedPerHost, 6);
    EXPECT_EQ(configuration.listenerLimits.requestTimeout.count(), 20.0);
    EXPECT_EQ(configuration.listenerLimits.idleTimeout.count(), 90.0);
    EXPECT_EQ(configuration.labels.queued, "mac.activity.queued");
    ASSERT_TRUE(configuration.timeZone);
    EXPECT_NE(configuration.timeZone(), nullptr);
    EXPECT_EQ(configuration.mailbox.has_value(), false);

    // The device list goes to the keychain item of the application.
    ASSERT_NE(dynamic_cast<KeychainDeviceStorage*>(configuration.deviceStorage.get()), nullptr);
    configuration.deviceStorage->save({});
    auto item = platform::Keychain(m_folder / "data/Vellumar/keychain")
                    .copy("com.zu.plimsor.mac", "paired-devices");
    EXPECT_EQ(item.status, platform::KeychainStatus::success);
}

TEST_F(AppModelTest, TheWorkFolderQuotaIsOneGibibytePerConversation)
{
    auto model = launch();
    EXPECT_EQ(model->host().data().workspaces.quota(), 1'073'741'824);
}

TEST_F(AppModelTest, EntitlementsForTheMailboxGiveItsSetUpAndChangeNothingElse)
{
    auto without = launch();
    writeBytes(m_folder / "app/vellumar.entitlements.json", kMailboxEntitlements);
    auto with = launch();
    EXPECT_FALSE(without->host().configuration().mailbox.has_value());
    const auto& mailbox = with->host().configuration().mailbox;
    ASSERT_TRUE(mailbox.has_value());
    EXPECT_EQ(plainFields(with->host().configuration()), plainFields(without->host().configuration()));

    auto* storage = dynamic_cast<movrane::FileMailboxStateStorage*>(mailbox->storage.get());
    ASSERT_NE(storage, nullptr);
    EXPECT_EQ(storage->directory(), m_folder / "data/Vellumar/mailbox");
    EXPECT_EQ(mailbox->server.temporaryDirectory, with->host().data().folder / "incoming");
    EXPECT_EQ(mailbox->appVersion, "3.0");
    EXPECT_FALSE(std::filesystem::exists(m_folder / "data"));
}

TEST_F(AppModelTest, WithoutABundleVersionTheMailboxHasNone)
{
    writeBytes(m_folder / "app/vellumar.entitlements.json", kMailboxEntitlements);
    auto launchValues = launchIn(m_folder);
    launchValues.appVersion = std::nullopt;
    AppModel model(launchValues);
    ASSERT_TRUE(model.host().configuration().mailbox.has_value());
    EXPECT_EQ(model.host().configuration().mailbox->appVersion, std::nullopt);
}

TEST_F(AppModelTest, TheMacNameFollowsARenameAtItsNextCall)
{
    writeBytes(m_folder / "machine-info", "PRETTY_HOSTNAME=\"Studio\"\n");
    writeBytes(m_folder / "app/vellumar.entitlements.json", kMailboxEntitlements);
    auto model = launch();
    EXPECT_EQ(model->computerName(), "Studio");
    const auto& configuration = model->host().configuration();
    EXPECT_EQ(configuration.macName(), "Studio");

    writeBytes(m_folder / "machine-info", "PRETTY_HOSTNAME=\"Attic Mac\"\n");
    EXPECT_EQ(configuration.macName(), "Attic Mac");
    EXPECT_EQ(configuration.mailbox->macName(), "Attic Mac");
}

TEST_F(AppModelTest, TheTerminalShellIsReadAnewOnEachCall)
{
    auto model = launch();
    const auto& terminalShell = model->host().configuration().terminalShell;
    {
        ScopedEnvironmentVariable tmpdir("TMPDIR", "/first");
        EXPECT_EQ(terminalShell().environment.at("TMPDIR"), "/first");
    }
    ScopedEnvironmentVariable tmpdir("TMPDIR", "/second");
    EXPECT_EQ(terminalShell().environment.at("TMPDIR"), "/second");
}

TEST(AppModelLookups, PassNoPATHUntilTheBoxHoldsOne)
{
    TemporaryFolder folder;
    writeExecutable(folder / "bin/claude", "#!/bin/sh\n");
    auto box = std::make_shared<LoginPathBox>();
    auto lookups = AppModel::claudeLookups(ClaudeLocator(folder / "home", "/bin/sh"), box);
    const std::string loginPATH = (folder / "bin").string();

    EXPECT_EQ(lookups.locate(), std::nullopt);
    EXPECT_EQ(lookups.path().find(loginPATH), std::string::npos);

    box->store(loginPATH);
    EXPECT_EQ(lookups.locate(), folder / "bin/claude");
    EXPECT_EQ(lookups.path().rfind(loginPATH + ":", 0), 0u);
}

TEST(AppBundleInfo, TheBuildWritesTheVersionBesideTheApplication)
{
    auto version = platform::bundleVersion(VELLUMAR_APP_BUNDLE_INFO);
    ASSERT_TRUE(version.has_value());
    EXPECT_FALSE(version->empty());
}
