#include "Platform/CloudSQLiteDatabase.h"
#include "Platform/CloudPush.h"
#include "tests/Platform/CloudFailure.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace vellumar::platform;
namespace fs = std::filesystem;

namespace {

using vellumar::test::itemErrorCode;

constexpr const char* kContainer = "iCloud.com.zu.plimsor";

class CloudDatabaseTest : public ::testing::Test {
protected:
    vellumar::test::TemporaryFolder root;
    fs::path folder = root / "cloud";
    CloudSQLiteDatabase database { kContainer, { .folder = folder } };

    static CloudRecord note(const std::string& name, const std::string& to = "mac")
    {
        return { "Envelope", name, { { "to", to }, { "size", std::int64_t { 3 } } } };
    }

    void save(
        std::vector<CloudRecord> records, CloudSavePolicy policy = CloudSavePolicy::ifServerRecordUnchanged)
    {
        for (const auto& result : database.saveRecords("zone", records, policy))
            ASSERT_FALSE(result.error) << result.itemID << " " << result.error->code();
    }

    // "e-1" saved in "zone" with an asset uploaded from root/upload holding `content`.
    CloudRecord savedWithAsset(std::string_view content)
    {
        database.saveZone("zone");
        vellumar::test::writeBytes(root / "upload", content);
        auto record = note("e-1");
        record.fields["asset"] = CloudAsset { root / "upload" };
        save({ record });
        return record;
    }

    std::set<std::string> assetNames() { return vellumar::test::namesIn(folder / "assets"); }
};

int codeOf(const std::function<void()>& request)
{
    try {
        request();
    } catch (const CloudDatabaseError& error) {
        return error.code();
    }
    return 0;
}

std::vector<std::string> modifiedNames(const CloudZoneChanges& changes)
{
    std::vector<std::string> names;
    for (const auto& record : changes.modified)
        names.push_back(record.recordName);
    return names;
}

}

TEST_F(CloudDatabaseTest, DatabaseIsAPrivateFileInWriteAheadLogMode)
{
    EXPECT_EQ(vellumar::test::modeOf(folder), 0700u);
    for (const char* subfolder : { "assets", "push" })
        EXPECT_EQ(vellumar::test::modeOf(folder / subfolder), 0700u) << subfolder;
    EXPECT_EQ(vellumar::test::modeOf(database.databaseFile()), 0600u);
    auto mode
        = vellumar::test::runPeer({ "sqlite3", database.databaseFile().string(), "PRAGMA journal_mode;" });
    EXPECT_EQ(mode.output, "wal\n");
    EXPECT_EQ(database.account().status, CloudAccountStatus::available);
    // The same account for every process that opens the file later.
    EXPECT_EQ(CloudSQLiteDatabase(kContainer, { .folder = folder }).account(), database.account());
}

// A home folder moved to another disk and linked back, and a database and folder left wider by hand.
TEST_F(CloudDatabaseTest, OpensThroughALinkedHomeFolderAndNarrowsOnlyThen)
{
    fs::create_directories(root / "disk" / "home");
    fs::create_directory_symlink(root / "disk" / "home", root / "home");
    const fs::path linked = root / "home" / ".local" / "share" / "Vellumar" / "cloud";
    CloudSQLiteDatabase(kContainer, { .folder = linked }).saveZone("zone");
    vellumar::test::runPeer(
        { "chmod", "0755", linked.string(), (linked / "iCloud.com.zu.plimsor.sqlite").string() });

    CloudSQLiteDatabase reopened(kContainer, { .folder = linked });
    EXPECT_FALSE(reopened.saveRecords("zone", { note("e-1") }, CloudSavePolicy::allKeys).front().error);
    EXPECT_EQ(vellumar::test::modeOf(linked), 0700u);
    for (const char* suffix : { ".sqlite", ".sqlite-wal", ".sqlite-shm" })
        EXPECT_EQ(vellumar::test::modeOf(linked / (kContainer + std::string(suffix))), 0600u) << suffix;
}

TEST_F(CloudDatabaseTest, UnusableContainerOrFolderIsRefused)
{
    for (const char* name : { "", "../escape", "a/b", ".hidden" }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(
            codeOf([&] { CloudSQLiteDatabase(name, { .folder = folder }); }), CloudErrorCode::badContainer);
    }
    vellumar::test::writeBytes(root / "file", "not a folder");
    EXPECT_EQ(codeOf([&] { CloudSQLiteDatabase(kContainer, { .folder = root / "file" }); }),
        CloudErrorCode::permissionFailure);
    vellumar::test::writeBytes(root / "other" / "iCloud.com.zu.plimsor.sqlite", std::string(4096, 'x'));
    EXPECT_EQ(codeOf([&] { CloudSQLiteDatabase(kContainer, { .folder = root / "other" }); }),
        CloudErrorCode::badDatabase);
}

TEST_F(CloudDatabaseTest, WriterPastTheBusyTimeoutIsToldToComeBackInOneSecond)
{
    database.saveZone("zone");
    save({ note("kept") });
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(database.databaseFile().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    CloudSQLiteDatabase impatient(
        kContainer, { .folder = folder, .busyTimeout = std::chrono::milliseconds(20) });
    try {
        impatient.saveRecords("zone", { note("waiting") }, CloudSavePolicy::allKeys);
        ADD_FAILURE() << "the write went through a held lock";
    } catch (const CloudDatabaseError& error) {
        EXPECT_EQ(error.code(), CloudErrorCode::requestRateLimited);
        EXPECT_EQ(error.retryAfterSeconds(), 1.0);
    }
    // Readers never wait for a writer in this mode.
    EXPECT_EQ(modifiedNames(impatient.fetchZoneChanges("zone", std::nullopt, std::nullopt)),
        std::vector<std::string> { "kept" });
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    EXPECT_EQ(impatient.saveRecords("zone", { note("waiting") }, CloudSavePolicy::allKeys).front().error,
        std::nullopt);
}

TEST_F(CloudDatabaseTest, AssetsArePrivateCopiesThatLiveAsLongAsTheirRecord)
{
    auto withAsset = savedWithAsset("first");
    ASSERT_EQ(assetNames().size(), 1u);
    fs::path stored = folder / "assets" / *assetNames().begin();
    EXPECT_EQ(vellumar::test::modeOf(stored), 0600u);
    vellumar::test::writeBytes(root / "upload", "second");
    EXPECT_EQ(vellumar::test::readFile(stored), "first");

    auto fetched = database.fetchRecords("zone", { "e-1" }, std::set<std::string> { "asset" });
    ASSERT_TRUE(fetched.front().record);
    EXPECT_EQ(fetched.front().record->fields.size(), 1u);
    const CloudValue* asset = fetched.front().record->field("asset");
    ASSERT_TRUE(asset && std::holds_alternative<CloudAsset>(*asset));
    EXPECT_EQ(std::get<CloudAsset>(*asset).fileURL, stored);

    save({ withAsset }, CloudSavePolicy::allKeys);
    ASSERT_EQ(assetNames().size(), 1u);
    EXPECT_FALSE(fs::exists(stored));
    EXPECT_EQ(vellumar::test::readFile(folder / "assets" / *assetNames().begin()), "second");
    auto refused = database.saveRecords("zone", { withAsset }, CloudSavePolicy::ifServerRecordUnchanged);
    EXPECT_EQ(itemErrorCode(refused.front().error), CloudErrorCode::serverRecordChanged);
    EXPECT_EQ(assetNames().size(), 1u);
    database.deleteRecords("zone", { "e-1" });
    EXPECT_TRUE(assetNames().empty());

    save({ withAsset });
    database.deleteZone("zone");
    EXPECT_TRUE(assetNames().empty());
}

TEST_F(CloudDatabaseTest, OpeningRemovesOnlyOldAssetFilesThatNoRecordNames)
{
    auto withAsset = savedWithAsset("kept");
    ASSERT_EQ(assetNames().size(), 1u);
    std::string stored = *assetNames().begin();
    vellumar::test::writeBytes(folder / "assets" / "orphan-old", "left by a killed writer");
    vellumar::test::writeBytes(folder / "assets" / "orphan-young", "a writer's copy before its commit");
    auto twoHoursAgo = fs::file_time_type::clock::now() - std::chrono::hours(2);
    for (const auto& name : { stored, std::string("orphan-old") })
        fs::last_write_time(folder / "assets" / name, twoHoursAgo);

    CloudSQLiteDatabase reopened(kContainer, { .folder = folder });
    EXPECT_EQ(assetNames(), (std::set<std::string> { stored, "orphan-young" }));
}

TEST_F(CloudDatabaseTest, RecordWhoseAssetCannotBeReadIsNotSaved)
{
    database.saveZone("zone");
    auto missing = note("e-missing");
    missing.fields["asset"] = CloudAsset { root / "absent" };
    auto results = database.saveRecords("zone", { missing, note("e-fine") }, CloudSavePolicy::allKeys);
    ASSERT_TRUE(results[0].error);
    EXPECT_EQ(results[0].error->code(), CloudErrorCode::assetFileNotFound);
    EXPECT_FALSE(results[1].error);
    EXPECT_EQ(modifiedNames(database.fetchZoneChanges("zone", std::nullopt, std::nullopt)),
        std::vector<std::string> { "e-fine" });
    EXPECT_TRUE(assetNames().empty());
}

TEST_F(CloudDatabaseTest, FieldsRoundTripByType)
{
    database.saveZone("zone");
    CloudRecord record { "Envelope", "e-typed",
        { { "text", std::string("a\0b", 3) },
            { "date", CloudDate(std::chrono::nanoseconds(1'765'000'000'123'456'789)) },
            { "number", std::int64_t { -9'000'000'000'000 } }, { "empty", CloudBytes {} },
            { "bytes", CloudBytes { 0, 255, 7 } } } };
    save({ record });
    EXPECT_EQ(database.fetchRecords("zone", { "e-typed" }, std::nullopt).front().record, record);
    EXPECT_EQ(itemErrorCode(database.fetchRecords("zone", { "absent" }, std::nullopt).front().error),
        CloudErrorCode::unknownItem);
}

TEST_F(CloudDatabaseTest, FeedReportsEachRecordOnceAtItsLastChange)
{
    database.saveZone("zone");
    database.setPageLimit(2);
    save({ note("a"), note("b"), note("c") });
    auto first = database.fetchZoneChanges("zone", std::nullopt, std::nullopt);
    EXPECT_EQ(modifiedNames(first), (std::vector<std::string> { "a", "b" }));
    EXPECT_TRUE(first.moreComing);
    // "a" changes between the pages: it moves to the end of the feed and is reported again there.
    save({ note("a", "dev") }, CloudSavePolicy::allKeys);
    auto second = database.fetchZoneChanges("zone", first.token, std::nullopt);
    EXPECT_EQ(modifiedNames(second), (std::vector<std::string> { "c", "a" }));
    EXPECT_FALSE(second.moreComing);

    database.deleteRecords("zone", { "b" });
    auto since = database.fetchZoneChanges("zone", second.token, std::nullopt);
    EXPECT_TRUE(since.modified.empty());
    EXPECT_EQ(since.deletedRecordNames, std::vector<std::string> { "b" });
    // A feed from the start shows what is there and no deletions.
    auto fresh = database.fetchZoneChanges("zone", std::nullopt, std::nullopt);
    EXPECT_EQ(modifiedNames(fresh), (std::vector<std::string> { "c", "a" }));
    EXPECT_TRUE(fresh.deletedRecordNames.empty());
}

TEST_F(CloudDatabaseTest, TokensOfAnotherZoneLifeOrPlaceHaveExpired)
{
    database.saveZone("zone");
    save({ note("a") });
    auto token = database.fetchZoneChanges("zone", std::nullopt, std::nullopt).token;
    const CloudChangeToken forged[] = {
        { token.zoneEpoch + 1, token.changeSequence, false },
        { token.zoneEpoch, token.changeSequence + 1, false },
        { token.zoneEpoch, -1, false },
    };
    for (const auto& bad : forged)
        EXPECT_EQ(codeOf([&] { database.fetchZoneChanges("zone", bad, std::nullopt); }),
            CloudErrorCode::changeTokenExpired);
    database.deleteZone("zone");
    EXPECT_EQ(codeOf([&] { database.fetchZoneChanges("zone", token, std::nullopt); }),
        CloudErrorCode::zoneNotFound);
    database.saveZone("zone");
    EXPECT_EQ(codeOf([&] { database.fetchZoneChanges("zone", token, std::nullopt); }),
        CloudErrorCode::changeTokenExpired);
    EXPECT_EQ(codeOf([&] { database.deleteZone("never"); }), CloudErrorCode::zoneNotFound);
}

TEST_F(CloudDatabaseTest, PushGoesToEveryListenerForCreatedMatchingRecordsOnly)
{
    database.saveZone("zone");
    CloudQuerySubscription toMac { "vl.mac.zone", "Envelope", "zone", { { { "to", "mac" } } },
        { .shouldSendContentAvailable = true } };
    ASSERT_FALSE(database.saveSubscriptions({ toMac }).front().error);
    EXPECT_EQ(database.subscriptions(), std::vector { toMac });
    CloudSocketPushListener first(database.pushFolder());
    CloudSocketPushListener second(database.pushFolder());

    save({ note("e-other", "dev"), note("e-mac") });
    save({ note("e-mac") }, CloudSavePolicy::allKeys);
    save({ { "Presence", "presence", { { "to", "mac" } } } });
    save({ note("e-last") });
    for (auto* listener : { &first, &second }) {
        for (const char* expected : { "e-mac", "e-last" }) {
            auto pushed = listener->receive(std::chrono::seconds(10));
            ASSERT_TRUE(pushed);
            EXPECT_NE(pushed->find(std::string("\"rid\":\"") + expected + "\""), std::string::npos)
                << *pushed;
            EXPECT_NE(pushed->find("\"sid\":\"vl.mac.zone\""), std::string::npos) << *pushed;
        }
        EXPECT_FALSE(listener->receive(std::chrono::milliseconds(0)));
    }
    EXPECT_EQ(itemErrorCode(database.deleteSubscriptions({ "vl.mac.zone", "gone" })[1].error),
        CloudErrorCode::unknownItem);
    save({ note("e-unsubscribed") });
    EXPECT_FALSE(first.receive(std::chrono::milliseconds(0)));
}

TEST_F(CloudDatabaseTest, SocketOfAListenerThatDiedIsRemoved)
{
    fs::path dead = database.pushFolder() / "dead.sock";
    {
        int socket = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address { AF_UNIX, {} };
        dead.native().copy(address.sun_path, dead.native().size());
        ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(socket);
    }
    CloudSocketPushListener alive(database.pushFolder());
    database.setAccount({ CloudAccountStatus::noAccount, "_someone" });
    EXPECT_EQ(alive.receive(std::chrono::seconds(10)), std::string(cloudAccountChangedNotice));
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(alive.socketPath()));
    // Storing the same account again announces nothing.
    database.setAccount({ CloudAccountStatus::noAccount, "_someone" });
    EXPECT_FALSE(alive.receive(std::chrono::milliseconds(0)));
}

TEST_F(CloudDatabaseTest, QueuedFailuresAreTakenOldestFirstAndOnlyByTheirOperation)
{
    database.queueFailure({ "saveEnvelope", 7, 3.0, 2 });
    database.queueFailure({ "saveEnvelope", 25, std::nullopt, 1 });
    EXPECT_EQ(database.takeQueuedFailure("fetchChanges"), std::nullopt);
    std::vector<std::pair<int, std::optional<double>>> taken;
    while (auto failure = database.takeQueuedFailure("saveEnvelope"))
        taken.emplace_back(failure->code(), failure->retryAfterSeconds());
    EXPECT_EQ(taken,
        (std::vector<std::pair<int, std::optional<double>>> {
            { 7, 3.0 }, { 7, 3.0 }, { 25, std::nullopt } }));
}

// Lengths at each edge of the packing's length bytes (up to 127 takes one, up to 16,383 two, up to
// 2,097,151 three), in values and keys, on either database.
TEST(CloudDatabaseOnEither, ValuesAndKeysAtEachEdgeOfALengthByteComeBackWhole)
{
    vellumar::test::TemporaryFolder root;
    vellumar::test::PostgresServer server;
    std::vector<std::pair<std::string, CloudDatabaseChoice>> choices { { "SQLite", {} } };
    if (server.isRunning())
        choices.emplace_back(
            "PostgreSQL", CloudDatabaseChoice { CloudBackend::postgresql, server.conninfo() });
    struct Case {
        std::string key;
        std::size_t valueBytes;
    };
    std::vector<Case> cases { { std::string(127, 'k'), 1 }, { std::string(128, 'k'), 1 } };
    for (std::size_t valueBytes : { 0, 127, 128, 129, 16'383, 16'384, 2'097'152 })
        cases.push_back({ "value", valueBytes });
    for (const auto& [name, choice] : choices) {
        auto database = openCloudDatabase(kContainer, { .folder = root / name, .choice = choice });
        database->saveZone("zone");
        for (const auto& row : cases) {
            SCOPED_TRACE(name + ": a key of " + std::to_string(row.key.size()) + " bytes, a value of "
                + std::to_string(row.valueBytes));
            const CloudRecord record { "Envelope", "r",
                { { row.key, CloudBytes(row.valueBytes, 0xa5) }, { "z", std::string("after") } } };
            ASSERT_FALSE(database->saveRecords("zone", { record }, CloudSavePolicy::allKeys).front().error);
            auto fetched = database->fetchRecords("zone", { "r" }, std::nullopt).front().record;
            EXPECT_TRUE(fetched == record)
                << "it came back with " << (fetched ? fetched->fields.size() : 0) << " fields";
        }
    }
    if (!server.isRunning())
        GTEST_SKIP() << "PostgreSQL cannot start here, SQLite alone was tried: " << server.failure();
}
