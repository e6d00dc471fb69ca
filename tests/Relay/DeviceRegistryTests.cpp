#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "tests/support/FakeDeviceStorage.h"
#include "tests/support/MailboxPairings.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

using namespace vellumar;
using namespace std::chrono_literals;

namespace {

PairedDevice storedDevice(std::string id, std::string tokenHash)
{
    return { .id = std::move(id),
        .name = "Phone",
        .pairedAt = test::ManualClock().now,
        .tokenHash = std::move(tokenHash) };
}

const DeviceRegistry::Clock standingClock = [] { return test::ManualClock().now; };

std::string hashOf(const std::string& token) { return sha256Hex(platform::sha256(token)); }

// The digest of `token` with one hexadecimal digit changed.
std::string hashDifferingAt(const std::string& token, std::size_t digit)
{
    std::string hash = hashOf(token);
    hash[digit] = hash[digit] == '0' ? '1' : '0';
    return hash;
}

}

TEST(DeviceRegistry, NewDeviceHasWellFormedIdAndTokenWhoseDigestAPythonPeerConfirms)
{
    test::ManualClock clock;
    DeviceRegistry registry(std::make_shared<MemoryDeviceStorage>(), clock.function());
    auto [device, token] = registry.add("  Anna's\u0007 iPhone ");
    EXPECT_TRUE(std::regex_match(token, std::regex("^[A-Za-z0-9_-]{43}$"))) << token;
    EXPECT_TRUE(std::regex_match(device.id, std::regex("^d-[0-9a-f]{16}$"))) << device.id;
    EXPECT_EQ(device.name, "Anna's iPhone");
    EXPECT_EQ(device.lastSeenAt, clock.now);
    EXPECT_TRUE(registry.isKnownToken(token));
    auto peer = test::runPeer({ "python3", "-c",
        "import base64, hashlib, sys; t = sys.argv[1]; "
        "print(len(base64.urlsafe_b64decode(t + '=')), hashlib.sha256(t.encode()).hexdigest())",
        token });
    EXPECT_EQ(peer.output, "32 " + device.tokenHash + "\n");
}

TEST(DeviceRegistry, TwentyFirstAddIsRefusedUntilADeviceIsRemoved)
{
    auto storage = std::make_shared<test::FakeDeviceStorage>();
    DeviceRegistry registry(storage, standingClock);
    for (int index = 0; index < 20; ++index)
        registry.add(std::nullopt);
    EXPECT_EQ(storage->saves, 20);
    try {
        registry.add("one more");
        ADD_FAILURE() << "the 21st device was added";
    } catch (const RelayHTTPError& error) {
        EXPECT_EQ(error,
            RelayHTTPError(409, "too_many", "Too many iPhones are paired with this Mac. Remove one first."));
    }
    EXPECT_EQ(storage->saves, 20);
    registry.remove(registry.all().front().id);
    EXPECT_EQ(registry.add("again").device.name, "again");
}

TEST(DeviceRegistry, TokensAreLookedUpOnlyWithinTheirSizeLimitAndByWellFormedDigests)
{
    const std::string at512(512, 'a'), at513(513, 'a');
    auto storage = std::make_shared<MemoryDeviceStorage>(std::vector {
        storedDevice("d-empty", hashOf("")),
        storedDevice("d-512", hashOf(at512)),
        storedDevice("d-513", hashOf(at513)),
        storedDevice("d-odd", hashOf("odd").substr(1)),
        storedDevice("d-nothex", "zz" + hashOf("nothex").substr(2)),
        storedDevice("d-first", hashDifferingAt("first", 0)),
        storedDevice("d-last", hashDifferingAt("last", 63)),
        // Same token as d-512: a look-up that stopped at its first match would answer d-512.
        storedDevice("d-512-again", hashOf(at512)),
    });
    DeviceRegistry registry(storage, standingClock);
    struct Case {
        std::string token;
        std::optional<std::string> device;
    } cases[]
        = { { "", std::nullopt }, { at512, "d-512-again" }, { at513, std::nullopt }, { "odd", std::nullopt },
              { "nothex", std::nullopt }, { "first", std::nullopt }, { "last", std::nullopt } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.token.size());
        EXPECT_EQ(registry.isKnownToken(c.token), c.device.has_value());
        auto found = registry.deviceForToken(c.token);
        EXPECT_EQ(found ? std::optional(found->id) : std::nullopt, c.device);
    }
}

TEST(DeviceRegistry, EachTokenFindsItsOwnDeviceAsTheListChangesAndSavesFail)
{
    auto storage = std::make_shared<test::FakeDeviceStorage>(std::vector {
        storedDevice("d-a", hashOf("a")),
        // Matches nothing, yet must not shift the devices after it.
        storedDevice("d-nothex", "zz" + hashOf("b").substr(2)),
        storedDevice("d-b", hashOf("b")),
        storedDevice("d-c", hashOf("c")),
    });
    DeviceRegistry registry(storage, standingClock);
    std::string added;
    struct Case {
        std::string name;
        std::function<void()> change;
        std::map<std::string, std::optional<std::string>> expected;
    } cases[] = {
        { "loaded", [] {}, { { "a", "d-a" }, { "b", "d-b" }, { "c", "d-c" } } },
        { "middle removed", [&] { registry.remove("d-b"); },
            { { "a", "d-a" }, { "b", std::nullopt }, { "c", "d-c" } } },
        { "first removed, save failing",
            [&] {
                storage->failSave = true;
                EXPECT_THROW(registry.remove("d-a"), KeychainError);
            },
            { { "a", std::nullopt }, { "c", "d-c" } } },
        { "add failing",
            [&] {
                EXPECT_THROW(registry.add("new"), KeychainError);
                storage->failSave = false;
            },
            { { "c", "d-c" } } },
        { "added", [&] { added = registry.add("new").token; }, { { "c", "d-c" } } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.change();
        for (const auto& [token, device] : c.expected) {
            SCOPED_TRACE(token);
            auto found = registry.deviceForToken(token);
            EXPECT_EQ(found ? std::optional(found->id) : std::nullopt, device);
        }
    }
    auto found = registry.deviceForToken(added);
    EXPECT_EQ(found ? std::optional(found->id) : std::nullopt, registry.all().back().id);
}

TEST(DeviceRegistry, LastSeenIsStoredAtMostOncePerFiveMinutesButObserversHearEveryRequest)
{
    test::ManualClock clock;
    auto storage
        = std::make_shared<test::FakeDeviceStorage>(std::vector { storedDevice("d-1", hashOf("t")) });
    DeviceRegistry registry(storage, clock.function());
    int heard = 0;
    registry.observe([&](const DeviceRegistry::Snapshot&) { ++heard; });
    const auto start = clock.now;
    struct Case {
        std::chrono::seconds at;
        int saves;
    } cases[] = { { 0s, 1 }, { 10s, 1 }, { 299s, 1 }, { 300s, 2 }, { 310s, 2 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.at.count());
        clock.now = start + c.at;
        EXPECT_EQ(registry.deviceForTokenAtOnce("t", DeviceRegistry::Seen::leave).answered,
            c.saves == storage->saves);
        EXPECT_TRUE(registry.deviceForTokenAtOnce("unknown", DeviceRegistry::Seen::leave).answered);
        ASSERT_TRUE(registry.deviceForToken("t"));
        EXPECT_EQ(storage->saves, c.saves);
        EXPECT_EQ(registry.all().front().lastSeenAt, clock.now);
    }
    EXPECT_EQ(heard, 1 + 5);
    EXPECT_EQ(storage->stored.front().lastSeenAt, start + 300s);
}

TEST(DeviceRegistry, ObserversKeepEachRequestsListAfterLaterChangesWhichShareTheDevicesTheyLeaveAlone)
{
    test::ManualClock clock;
    auto storage = std::make_shared<test::FakeDeviceStorage>(std::vector { storedDevice("d-1", hashOf("t1")),
        storedDevice("d-2", hashOf("t2")), storedDevice("d-3", hashOf("t3")) });
    DeviceRegistry registry(storage, clock.function());
    std::vector<DeviceRegistry::Snapshot> heard;
    registry.observe([&](const DeviceRegistry::Snapshot& devices) { heard.push_back(devices); });
    const auto start = clock.now;
    // The first request of each phone is stored; the next ones within five minutes are not.
    for (auto [token, after] :
        { std::pair { "t2", 0s }, { "t3", 1s }, { "t2", 2s }, { "t3", 3s }, { "t3", 4s } }) {
        clock.now = start + after;
        ASSERT_TRUE(registry.deviceForToken(token));
    }
    registry.remove("d-1");
    ASSERT_EQ(heard.size(), 1u + 5 + 1);
    const PairedDeviceList& lastTwo = *heard[3];
    const PairedDeviceList& lastThree = *heard[4];
    ASSERT_EQ(lastTwo.size(), 3u) << "held lists stay as they were after later changes";
    EXPECT_EQ(lastTwo[1].lastSeenAt, start + 2s);
    EXPECT_EQ(lastTwo[2].lastSeenAt, start + 1s);
    EXPECT_EQ(lastThree[2].lastSeenAt, start + 3s);
    EXPECT_EQ((*heard[5])[2].lastSeenAt, start + 4s);
    EXPECT_EQ(heard.back()->values(), registry.all());
    // Only the device a request marked seen is new in its list.
    EXPECT_EQ(&lastThree[0], &lastTwo[0]);
    EXPECT_EQ(&lastThree[1], &lastTwo[1]);
    EXPECT_NE(&lastThree[2], &lastTwo[2]);
}

// A storage whose saves wait until the test lets them finish.
class FakeHeldStorage final : public DeviceStorage {
public:
    std::vector<PairedDevice> load() override { return {}; }
    void save(const std::vector<PairedDevice>&) override
    {
        std::unique_lock lock(m_lock);
        m_saving = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_released; });
    }
    void setAside() override { }

    void awaitSaving()
    {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [this] { return m_saving; });
    }
    void release()
    {
        std::lock_guard lock(m_lock);
        m_released = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_saving = false;
    bool m_released = false;
};

// The listener's thread asks before it authenticates; a save under way must send the request elsewhere.
TEST(DeviceRegistry, AuthenticationIsNotAtOnceWhileAnotherCallSaves)
{
    auto storage = std::make_shared<FakeHeldStorage>();
    DeviceRegistry registry(storage, standingClock);
    auto pairing = std::async(std::launch::async, [&] { return registry.add("Phone"); });
    storage->awaitSaving();
    EXPECT_FALSE(registry.deviceForTokenAtOnce("unknown", DeviceRegistry::Seen::leave).answered);
    storage->release();
    auto token = pairing.get().token;
    EXPECT_TRUE(registry.deviceForTokenAtOnce("unknown", DeviceRegistry::Seen::leave).answered);
    // Added, but never seen through its token: its first request stores that.
    EXPECT_FALSE(registry.deviceForTokenAtOnce(token, DeviceRegistry::Seen::leave).answered);
}

TEST(DeviceRegistry, FakeStorageFailingToSaveLeavesNoTraceOfTheNewDevice)
{
    auto storage
        = std::make_shared<test::FakeDeviceStorage>(std::vector { storedDevice("d-1", hashOf("t")) });
    DeviceRegistry registry(storage, standingClock);
    storage->failSave = true;
    std::string token;
    EXPECT_THROW(token = registry.add("new").token, KeychainError);
    EXPECT_EQ(registry.all(), storage->stored);
    storage->failSave = false;
    for (int index = 1; index < 20; ++index)
        registry.add(std::nullopt);
    EXPECT_EQ(storage->stored.size(), 20u);
}

TEST(DeviceRegistry, FakeStorageFailingToLoadRefusesChangesUntilItLoadsAndThenKeepsTheStoredDevices)
{
    auto storage
        = std::make_shared<test::FakeDeviceStorage>(std::vector { storedDevice("d-1", hashOf("t")) });
    storage->failLoad = true;
    DeviceRegistry registry(storage, standingClock);
    EXPECT_TRUE(registry.loadFailed());
    EXPECT_FALSE(registry.isKnownToken("t"));
    EXPECT_THROW(registry.add("new"), KeychainError);
    EXPECT_THROW(registry.remove("d-other"), KeychainError);
    EXPECT_EQ(storage->saves, 0);
    storage->failLoad = false;
    auto added = registry.add("new");
    EXPECT_EQ(storage->stored, (std::vector { storedDevice("d-1", hashOf("t")), added.device }));
    EXPECT_TRUE(registry.isKnownToken("t"));
}

TEST(DeviceRegistry, FakeStorageThatFailedToLoadIsReadAgainByAPhonesLookupAtMostOnceASecond)
{
    auto stored = storedDevice("d-1", hashOf("t"));
    stored.mailbox = test::mailboxPairingFor("d-1");
    struct Case {
        const char* name;
        std::function<bool(DeviceRegistry&)> finds;
    };
    const Case cases[] = {
        { "token check", [](DeviceRegistry& registry) { return registry.isKnownToken("t"); } },
        { "token lookup", [](DeviceRegistry& registry) { return registry.deviceForToken("t").has_value(); } },
        { "mailbox lookup",
            [&](DeviceRegistry& registry) {
                return registry.deviceForMailbox(*stored.mailbox).has_value();
            } },
        { "mailbox pairings", [](DeviceRegistry& registry) { return !registry.mailboxPairings().empty(); } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto storage = std::make_shared<test::FakeDeviceStorage>(std::vector { stored });
        storage->failLoad = true;
        test::ManualClock clock;
        DeviceRegistry registry(storage, clock.function());
        std::vector<std::vector<PairedDevice>> observed;
        registry.observe(
            [&](const DeviceRegistry::Snapshot& devices) { observed.push_back(devices->values()); });
        EXPECT_FALSE(c.finds(registry));
        storage->failLoad = false;
        clock.now += 999ms;
        EXPECT_FALSE(c.finds(registry));
        EXPECT_TRUE(registry.deviceForTokenAtOnce("t", DeviceRegistry::Seen::leave).answered);
        clock.now += 1ms;
        EXPECT_FALSE(registry.deviceForTokenAtOnce("t", DeviceRegistry::Seen::leave).answered)
            << "a lookup now reads the storage";
        EXPECT_TRUE(c.finds(registry));
        EXPECT_EQ(storage->loads, 2);
        ASSERT_FALSE(observed.empty());
        EXPECT_EQ(observed.back().size(), 1u);
        EXPECT_TRUE(registry.loadFailed());
    }
}

TEST(DeviceRegistry, ConcurrentPairingsFillExactlyTheTwentySlotsAndObserversNeverSeeAnOlderList)
{
    auto storage = std::make_shared<test::FakeDeviceStorage>();
    DeviceRegistry registry(storage, standingClock);
    std::vector<std::size_t> heard; // observers are called one at a time
    registry.observe([&](const DeviceRegistry::Snapshot& devices) { heard.push_back(devices->size()); });
    std::atomic<int> added = 0, refused = 0;
    {
        std::vector<std::jthread> threads;
        for (int thread = 0; thread < 8; ++thread)
            threads.emplace_back([&] {
                for (int attempt = 0; attempt < 3; ++attempt) {
                    try {
                        auto token = registry.add(std::nullopt).token;
                        added += registry.isKnownToken(token) && registry.deviceForToken(token) ? 1 : 0;
                    } catch (const RelayHTTPError&) {
                        ++refused;
                    }
                }
            });
    }
    EXPECT_EQ(added, 20);
    EXPECT_EQ(refused, 4);
    EXPECT_EQ(storage->stored, registry.all());
    EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
    EXPECT_EQ(heard.back(), 20u);
}

TEST(DeviceRegistry, ARequestDuringAnotherThreadsDeliveryNeitherWaitsForItNorGoesUnheard)
{
    test::ManualClock clock;
    auto storage
        = std::make_shared<test::FakeDeviceStorage>(std::vector { storedDevice("d-1", hashOf("t")) });
    DeviceRegistry registry(storage, clock.function());
    std::mutex lock;
    std::vector<std::optional<PairedDevice::TimePoint>> heard;
    std::promise<void> delivering, release;
    auto released = release.get_future().share();
    registry.observe([&](const DeviceRegistry::Snapshot& devices) {
        std::unique_lock guard(lock);
        heard.push_back(devices->front().lastSeenAt);
        if (heard.size() != 2)
            return;
        guard.unlock();
        delivering.set_value();
        released.wait();
    });
    const auto start = clock.now;
    auto first = std::async(std::launch::async, [&] { return registry.deviceForToken("t").has_value(); });
    delivering.get_future().wait();
    clock.now = start + 10s;
    auto second = std::async(std::launch::async, [&] { return registry.deviceForToken("t").has_value(); });
    EXPECT_EQ(second.wait_for(30s), std::future_status::ready) << "waited for the other delivery";
    release.set_value();
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(second.get());
    std::lock_guard guard(lock);
    EXPECT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard.back(), start + 10s);
}
