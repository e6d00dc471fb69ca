#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/KeychainDeviceStorage.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kService = KeychainDeviceStorage::applicationService;
constexpr std::string_view kAccount = KeychainDeviceStorage::applicationAccount;
const fs::path kItemName = "com%2Ezu%2Eplimsor%2Emac@paired-devices";

const DeviceRegistry::Clock standingClock = [] { return test::ManualClock().now; };

std::shared_ptr<KeychainDeviceStorage> storageIn(const fs::path& folder)
{
    return std::make_shared<KeychainDeviceStorage>(
        std::string(kService), std::string(kAccount), platform::Keychain(folder));
}

fs::perms modeOf(const fs::path& path) { return fs::symlink_status(path).permissions(); }

constexpr uid_t kNobody = 65534;
const std::string kToken = "token-of-a-paired-phone";

PairedDevice deviceWithToken()
{
    return { .id = "d-0123456789abcdef",
        .name = "Phone",
        .pairedAt = test::ManualClock().now,
        .tokenHash = sha256Hex(platform::sha256(kToken)) };
}

// Run as user 65534 on a keychain folder it owns: the registry starts, then the phone's token is
// looked up (`isKnownToken`, then `deviceForToken`) three times: at the start, after the item was
// made readable, 0.999 s later, and one more millisecond later; then a phone pairs.
// "<lookups> <pairing> <device count> <log lines>".
std::string lookupsAcrossARepair(const std::string& folder)
{
    test::CapturedLog log;
    test::ManualClock clock;
    DeviceRegistry registry(storageIn(folder), clock.function());
    auto lookup = [&] {
        std::string known = registry.isKnownToken(kToken) ? "+" : "-";
        return known + (registry.deviceForToken(kToken) ? "found" : "none");
    };
    std::string outcome = lookup();
    ::chmod((fs::path(folder) / kItemName).c_str(), 0600);
    clock.now += std::chrono::milliseconds(999);
    outcome += " " + lookup();
    clock.now += std::chrono::milliseconds(1);
    outcome += " " + lookup();
    try {
        registry.add("new");
        outcome += " paired";
    } catch (const KeychainError& error) {
        outcome += " " + std::to_string(error.status());
    }
    return outcome + " " + std::to_string(registry.all().size()) + " " + std::to_string(log.lines().size());
}

[[maybe_unused]] const bool registeredRepair
    = test::registerUnprivilegedCheck("lookups across a repair", lookupsAcrossARepair);

// Run as user 65534 on a keychain folder it may read but not change: "<loaded> <add's status> <count after>".
std::string pairingInReadOnlyFolder(const std::string& folder)
{
    DeviceRegistry registry(storageIn(folder), standingClock);
    std::string outcome = std::to_string(registry.all().size()) + " ";
    try {
        registry.add("new");
        outcome += "added";
    } catch (const KeychainError& error) {
        outcome += std::to_string(error.status());
    }
    return outcome + " " + std::to_string(registry.all().size());
}

[[maybe_unused]] const bool registered
    = test::registerUnprivilegedCheck("read-only keychain", pairingInReadOnlyFolder);

}

TEST(KeychainDeviceStorage, MissingItemIsEmptyAndTheFirstSaveMakesAPrivateLabelledItemThatLaterSavesKeep)
{
    test::TemporaryFolder temporary;
    const fs::path folder = temporary / "data/keychain";
    test::ManualClock clock;
    DeviceRegistry registry(storageIn(folder), clock.function());
    EXPECT_FALSE(registry.loadFailed());
    registry.add("first");
    EXPECT_EQ(modeOf(folder), fs::perms(0700));
    EXPECT_EQ(modeOf(folder / kItemName), fs::perms(0600));
    registry.add("second");
    auto read = platform::Keychain(folder).copy(kService, kAccount);
    ASSERT_TRUE(read.item);
    EXPECT_EQ(read.item->label, KeychainDeviceStorage::label);
    EXPECT_EQ(storageIn(folder)->load(), registry.all());
    EXPECT_EQ(registry.all().size(), 2u);
}

TEST(KeychainDeviceStorage, ItemThatDoesNotDecodeIsKeptAsideAndAPairingAfterwardsLeavesItThere)
{
    struct Case {
        const char* name;
        std::string fileContent;
    } cases[] = {
        { "not JSON", "label\n[{\"id\":" },
        { "device without token", "label\n[{\"id\":\"d-1\",\"name\":\"A\",\"pairedAt\":1}]" },
        { "date out of range",
            "label\n[{\"id\":\"d-1\",\"name\":\"A\",\"pairedAt\":1e300,\"tokenHash\":\"\"}]" },
        { "damaged item without its label line", "[]" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TemporaryFolder temporary;
        std::ofstream(temporary / kItemName) << c.fileContent;
        // As a backup may bring it back: wider than the keychain's own files.
        fs::permissions(temporary / kItemName, fs::perms(0644));
        test::CapturedLog log;
        DeviceRegistry registry(storageIn(temporary.path()), standingClock);
        EXPECT_TRUE(registry.loadFailed());
        registry.add("new");
        EXPECT_EQ(registry.all().size(), 1u);
        EXPECT_EQ(storageIn(temporary.path())->load(), registry.all());
        std::vector<std::string> kept;
        for (const auto& entry : fs::directory_iterator(temporary.path())) {
            if (entry.path().filename().string().starts_with(kItemName.string() + "%2Eunreadable-")) {
                kept.push_back(test::readFile(entry.path()));
                EXPECT_EQ(modeOf(entry.path()), fs::perms(0600));
            }
        }
        EXPECT_EQ(kept, std::vector { c.fileContent });
        EXPECT_EQ(log.lines().size(), 1u);
    }
}

TEST(KeychainDeviceStorageAsUnprivilegedUser, FailedSaveLeavesTheStoredListAndRollsThePairingBack)
{
    test::TemporaryFolder temporary;
    const fs::path folder = temporary / "keychain";
    DeviceRegistry registry(storageIn(folder), standingClock);
    registry.add("one");
    registry.add("two");
    const std::string before = test::readFile(folder / kItemName);
    fs::permissions(temporary.path(), fs::perms(0755));
    fs::permissions(folder, fs::perms(0755));
    fs::permissions(folder / kItemName, fs::perms(0644));
    EXPECT_EQ(test::runUnprivileged("read-only keychain", temporary.path(), "/keychain"),
        "2 " + std::to_string(platform::KeychainStatus::io) + " 2");
    EXPECT_EQ(test::readFile(folder / kItemName), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST(KeychainDeviceStorage, OpeningRemovesLeftoversOfKilledSavesOfItsItemAndNothingElse)
{
    test::TemporaryFolder temporary;
    const std::string item = kItemName.string();
    const std::string otherItem = "com%2Ezu%2Eplimsor%2Emac@other";
    const std::set<std::string> removed { "." + item + ".0123abcd", "." + item + ".89abcdef" };
    const std::set<std::string> kept { item, otherItem, "." + otherItem + ".0123abcd",
        "." + item + ".0123ABCD", "." + item + ".0123abc", "." + item + ".0123abcde", item + ".0123abcd",
        "." + item + ".0123abcd.x", "." + item + "x.0123abcd", item + "%2Eunreadable-0123abcd" };
    platform::Keychain(temporary.path()).add(kService, kAccount, "[]", KeychainDeviceStorage::label);
    for (const std::string& name : removed)
        test::writeBytes(temporary / name, "label\n[]");
    for (const std::string& name : kept) {
        if (name != item)
            test::writeBytes(temporary / name, "label\n[]");
    }

    auto storage = storageIn(temporary.path());

    EXPECT_EQ(test::namesIn(temporary.path()), kept);
    EXPECT_TRUE(storage->load().empty());
}

TEST(KeychainDeviceStorageAsUnprivilegedUser,
    AListThatCouldNotBeReadLoadsOnceReadableAndAnythingButAFileIsKeptAside)
{
    enum class Planted { unreadableList, folder, link, fifo };
    struct Case {
        const char* name;
        Planted planted;
        // What the phone's lookups, a pairing and the log showed (see `lookupsAcrossARepair`).
        std::string expected;
        fs::file_type keptAside;
    };
    const Case cases[] = {
        { "a list of mode 000, then made readable", Planted::unreadableList, "-none -none +found paired 2 1",
            fs::file_type::none },
        { "a folder", Planted::folder, "-none -none -none paired 1 1", fs::file_type::directory },
        { "a link to a list", Planted::link, "-none -none -none paired 1 1", fs::file_type::symlink },
        { "a FIFO", Planted::fifo, "-none -none -none paired 1 1", fs::file_type::fifo },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TemporaryFolder temporary;
        const fs::path folder = temporary / "keychain";
        const fs::path item = folder / kItemName;
        const std::string list = "label\n" + PairedDevices::encoded({ deviceWithToken() });
        test::writeBytes(temporary / "list", list);
        platform::Keychain(folder).add(
            kService, kAccount, PairedDevices::encoded({ deviceWithToken() }), "label");
        if (c.planted != Planted::unreadableList)
            fs::remove(item);
        if (c.planted == Planted::folder)
            test::writeBytes(item / "inside", "kept");
        if (c.planted == Planted::link)
            fs::create_symlink("../list", item);
        if (c.planted == Planted::fifo) {
            ASSERT_EQ(::mkfifo(item.c_str(), 0600), 0);
        }
        fs::permissions(temporary.path(), fs::perms(0755));
        for (const fs::path& owned : { folder, item, item / "inside" })
            ::lchown(owned.c_str(), kNobody, kNobody);
        if (c.planted == Planted::unreadableList)
            fs::permissions(item, fs::perms::none);

        EXPECT_EQ(
            test::runUnprivileged("lookups across a repair", temporary.path(), "/keychain"), c.expected);

        EXPECT_EQ(test::readFile(temporary / "list"), list);
        EXPECT_EQ(fs::symlink_status(item).type(), fs::file_type::regular);
        std::vector<fs::path> kept;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().filename().string().starts_with(kItemName.string() + "%2Eunreadable-"))
                kept.push_back(entry.path());
        }
        EXPECT_EQ(test::namesIn(folder).size(), kept.size() + 1);
        EXPECT_EQ(kept.size(), c.keptAside == fs::file_type::none ? 0u : 1u);
        if (kept.size() == 1) {
            EXPECT_EQ(fs::symlink_status(kept.front()).type(), c.keptAside);
        }
        if (c.planted == Planted::folder && kept.size() == 1) {
            EXPECT_EQ(test::readFile(kept.front() / "inside"), "kept");
        }
    }
}
