#include "Platform/Keychain.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace vellumar::platform;
namespace fs = std::filesystem;

TEST(Keychain, AddNeverReplacesAndUpdateAndRenameNeedAnItem)
{
    vellumar::test::TemporaryFolder temporary;
    Keychain keychain(temporary / "keychain");
    EXPECT_EQ(keychain.copy("s", "a").status, KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.update("s", "a", "x"), KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.renameAccount("s", "a", "b"), KeychainStatus::itemNotFound);
    EXPECT_EQ(keychain.add("s", "a", "first", "label"), KeychainStatus::success);
    EXPECT_EQ(keychain.add("s", "a", "second", "other"), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.add("s", "b", "kept", "label"), KeychainStatus::success);
    EXPECT_EQ(keychain.renameAccount("s", "a", "b"), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.update("s", "a", "line\nbreaks\n"), KeychainStatus::success);
    auto read = keychain.copy("s", "a");
    ASSERT_TRUE(read.item);
    EXPECT_EQ(read.item->label, "label");
    EXPECT_EQ(read.item->data, "line\nbreaks\n");
    EXPECT_EQ(keychain.copy("s", "b").item->data, "kept");
}

TEST(Keychain, NamesSharingCharactersAreSeparateItemsAndStayInsideTheFolder)
{
    vellumar::test::TemporaryFolder temporary;
    Keychain keychain(temporary / "keychain");
    const std::pair<const char*, const char*> names[] = { { "a@b", "c" }, { "a", "b@c" }, { "a.b", "c" },
        { "a%2Eb", "c" }, { "..", "x" }, { "../..", "x" } };
    for (const auto& [service, account] : names)
        ASSERT_EQ(keychain.add(service, account, std::string(service) + "|" + account, "l"),
            KeychainStatus::success);
    for (const auto& [service, account] : names) {
        SCOPED_TRACE(std::string(service) + " " + account);
        EXPECT_EQ(keychain.copy(service, account).item->data, std::string(service) + "|" + account);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(temporary.path()), fs::directory_iterator()), 1);
}

TEST(Keychain, FolderThatIsASymbolicLinkIsNotAvailable)
{
    vellumar::test::TemporaryFolder temporary;
    fs::create_directory(temporary / "elsewhere");
    fs::create_directory_symlink(temporary / "elsewhere", temporary / "keychain");
    EXPECT_EQ(Keychain(temporary / "keychain").add("s", "a", "x", "l"), KeychainStatus::notAvailable);
    EXPECT_TRUE(fs::is_empty(temporary / "elsewhere"));
}
