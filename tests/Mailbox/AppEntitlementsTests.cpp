#include "VellumarMacCore/Mailbox/AppEntitlements.h"

#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"

#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace vellumar;
using namespace vellumar::test;

namespace {

platform::Entitlements entitlementsOf(const TemporaryFolder& folder, const std::string& contents)
{
    writeBytes(folder / "vellumar.entitlements.json", contents);
    return platform::Entitlements(folder / "vellumar.entitlements.json");
}

}

TEST(AppEntitlements, ICloudNeedsCloudKitServicesAndTheMailboxContainer)
{
    const std::string containers
        = R"("com.apple.developer.icloud-container-identifiers":["iCloud.com.zu.plimsor"])";
    const struct {
        const char* name;
        std::string contents;
        bool allowed;
    } cases[] = {
        { "CloudKit", R"({"com.apple.developer.icloud-services":["CloudKit"],)" + containers + "}", true },
        { "star", R"({"com.apple.developer.icloud-services":["*"],)" + containers + "}", true },
        { "star as a string", R"({"com.apple.developer.icloud-services":"*",)" + containers + "}", true },
        { "CloudKit as a string", R"({"com.apple.developer.icloud-services":"CloudKit",)" + containers + "}",
            false },
        { "other services",
            R"({"com.apple.developer.icloud-services":["CloudDocuments"],)" + containers + "}", false },
        { "services not strings",
            R"({"com.apple.developer.icloud-services":["CloudKit",1],)" + containers + "}", false },
        { "no container", R"({"com.apple.developer.icloud-services":["CloudKit"]})", false },
        { "another container",
            R"({"com.apple.developer.icloud-services":["CloudKit"],"com.apple.developer.icloud-container-identifiers":["iCloud.other"]})",
            false },
        { "container list not strings",
            R"({"com.apple.developer.icloud-services":["CloudKit"],"com.apple.developer.icloud-container-identifiers":["iCloud.com.zu.plimsor",2]})",
            false },
        { "no services", "{" + containers + "}", false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryFolder folder;
        EXPECT_EQ(AppEntitlements::canUseICloud(entitlementsOf(folder, testCase.contents)), testCase.allowed);
    }
}

TEST(AppEntitlements, NoFileOrADamagedOneAllowsNothing)
{
    TemporaryFolder folder;
    platform::Entitlements missing(folder / "absent.json");
    EXPECT_FALSE(AppEntitlements::canUseICloud(missing));
    EXPECT_FALSE(AppEntitlements::canReceivePushes(missing));

    CapturedLog log;
    auto damaged = entitlementsOf(folder, R"({"com.apple.developer.aps-environment":)");
    EXPECT_FALSE(AppEntitlements::canReceivePushes(damaged));
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(AppEntitlements, TheSetUpUsesTheGivenFoldersAndVersionAndCreatesNothing)
{
    TemporaryFolder folder;
    auto entitlements = entitlementsOf(folder,
        R"({"com.apple.developer.icloud-services":["CloudKit"],"com.apple.developer.icloud-container-identifiers":["iCloud.com.zu.plimsor"]})");
    auto setup = AppEntitlements::mailboxSetup(entitlements,
        { .cloudFolder = folder / "data/cloud",
            .stateDirectory = folder / "data/mailbox",
            .temporaryDirectory = folder / "data/incoming",
            .appVersion = "2.1",
            .macName = [] { return std::string("Studio"); },
            .log = [](std::string_view) {} });
    ASSERT_TRUE(setup.has_value());
    auto* storage = dynamic_cast<movrane::FileMailboxStateStorage*>(setup->storage.get());
    ASSERT_NE(storage, nullptr);
    EXPECT_EQ(storage->directory(), folder / "data/mailbox");
    EXPECT_EQ(setup->server.temporaryDirectory, folder / "data/incoming");
    auto* store = dynamic_cast<movrane::CloudKitMailboxStore*>(setup->store.get());
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->containerIdentifier(), "iCloud.com.zu.plimsor");
    EXPECT_EQ(store->temporaryFolder(), folder / "data/cloud/tmp");
    EXPECT_EQ(setup->accountCheckInterval, 300);
    EXPECT_EQ(setup->recentWindow, 180);
    EXPECT_EQ(setup->appVersion, "2.1");
    EXPECT_EQ(setup->macName(), "Studio");
    EXPECT_NE(setup->keyStore, nullptr);
    EXPECT_NE(setup->clock, nullptr);
    EXPECT_FALSE(std::filesystem::exists(folder / "data"));
}

TEST(AppEntitlements, WithoutAnApplicationIdentifierTheMailboxKeyLeavesTheDataProtectionKeychain)
{
    const struct {
        const char* name;
        const char* identifier;
        bool dataProtection;
    } cases[] = {
        { "with", R"("com.apple.application-identifier":"T.com.zu.plimsor",)", true },
        { "without", "", false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryFolder folder;
        auto entitlements = entitlementsOf(folder,
            std::string("{") + testCase.identifier
                + R"("com.apple.developer.icloud-services":["CloudKit"],"com.apple.developer.icloud-container-identifiers":["iCloud.com.zu.plimsor"]})");
        auto setup = AppEntitlements::mailboxSetup(entitlements, { .stateDirectory = folder / "mailbox" });
        ASSERT_TRUE(setup.has_value());
        auto* keyStore = dynamic_cast<movrane::KeychainMailboxKeyStore*>(setup->keyStore.get());
        ASSERT_NE(keyStore, nullptr);
        auto* backend = dynamic_cast<const movrane::SecItemMailboxKeychainBackend*>(&keyStore->backend());
        ASSERT_NE(backend, nullptr);
        EXPECT_EQ(backend->useDataProtectionKeychain(), testCase.dataProtection);
    }
}

TEST(AppEntitlements, NoFileMeansNoSetUp)
{
    TemporaryFolder folder;
    EXPECT_FALSE(
        AppEntitlements::mailboxSetup(platform::Entitlements(folder / "absent.json"), {}).has_value());
}
