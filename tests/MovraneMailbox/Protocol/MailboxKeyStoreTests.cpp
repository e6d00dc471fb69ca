#include "MovraneMailbox/Protocol/MailboxKeyStore.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace movrane {
namespace {

    namespace fs = std::filesystem;
    using vellumar::platform::Keychain;
    using vellumar::test::thrown;

    KeychainMailboxKeyStore storeIn(const fs::path& folder)
    {
        return KeychainMailboxKeyStore(std::string(KeychainMailboxKeyStore::defaultService),
            std::make_shared<SecItemMailboxKeychainBackend>(false, Keychain(folder)));
    }

    // What an unprivileged user gets from loading the Mac's identity out of a keychain folder it
    // cannot enter.
    std::string loadOutcome(const std::string& folder)
    {
        try {
            storeIn(folder).loadOrCreate(MailboxKeyLabel::mac);
            return "loaded";
        } catch (const MailboxKeyError& error) {
            return error.what();
        }
    }
    [[maybe_unused]] const bool registered = vellumar::test::registerUnprivilegedCheck("mailbox-key", loadOutcome);

    class KeychainMailboxKeyStoreTest : public testing::Test {
    protected:
        vellumar::test::TemporaryFolder temporary;
        fs::path folder = temporary / "keychain";
        KeychainMailboxKeyStore store = storeIn(folder);
    };

    TEST_F(KeychainMailboxKeyStoreTest, AnUnsavedLabelLoadsNothingAndDeletesCleanly)
    {
        EXPECT_EQ(store.load("mac"), std::nullopt);
        EXPECT_NO_THROW(store.remove("mac"));
    }

    TEST_F(KeychainMailboxKeyStoreTest, SavingTwiceLeavesOnePrivateItemWithTheSecondKey)
    {
        auto first = MailboxIdentity::generate();
        auto second = MailboxIdentity::generate();
        store.save(first, "mac");
        store.save(second, "mac");
        auto names = vellumar::test::namesIn(folder);
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(vellumar::test::modeOf(folder / *names.begin()), 0600u);
        EXPECT_EQ(vellumar::test::modeOf(folder), 0700u);
        EXPECT_EQ(store.load("mac")->publicKey(), second.publicKey());
        store.remove("mac");
        EXPECT_TRUE(vellumar::test::namesIn(folder).empty());
    }

    TEST_F(KeychainMailboxKeyStoreTest, TheIdentityOutlivesTheStoreThatMadeIt)
    {
        auto made = store.loadOrCreate(MailboxKeyLabel::mac);
        EXPECT_EQ(storeIn(folder).loadOrCreate(MailboxKeyLabel::mac).publicKey().fingerprint(),
            made.publicKey().fingerprint());
        EXPECT_EQ(store.load(MailboxKeyLabel::device("a.b")), std::nullopt);
    }

    TEST_F(KeychainMailboxKeyStoreTest, AnItemThatIsNoKeyThrowsAndIsKeptByteForByte)
    {
        const std::pair<const char*, std::string> items[] = {
            { "empty", "" },
            { "31 bytes", std::string(31, '\x01') },
            { "the scalar zero", std::string(32, '\0') },
        };
        for (const auto& [name, data] : items) {
            SCOPED_TRACE(name);
            Keychain(folder).remove(KeychainMailboxKeyStore::defaultService, "mac");
            ASSERT_EQ(Keychain(folder).add(KeychainMailboxKeyStore::defaultService, "mac", data, ""), 0);
            auto file = folder / *vellumar::test::namesIn(folder).begin();
            auto before = vellumar::test::readFile(file);
            auto error = thrown<MailboxKeyError>([&] { store.loadOrCreate("mac"); });
            ASSERT_TRUE(error);
            EXPECT_EQ(*error, MailboxKeyError::invalidPrivateKey());
            EXPECT_EQ(vellumar::test::readFile(file), before);
        }
    }

    TEST_F(KeychainMailboxKeyStoreTest, AKeychainTheUserCannotReadReportsItsStatus)
    {
        store.loadOrCreate(MailboxKeyLabel::mac);
        ASSERT_EQ(::chmod(temporary.path().c_str(), 0755), 0);
        // errSecIO: the folder is root's and closed to everyone else.
        EXPECT_EQ(
            vellumar::test::runUnprivileged("mailbox-key", temporary.path(), "/keychain"), "keychain(-36)");
    }

    TEST(KeychainMailboxKeyStore, OpeningRemovesLeftoversOfKilledSavesOfItsKeysAndNothingElse)
    {
        vellumar::test::TemporaryFolder temporary;
        const std::string mac = "com%2Ezu%2Eplimsor%2Emailbox@mac";
        const std::string device = "com%2Ezu%2Eplimsor%2Emailbox@device%2Epair-x";
        const std::string devices = "com%2Ezu%2Eplimsor%2Emac@paired-devices";
        const std::set<std::string> removed { "." + mac + ".0123abcd", "." + device + ".89abcdef" };
        const std::set<std::string> kept { mac, "." + devices + ".0123abcd", "." + mac + ".0123ABCD",
            "." + mac + ".0123abc", mac + ".0123abcd", "." + mac + ".0123abcd.x", "." + mac + "%2.0123abcd",
            "." + mac + ".unreadable.0123abcd", ".com%2Ezu%2Eplimsor%2Emailboxes@mac.0123abcd" };
        for (const auto& name : removed)
            vellumar::test::writeBytes(temporary / name, "\nkey");
        for (const auto& name : kept)
            vellumar::test::writeBytes(temporary / name, "\nkey");

        storeIn(temporary.path());

        EXPECT_EQ(vellumar::test::namesIn(temporary.path()), kept);
    }

    TEST(InMemoryMailboxKeyStore, KeepsOneKeyPerLabelAndListsLabelsInOrder)
    {
        InMemoryMailboxKeyStore store;
        auto made = store.loadOrCreate("mac");
        EXPECT_EQ(store.loadOrCreate("mac").publicKey(), made.publicKey());
        store.save(MailboxIdentity::generate(), "device.b");
        store.save(MailboxIdentity::generate(), "device.A");
        EXPECT_EQ(store.labels(), (std::vector<std::string> { "device.A", "device.b", "mac" }));
        store.remove("mac");
        store.remove("never saved");
        EXPECT_EQ(store.load("mac"), std::nullopt);
    }

}
}
