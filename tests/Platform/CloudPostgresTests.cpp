#include "Platform/CloudPostgres.h"
#include "tests/Platform/CloudFailure.h"
#include "tests/support/PostgresServer.h"

#include <gtest/gtest.h>

#include <functional>

using namespace vellumar::platform;

namespace {

using vellumar::test::CloudFailure;
using vellumar::test::cloudFailureOf;

class CloudPostgresTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!server.isRunning())
            GTEST_SKIP() << "PostgreSQL cannot start here: " << server.failure();
        connection = std::make_unique<CloudPostgresConnection>(server.conninfo());
        connection->run("CREATE TABLE items(id INTEGER PRIMARY KEY, label TEXT, body BYTEA)");
        connection->run("INSERT INTO items(id, label) VALUES(1, 'first')");
    }

    CloudPostgresConnection second() { return CloudPostgresConnection(server.conninfo()); }

    vellumar::test::PostgresServer server;
    std::unique_ptr<CloudPostgresConnection> connection;
};

CloudBytes everyByteValue()
{
    CloudBytes bytes;
    for (int value = 0; value < 256; ++value)
        bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

TEST_F(CloudPostgresTest, BytesComeBackAsSentAndEmptyIsNotNull)
{
    for (const CloudBytes& sent : { CloudBytes {}, everyByteValue() }) {
        connection->run("UPDATE items SET body = $1 WHERE id = 1", { sent });
        auto rows = connection->run("SELECT body FROM items WHERE id = 1");
        ASSERT_EQ(rows.count(), 1);
        EXPECT_FALSE(rows.isNull(0, 0));
        EXPECT_EQ(rows.bytes(0, 0), sent);
    }
}

TEST_F(CloudPostgresTest, ParametersStayDataAndNullStaysNull)
{
    const std::string hostile = "x'); DROP TABLE items; --";
    connection->run("INSERT INTO items(id, label) VALUES($1, $2), (3, $3)",
        { std::string("2"), hostile, std::monostate {} });
    auto rows = connection->run("SELECT label FROM items WHERE id >= 2 ORDER BY id");
    ASSERT_EQ(rows.count(), 2);
    EXPECT_EQ(rows.text(0, 0), hostile);
    EXPECT_TRUE(rows.isNull(1, 0));
}

TEST_F(CloudPostgresTest, TextWithAZeroByteIsRefusedNotCut)
{
    std::string cut("before\0after", 12);
    EXPECT_EQ(cloudFailureOf([&] { connection->run("UPDATE items SET label = $1", { cut }); }).code,
        CloudErrorCode::invalidArguments);
    EXPECT_EQ(connection->run("SELECT label FROM items WHERE id = 1").text(0, 0), "first");
}

TEST_F(CloudPostgresTest, ANonNumberIsNotReadAsAnInteger)
{
    auto rows = connection->run("SELECT label FROM items WHERE id = 1");
    EXPECT_EQ(cloudFailureOf([&] { rows.integer(0, 0); }).code, CloudErrorCode::internalError);
    EXPECT_EQ(connection->run("SELECT -9000000000000000000").integer(0, 0), -9000000000000000000);
}

TEST_F(CloudPostgresTest, ATransactionNotCommittedLeavesNothing)
{
    {
        CloudPostgresTransaction transaction(*connection);
        connection->run("DELETE FROM items");
    }
    EXPECT_EQ(connection->run("SELECT id FROM items").count(), 1);
    {
        CloudPostgresTransaction transaction(*connection);
        connection->run("DELETE FROM items");
        transaction.commit();
    }
    EXPECT_EQ(connection->run("SELECT id FROM items").count(), 0);
}

TEST_F(CloudPostgresTest, AConcurrentWriteIsRateLimitedWithARetryAfter)
{
    auto other = second();
    CloudPostgresTransaction transaction(*connection);
    connection->run("SELECT label FROM items WHERE id = 1");
    other.run("UPDATE items SET label = 'theirs' WHERE id = 1");
    CloudFailure failure
        = cloudFailureOf([&] { connection->run("UPDATE items SET label = 'mine' WHERE id = 1"); });
    EXPECT_EQ(failure.code, CloudErrorCode::requestRateLimited);
    EXPECT_GT(failure.retryAfter.value_or(0), 0);
}

TEST_F(CloudPostgresTest, ALockHeldPastTheTimeOutIsRateLimited)
{
    auto other = second();
    CloudPostgresTransaction holding(other);
    other.run("LOCK TABLE items");
    connection->run("SET lock_timeout = '20ms'");
    CloudFailure failure = cloudFailureOf([&] { connection->run("SELECT label FROM items"); });
    EXPECT_EQ(failure.code, CloudErrorCode::requestRateLimited);
    EXPECT_GT(failure.retryAfter.value_or(0), 0);
}

TEST_F(CloudPostgresTest, AKilledConnectionIsANetworkFailureAndNotReused)
{
    auto pid = connection->run("SELECT pg_backend_pid()").text(0, 0);
    // Waits for the server process to end, so the next statement meets a closed connection.
    second().run("SELECT pg_terminate_backend($1::integer, 5000)", { pid });
    EXPECT_EQ(cloudFailureOf([&] { connection->run("SELECT 1"); }).code, CloudErrorCode::networkFailure);
    EXPECT_FALSE(connection->isUsable());
}

TEST_F(CloudPostgresTest, AMissingSchemaIsAMissingZone)
{
    for (const char* sql : { "SELECT * FROM absent.items", "CREATE TABLE absent.items(id INTEGER)" })
        EXPECT_EQ(cloudFailureOf([&] { connection->run(sql); }).code, CloudErrorCode::zoneNotFound) << sql;
    EXPECT_TRUE(connection->isUsable());
}

TEST_F(CloudPostgresTest, NoServerAtTheAddressIsANetworkFailure)
{
    vellumar::test::TemporaryFolder empty;
    EXPECT_EQ(cloudFailureOf([&] {
        CloudPostgresConnection("host=" + empty.path().string() + " user=vellumar connect_timeout=2");
    }).code,
        CloudErrorCode::networkFailure);
}

}
