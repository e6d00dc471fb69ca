#include "Platform/CloudPostgresDatabase.h"
#include "Platform/CloudPostgres.h"
#include "Platform/CloudPostgresSchema.h"
#include "Platform/CloudPush.h"
#include "tests/Platform/CloudFailure.h"
#include "tests/Platform/CloudPostgresLayout1.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/PostgresServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <functional>
#include <thread>

using namespace vellumar::platform;
namespace fs = std::filesystem;

namespace {

using vellumar::test::CloudFailure;
using vellumar::test::cloudFailureOf;

constexpr const char* kContainer = "iCloud.com.zu.plimsor";
constexpr std::size_t kMebibyte = 1024 * 1024;

// Asks again until `condition` holds or 20 s pass.
bool waitUntil(const std::function<bool()>& condition)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

class CloudPostgresDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!server.isRunning())
            GTEST_SKIP() << "PostgreSQL cannot start here: " << server.failure();
        database = open(root / "cloud");
        database->saveZone("zone");
    }

    std::unique_ptr<CloudPostgresDatabase> open(
        const fs::path& folder, std::chrono::milliseconds busyTimeout = std::chrono::milliseconds(5000))
    {
        return std::make_unique<CloudPostgresDatabase>(kContainer,
            CloudDatabaseOptions { .folder = folder,
                .busyTimeout = busyTimeout,
                .choice = CloudDatabaseChoice { CloudBackend::postgresql, server.conninfo() } });
    }

    // A connection of its own in the account's schema, as another machine's would be.
    std::unique_ptr<CloudPostgresConnection> other()
    {
        auto connection = std::make_unique<CloudPostgresConnection>(server.conninfo());
        connection->run("SELECT set_config('search_path', $1, false)", { database->schema() });
        return connection;
    }

    fs::path fileOf(std::size_t size, const std::string& name)
    {
        std::string bytes(size, '\0');
        for (std::size_t index = 0; index < size; ++index)
            bytes[index] = static_cast<char>((index * 7919) >> 3);
        vellumar::test::writeBytes(root / name, bytes);
        return root / name;
    }

    vellumar::test::PostgresServer server;
    vellumar::test::TemporaryFolder root;
    std::unique_ptr<CloudPostgresDatabase> database;
};

CloudRecord envelope(const std::string& name)
{
    return { "Envelope", name, { { "to", std::string("mac") }, { "size", std::int64_t { 3 } } } };
}

TEST_F(CloudPostgresDatabaseTest, AssetsOfEverySizeAroundTheirPartsComeBackByteForByte)
{
    for (std::size_t size : { std::size_t { 0 }, std::size_t { 1 }, kMebibyte - 1, kMebibyte, kMebibyte + 1,
             2 * kMebibyte + 7 }) {
        SCOPED_TRACE(size);
        fs::path sent = fileOf(size, "upload-" + std::to_string(size));
        std::string name = "e-" + std::to_string(size);
        CloudRecord record = envelope(name);
        record.fields["asset"] = CloudAsset { sent };
        ASSERT_FALSE(database->saveRecords("zone", { record }, CloudSavePolicy::allKeys).front().error);
        // Another machine's cloud folder fetches the asset from the server, not from this folder.
        auto elsewhere = open(root / "elsewhere");
        auto fetched = elsewhere->fetchRecords("zone", { name }, std::set<std::string> { "asset" });
        ASSERT_TRUE(fetched.front().record);
        const CloudValue* value = fetched.front().record->field("asset");
        ASSERT_TRUE(value && std::holds_alternative<CloudAsset>(*value));
        const auto& asset = std::get<CloudAsset>(*value);
        EXPECT_EQ(vellumar::test::readFile(asset.fileURL), vellumar::test::readFile(sent));
        EXPECT_TRUE(asset.fileURL.string().starts_with((root / "elsewhere").string()));
        // A feed page read where the asset is not cached yet fetches it as well.
        auto page = open(root / ("feed-" + name))->fetchZoneChanges("zone", std::nullopt, std::nullopt);
        auto fed = std::find_if(page.modified.begin(), page.modified.end(),
            [&](const CloudRecord& candidate) { return candidate.recordName == name; });
        ASSERT_NE(fed, page.modified.end());
        const CloudValue* fedAsset = fed->field("asset");
        ASSERT_TRUE(fedAsset && std::holds_alternative<CloudAsset>(*fedAsset));
        EXPECT_EQ(vellumar::test::readFile(std::get<CloudAsset>(*fedAsset).fileURL),
            vellumar::test::readFile(sent));
    }
}

TEST_F(CloudPostgresDatabaseTest, FeedReadsEveryTypeAtItsLimitsAsItWasSaved)
{
    struct Case {
        const char* name;
        CloudValue value;
    };
    const std::vector<Case> cases {
        { "smallest number", std::numeric_limits<std::int64_t>::min() },
        { "largest number", std::numeric_limits<std::int64_t>::max() },
        { "minus one", std::int64_t { -1 } },
        { "zero", std::int64_t { 0 } },
        { "date before 1970", CloudDate(std::chrono::nanoseconds(-1'234'567'891)) },
        { "empty bytes", CloudBytes {} },
        { "bytes with zeros and high bits", CloudBytes { 0, 255, 0, 128, 127 } },
        { "text beyond ASCII", std::string("caf\u00e9 \\x") },
        { "empty text", std::string() },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        CloudRecord record { "Envelope", testCase.name, { { "value", testCase.value } } };
        ASSERT_FALSE(database->saveRecords("zone", { record }, CloudSavePolicy::allKeys).front().error);
        auto changes = database->fetchZoneChanges("zone", std::nullopt, std::nullopt);
        auto fed = std::find_if(changes.modified.begin(), changes.modified.end(),
            [&](const CloudRecord& candidate) { return candidate.recordName == testCase.name; });
        ASSERT_NE(fed, changes.modified.end());
        EXPECT_EQ(*fed, record);
    }
}

TEST_F(CloudPostgresDatabaseTest, ARecordWhoseAssetCannotBeReadStoresNothingAndTheOthersStay)
{
    CloudRecord unreadable = envelope("e-missing");
    unreadable.fields["asset"] = CloudAsset { root / "absent" };
    auto results
        = database->saveRecords("zone", { envelope("e-first"), unreadable }, CloudSavePolicy::allKeys);
    EXPECT_FALSE(results[0].error);
    ASSERT_TRUE(results[1].error);
    EXPECT_EQ(results[1].error->code(), CloudErrorCode::assetFileNotFound);
    auto fetched = database->fetchRecords("zone", { "e-first", "e-missing" }, std::nullopt);
    EXPECT_TRUE(fetched[0].record);
    EXPECT_EQ(vellumar::test::itemErrorCode(fetched[1].error), CloudErrorCode::unknownItem);
    EXPECT_EQ(other()->run("SELECT count(*) FROM assets").integer(0, 0), 0);
}

TEST_F(CloudPostgresDatabaseTest, AReplacedOrDeletedRecordTakesItsAssetPartsWithIt)
{
    CloudRecord record = envelope("e-1");
    record.fields["asset"] = CloudAsset { fileOf(kMebibyte + 1, "upload") };
    database->saveRecords("zone", { record }, CloudSavePolicy::allKeys);
    database->saveRecords("zone", { record }, CloudSavePolicy::allKeys);
    EXPECT_EQ(other()->run("SELECT count(DISTINCT name) FROM assets").integer(0, 0), 1);
    database->deleteRecords("zone", { "e-1" });
    EXPECT_EQ(other()->run("SELECT count(*) FROM assets").integer(0, 0), 0);
}

TEST_F(CloudPostgresDatabaseTest, AWriterWaitingPastTheBusyTimeOutIsRateLimitedWhileReadersGoOn)
{
    auto impatient = open(root / "cloud", std::chrono::milliseconds(50));
    auto holder = other();
    CloudPostgresTransaction holding(*holder);
    holder->run("LOCK TABLE feed IN EXCLUSIVE MODE");
    CloudFailure failure = cloudFailureOf(
        [&] { impatient->saveRecords("zone", { envelope("e-1") }, CloudSavePolicy::allKeys); });
    EXPECT_EQ(failure.code, CloudErrorCode::requestRateLimited);
    EXPECT_GT(failure.retryAfter.value_or(0), 0);
    EXPECT_EQ(
        cloudFailureOf([&] { impatient->fetchZoneChanges("zone", std::nullopt, std::nullopt); }).code, 0);
}

TEST_F(CloudPostgresDatabaseTest, ADroppedSchemaIsAMissingZoneForEveryRequest)
{
    other()->run("DROP SCHEMA " + database->schema() + " CASCADE");
    for (const auto& [name, request] :
        std::vector<std::pair<std::string, std::function<void()>>> {
            { "save", [&] { database->saveRecords("zone", { envelope("e-1") }, CloudSavePolicy::allKeys); } },
            { "feed", [&] { database->fetchZoneChanges("zone", std::nullopt, std::nullopt); } },
            { "fetch", [&] { database->fetchRecords("zone", { "e-1" }, std::nullopt); } },
            { "zone", [&] { database->saveZone("zone"); } } }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(cloudFailureOf(request).code, CloudErrorCode::zoneNotFound);
    }
    // Opening the container again makes its schema anew.
    EXPECT_EQ(cloudFailureOf([&] { open(root / "cloud")->saveZone("zone"); }).code, 0);
}

TEST_F(CloudPostgresDatabaseTest, ConnectionsBrokenByARestartAreReplacedBeforeTheNextRequest)
{
    database->saveRecords("zone", { envelope("e-1") }, CloudSavePolicy::allKeys);
    ASSERT_TRUE(server.restart());
    EXPECT_EQ(cloudFailureOf([&] {
        database->saveRecords("zone", { envelope("e-2") }, CloudSavePolicy::allKeys);
    }).code,
        0);
    EXPECT_EQ(database->fetchZoneChanges("zone", std::nullopt, std::nullopt).modified.size(), 2u);
}

TEST_F(CloudPostgresDatabaseTest, ASaveWhoseConnectionIsKilledIsANetworkFailureAndItsRetryStoresOneRow)
{
    auto holder = other();
    auto holding = std::make_unique<CloudPostgresTransaction>(*holder);
    holder->run("LOCK TABLE feed IN EXCLUSIVE MODE");
    CloudFailure failure;
    std::jthread saving([&] {
        failure = cloudFailureOf([&] {
            database->saveRecords("zone", { envelope("e-1") }, CloudSavePolicy::ifServerRecordUnchanged);
        });
    });
    auto watcher = other();
    const std::string waiting
        = "SELECT pid FROM pg_stat_activity WHERE wait_event_type = 'Lock' AND query LIKE 'LOCK TABLE feed%'";
    ASSERT_TRUE(waitUntil([&] { return watcher->run(waiting).count() == 1; }));
    watcher->run("SELECT pg_terminate_backend($1::integer, 5000)", { watcher->run(waiting).text(0, 0) });
    saving.join();
    EXPECT_EQ(failure.code, CloudErrorCode::networkFailure);
    holding.reset();

    EXPECT_FALSE(database->saveRecords("zone", { envelope("e-1") }, CloudSavePolicy::ifServerRecordUnchanged)
                     .front()
                     .error);
    EXPECT_EQ(other()->run("SELECT count(*) FROM records WHERE name = 'e-1'").integer(0, 0), 1);
    EXPECT_EQ(other()->run("SELECT last_sequence FROM feed").integer(0, 0), 1);
}

TEST_F(CloudPostgresDatabaseTest, ContainersOpenedAtOnceOnAFreshServerAllSucceed)
{
    constexpr int kOpeners = 6;
    std::vector<int> codes(kOpeners, -1);
    {
        std::vector<std::jthread> openers;
        for (int index = 0; index < kOpeners; ++index)
            openers.emplace_back([&, index] {
                codes[index] = cloudFailureOf([&] {
                    CloudPostgresDatabase("com.example.fresh",
                        { .folder = root / ("fresh" + std::to_string(index)),
                            .choice = CloudDatabaseChoice { CloudBackend::postgresql, server.conninfo() } })
                        .saveZone("zone");
                }).code;
            });
    }
    EXPECT_EQ(codes, std::vector<int>(kOpeners, 0));
}

TEST_F(CloudPostgresDatabaseTest, AListenerHearsOnlyCommittedCreationsAndTheAccountNotice)
{
    database->saveSubscriptions({ { "mac-sub", "Envelope", "zone", { { { "to", "mac" } } }, { true } } });
    auto listener = database->listenForPushes();
    database->saveRecords("zone", { envelope("e-1") }, CloudSavePolicy::allKeys);
    auto push = listener->receive(std::chrono::seconds(20));
    ASSERT_TRUE(push);
    EXPECT_NE(push->find("\"rid\":\"e-1\""), std::string::npos) << *push;
    // Saving over it, or a save refused, notifies nobody.
    database->saveRecords("zone", { envelope("e-1") }, CloudSavePolicy::allKeys);
    database->saveRecords("zone", { envelope("e-1") }, CloudSavePolicy::ifServerRecordUnchanged);
    auto account = database->account();
    account.status = CloudAccountStatus::noAccount;
    database->setAccount(account);
    EXPECT_EQ(listener->receive(std::chrono::seconds(20)), std::string(cloudAccountChangedNotice));
}

TEST_F(CloudPostgresDatabaseTest, AListenerWhoseConnectionWasLostCatchesUpWithAPushPerSubscription)
{
    database->saveSubscriptions({ { "mac-sub", "Envelope", "zone", { { { "to", "mac" } } }, { true } } });
    auto listener = database->listenForPushes();
    auto watcher = other();
    watcher->run("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE query LIKE 'LISTEN %'");
    // Its notice goes out while nobody listens.
    database->saveRecords("zone", { envelope("e-1") }, CloudSavePolicy::allKeys);
    auto push = listener->receive(std::chrono::seconds(20));
    ASSERT_TRUE(push);
    EXPECT_NE(push->find("\"sid\":\"mac-sub\""), std::string::npos) << *push;
    // Listening again, it hears the next save as it happens.
    database->saveRecords("zone", { envelope("e-2") }, CloudSavePolicy::allKeys);
    push = listener->receive(std::chrono::seconds(20));
    ASSERT_TRUE(push);
    EXPECT_NE(push->find("\"rid\":\"e-2\""), std::string::npos) << *push;
}

TEST_F(CloudPostgresDatabaseTest, AListenerOutlastsARestartOfTheServer)
{
    database->saveSubscriptions({ { "mac-sub", "Envelope", "zone", { { { "to", "mac" } } }, { true } } });
    auto listener = database->listenForPushes();
    ASSERT_TRUE(server.restart());
    database->saveRecords("zone", { envelope("e-1") }, CloudSavePolicy::allKeys);
    // Whether it came back before or after the save, the save reaches it.
    auto push = listener->receive(std::chrono::seconds(20));
    ASSERT_TRUE(push);
    EXPECT_NE(push->find("\"sid\":\"mac-sub\""), std::string::npos) << *push;
}

class CloudPostgresCredentialsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!server.isRunning())
            GTEST_SKIP() << "PostgreSQL cannot start here: " << server.failure();
    }

    vellumar::test::PostgresServer server { { .password = "right horse battery" } };
};

TEST_F(CloudPostgresCredentialsTest, CredentialsTheServerRefusesAreNotAuthenticatedNotANetworkFailure)
{
    struct Case {
        std::string name;
        std::string extra;
        int expected;
    };
    for (const Case& c : std::vector<Case> {
             { "right password", " password='right horse battery'", 0 },
             { "wrong password", " password=wrong", CloudErrorCode::notAuthenticated },
             { "no password", "", CloudErrorCode::notAuthenticated },
             { "unknown user", " user=nobody password=wrong", CloudErrorCode::notAuthenticated },
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(
            cloudFailureOf([&] { CloudPostgresConnection(server.conninfo() + c.extra); }).code, c.expected);
    }
}

}

TEST_F(CloudPostgresDatabaseTest, ALayout1SchemaIsPackedOnOpeningAndANewerOrFailedOneStaysAsItWas)
{
    struct Case {
        const char* name;
        std::string afterLayout1;
        int expectedCode;
        std::vector<std::string> logged = {};
        // The record the carry-over makes the feed's latest change, when there is one.
        std::optional<CloudRecord> appended = std::nullopt;
        // A line another process adds as the first is logged, which the next opening logs.
        std::string addedWhileLogging = {};
    };
    const std::string failingPacking
        = "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN IF NEW.name = 'later' AND "
          "NEW.fields IS NOT NULL THEN RAISE 'refused'; END IF; RETURN NEW; END$$; CREATE TRIGGER refuse "
          "BEFORE UPDATE ON records FOR EACH ROW EXECUTE FUNCTION refuse();";
    // Without the sequence, whose numbers no rollback gives back.
    const std::string linesToLog = "CREATE TABLE lines_to_log(id BIGINT, line TEXT NOT NULL);";
    const std::string forgedLine = "forged?cloud database repaired: forged line?[2J";
    std::vector<std::string> manyLines;
    for (int line = 1; line <= 100; ++line)
        manyLines.push_back("line " + std::to_string(line));
    manyLines.push_back("cloud database kept 1900 more lines to log; they are left out");
    const std::vector<Case> cases {
        { "layout 1", "", 0 },
        { "rows no reader of layout 1 could read, and a record missing from the feed",
            "INSERT INTO fields VALUES('zone', 'kinds', 'no date', 1, NULL, NULL, NULL), "
            "('zone', 'kinds', 'no number', 2, NULL, NULL, NULL), ('zone', 'kinds', 'odd', 9, 'x', 5, NULL); "
            "INSERT INTO records VALUES('zone', 'unfed', 'Envelope'); "
            "INSERT INTO fields VALUES('zone', 'unfed', 'to', 0, 'mac', NULL, NULL);",
            0,
            { "cloud record damaged: 3 fields of record \"kinds\" in zone \"zone\" could not be read; the "
              "record is carried over without them",
                "cloud record damaged: record \"unfed\" in zone \"zone\" had no place in the change feed; it "
                "is carried over as the feed's latest change" },
            CloudRecord { "Envelope", "unfed", { { "to", std::string("mac") } } } },
        { "a newer layout",
            "CREATE TABLE schema_version(id INTEGER PRIMARY KEY, version INTEGER); "
            "INSERT INTO schema_version VALUES(1, 3);",
            CloudErrorCode::incompatibleVersion,
            { "cloud database refused: its schema version 3 is newer than this program's 2; it is left as it "
              "is" } },
        { "packing fails half way", failingPacking, CloudErrorCode::internalError,
            { "cloud database refused: cloud database error 1 (refused); it is left as it is" } },
        // Nothing is said of the damage met by work rolled back.
        { "a field no reader could read, then packing fails half way",
            "INSERT INTO fields VALUES('zone', 'kinds', 'odd', 9, 'x', 5, NULL); " + failingPacking,
            CloudErrorCode::internalError,
            { "cloud database refused: cloud database error 1 (refused); it is left as it is" } },
        // Work whose lines cannot be kept for the log is rolled back with them.
        { "a field no reader could read, its line refused",
            "INSERT INTO fields VALUES('zone', 'kinds', 'odd', 9, 'x', 5, NULL); " + linesToLog
                + "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN RAISE 'refused'; "
                  "END$$; CREATE TRIGGER refuse BEFORE INSERT ON lines_to_log FOR EACH ROW EXECUTE "
                  "FUNCTION refuse();",
            CloudErrorCode::internalError,
            { "cloud database refused: cloud database error 1 (refused); it is left as it is" } },
        { "a line another writer left to log",
            linesToLog
                + "INSERT INTO lines_to_log(line) VALUES(E'forged\\ncloud database repaired: forged "
                  "line\\x1b[2J' || repeat('0', 1000000));",
            0, { forgedLine + std::string(64 - forgedLine.size(), '0') + "..." } },
        { "2,000 lines other writers left to log",
            linesToLog
                + "INSERT INTO lines_to_log SELECT i, 'line ' || i FROM generate_series(1, 2000) AS i;",
            0, manyLines },
        { "a line another writer adds as one is logged",
            linesToLog + "INSERT INTO lines_to_log VALUES(1, 'first');", 0, { "first" }, std::nullopt,
            "second" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::string container = std::string("com.example.layout.") + std::to_string(&testCase - cases.data());
        std::string schema = cloudPostgresSchemaName(container);
        auto psql = [&](const std::vector<std::string>& arguments, const std::string& input) {
            std::vector<std::string> argv { "psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-v",
                "schema=" + schema, "-d", server.conninfo() };
            argv.insert(argv.end(), arguments.begin(), arguments.end());
            return vellumar::test::runPeer(argv, input);
        };
        ASSERT_EQ(psql({}, vellumar::test::kLayout1 + testCase.afterLayout1).exitStatus, 0);
        auto dump = [&] {
            return vellumar::test::runPeer(
                { "pg_dump", "--restrict-key=same", "-n", schema, server.conninfo() })
                .output;
        };
        std::string before = dump();
        auto open = [&] {
            return std::make_unique<CloudPostgresDatabase>(container,
                CloudDatabaseOptions { .folder = root / container,
                    .choice = CloudDatabaseChoice { CloudBackend::postgresql, server.conninfo() } });
        };
        std::unique_ptr<CloudPostgresDatabase> opened;
        {
            vellumar::test::CapturedLog log;
            LogSink captured;
            if (!testCase.addedWhileLogging.empty())
                captured = replaceLogSink([&](std::string_view line) {
                    if (log.lines().empty()) {
                        EXPECT_EQ(psql({},
                                      "INSERT INTO :schema.lines_to_log VALUES(2, '"
                                          + testCase.addedWhileLogging + "');")
                                      .exitStatus,
                            0);
                    }
                    captured(line);
                });
            EXPECT_EQ(cloudFailureOf([&] { opened = open(); }).code, testCase.expectedCode);
            if (captured)
                replaceLogSink(std::move(captured));
            EXPECT_EQ(log.lines(), testCase.logged);
        }
        if (testCase.expectedCode != 0) {
            EXPECT_EQ(dump(), before);
            continue;
        }
        if (!opened)
            continue;
        EXPECT_EQ(opened->userRecordName(), "_0123456789abcdef0123456789abcdef");
        auto fetched = opened->fetchRecords("zone", { "kinds", "bare" }, std::nullopt);
        ASSERT_TRUE(fetched[0].record && fetched[1].record);
        CloudRecord kinds = *fetched[0].record;
        const CloudValue* asset = kinds.field("asset");
        ASSERT_TRUE(asset && std::holds_alternative<CloudAsset>(*asset));
        EXPECT_EQ(vellumar::test::readFile(std::get<CloudAsset>(*asset).fileURL), "first second");
        kinds.fields.erase("asset");
        EXPECT_EQ(kinds,
            (CloudRecord { "Envelope", "kinds",
                { { "empty", std::string() }, { "text", std::string("caf\u00e9 \"q\" \\") },
                    { "date", CloudDate(std::chrono::nanoseconds(-1'234'567'891)) },
                    { "least", std::numeric_limits<std::int64_t>::min() },
                    { "most", std::numeric_limits<std::int64_t>::max() },
                    { "bytes", CloudBytes { 0, 255, 0, 128 } }, { "none", CloudBytes {} } } }));
        EXPECT_EQ(*fetched[1].record, (CloudRecord { "Presence", "bare", {} }));
        // A token saved before the change of layout reads the rest of the feed.
        auto changes = opened->fetchZoneChanges("zone", CloudChangeToken { 77, 1, false }, std::nullopt);
        const std::int64_t appended = testCase.appended ? 1 : 0;
        ASSERT_EQ(changes.modified.size(), 2u + appended);
        EXPECT_EQ(
            changes.modified[1], (CloudRecord { "Envelope", "later", { { "to", std::string("mac") } } }));
        if (testCase.appended) {
            EXPECT_EQ(changes.modified[2], *testCase.appended);
        }
        EXPECT_EQ(changes.deletedRecordNames, std::vector<std::string> { "gone" });
        EXPECT_EQ(changes.token, (CloudChangeToken { 77, 4 + appended, false }));
        // A phone that had read the whole feed before the carry-over gets what it added, and only that.
        auto sinceLastHeld
            = opened->fetchZoneChanges("zone", CloudChangeToken { 77, 4, false }, std::nullopt);
        EXPECT_EQ(sinceLastHeld.modified,
            testCase.appended ? std::vector<CloudRecord> { *testCase.appended }
                              : std::vector<CloudRecord> {});
        // The feed goes on after the carry-over's last change.
        opened->saveRecords("zone", { { "Envelope", "next", {} } }, CloudSavePolicy::allKeys);
        EXPECT_EQ(opened->fetchZoneChanges("zone", changes.token, std::nullopt).modified,
            (std::vector<CloudRecord> { { "Envelope", "next", {} } }));
        EXPECT_EQ(opened->subscriptions(),
            (std::vector<CloudQuerySubscription> {
                { "mac-sub", "Envelope", "zone", { { { "to", "mac" } } }, { true } } }));
        vellumar::test::CapturedLog again;
        open();
        EXPECT_EQ(again.lines(),
            testCase.addedWhileLogging.empty() ? std::vector<std::string> {}
                                               : std::vector { testCase.addedWhileLogging })
            << "a line was logged twice, or one added as another was logged was lost";
    }
}
