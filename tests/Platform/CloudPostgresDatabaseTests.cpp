#include "Platform/CloudPostgresDatabase.h"
#include "Platform/CloudPostgres.h"
#include "Platform/CloudPush.h"
#include "tests/support/FileFixtures.h"
#include "tests/Platform/CloudFailure.h"
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
        const auto& asset = std::get<CloudAsset>(*fetched.front().record->field("asset"));
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
    EXPECT_EQ(fetched[1].error->code(), CloudErrorCode::unknownItem);
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
    EXPECT_EQ(other()->run("SELECT count(*) FROM changes WHERE record = 'e-1'").integer(0, 0), 1);
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
