#include "Platform/CloudPostgresSchema.h"

#include "Platform/Crypto.h"
#include "Platform/Random.h"

namespace vellumar::platform {

namespace {

    // Idle connections kept for the next request; more are opened while more threads call at once.
    constexpr std::size_t kMaxIdleConnections = 8;
    constexpr std::size_t kSchemaHashBytes = 16;
    constexpr std::size_t kUserRecordNameBytes = 16;

    // As the SQLite database's tables, with each field's value in the column of its kind, assets as
    // numbered parts of at most a mebibyte (so that neither side ever holds one whole), and the feed's
    // last sequence in a row of its own: writers lock that table before their first read, which
    // orders them as their commits are ordered, so a reader past sequence n never misses a change
    // that commits later with a lower number.
    constexpr const char* kTables = R"sql(
        CREATE TABLE IF NOT EXISTS zones(name TEXT PRIMARY KEY, epoch BIGINT NOT NULL);
        CREATE TABLE IF NOT EXISTS records(zone TEXT NOT NULL, name TEXT NOT NULL, type TEXT NOT NULL,
            PRIMARY KEY(zone, name));
        CREATE TABLE IF NOT EXISTS fields(zone TEXT NOT NULL, record TEXT NOT NULL, key TEXT NOT NULL,
            kind SMALLINT NOT NULL, text_value TEXT, number BIGINT, bytes BYTEA,
            PRIMARY KEY(zone, record, key));
        CREATE TABLE IF NOT EXISTS assets(name TEXT NOT NULL, part INTEGER NOT NULL, bytes BYTEA NOT NULL,
            PRIMARY KEY(name, part));
        CREATE TABLE IF NOT EXISTS changes(sequence BIGINT PRIMARY KEY, zone TEXT NOT NULL,
            record TEXT NOT NULL, deleted BOOLEAN NOT NULL, UNIQUE(zone, record));
        CREATE INDEX IF NOT EXISTS changes_by_zone ON changes(zone, sequence);
        CREATE TABLE IF NOT EXISTS subscriptions(id TEXT PRIMARY KEY, zone TEXT NOT NULL,
            record_type TEXT NOT NULL, content_available BOOLEAN NOT NULL, title_key TEXT, body_key TEXT,
            sound TEXT);
        CREATE TABLE IF NOT EXISTS subscription_clauses(subscription TEXT NOT NULL, position INTEGER NOT NULL,
            key TEXT NOT NULL, value TEXT NOT NULL, PRIMARY KEY(subscription, position));
        CREATE TABLE IF NOT EXISTS account(id INTEGER PRIMARY KEY CHECK(id = 1), status INTEGER NOT NULL,
            user_record_name TEXT NOT NULL);
        CREATE TABLE IF NOT EXISTS queued_failures(id BIGSERIAL PRIMARY KEY, operation TEXT NOT NULL,
            code INTEGER NOT NULL, retry_after DOUBLE PRECISION, remaining INTEGER NOT NULL);
        CREATE TABLE IF NOT EXISTS feed(id INTEGER PRIMARY KEY CHECK(id = 1), last_sequence BIGINT NOT NULL);
    )sql";

    std::optional<std::string> optionalText(const CloudPostgresRows& rows, int row, int column)
    {
        return rows.isNull(row, column) ? std::nullopt : std::optional(rows.text(row, column));
    }

    CloudPostgresValue optionalValue(const std::optional<std::string>& text)
    {
        return text ? CloudPostgresValue(*text) : CloudPostgresValue();
    }

}

std::string cloudPostgresSchemaName(std::string_view containerIdentifier)
{
    auto digest = sha256(containerIdentifier);
    return "vellumar_" + lowercaseHex(std::span(digest).first(kSchemaHashBytes));
}

void prepareCloudPostgresSchema(CloudPostgresConnection& connection, const std::string& schema)
{
    // The last table made tells that the rest is there: an existing schema needs no write, and no
    // right to create one.
    if (!connection.run("SELECT to_regclass($1)", { schema + ".feed" }).isNull(0, 0))
        return;
    CloudPostgresTransaction transaction(connection, CloudPostgresIsolation::readCommitted);
    // Two processes making the same schema at once would otherwise both try to add its names.
    connection.run("SELECT pg_advisory_xact_lock(hashtext($1))", { schema });
    connection.execute(
        "CREATE SCHEMA IF NOT EXISTS " + schema + "; SET LOCAL search_path TO " + schema + ";" + kTables);
    connection.run(
        "INSERT INTO account(id, status, user_record_name) VALUES(1, $1, $2) ON CONFLICT DO NOTHING",
        { std::to_string(static_cast<int>(CloudAccountStatus::available)),
            "_" + secureRandomHex(kUserRecordNameBytes) });
    connection.run("INSERT INTO feed(id, last_sequence) VALUES(1, 0) ON CONFLICT DO NOTHING");
    transaction.commit();
}

std::vector<CloudQuerySubscription> readCloudPostgresSubscriptions(
    CloudPostgresConnection& connection, const std::optional<std::string>& zoneName)
{
    auto rows = connection.run("SELECT id, zone, record_type, content_available, title_key, body_key, sound "
                               "FROM subscriptions WHERE $1::text IS NULL OR zone = $1 ORDER BY id",
        { optionalValue(zoneName) });
    auto clauses = connection.run("SELECT c.subscription, c.key, c.value FROM subscription_clauses AS c "
                                  "JOIN subscriptions AS s ON s.id = c.subscription "
                                  "WHERE $1::text IS NULL OR s.zone = $1 ORDER BY c.subscription, c.position",
        { optionalValue(zoneName) });
    std::vector<CloudQuerySubscription> found;
    for (int row = 0, clause = 0; row < rows.count(); ++row) {
        found.push_back({ rows.text(row, 0), rows.text(row, 2), rows.text(row, 1), {},
            { rows.text(row, 3) == "t", optionalText(rows, row, 4), optionalText(rows, row, 5),
                optionalText(rows, row, 6) } });
        // Both lists are in the order of the identifiers.
        for (; clause < clauses.count() && clauses.text(clause, 0) == found.back().subscriptionID; ++clause)
            found.back().predicate.clauses.push_back({ clauses.text(clause, 1), clauses.text(clause, 2) });
    }
    return found;
}

CloudPostgresPool::CloudPostgresPool(
    std::string conninfo, std::string schema, std::chrono::milliseconds lockTimeout)
    : m_conninfo(std::move(conninfo))
    , m_schema(std::move(schema))
    , m_lockTimeout(lockTimeout)
{
}

CloudPostgresPool::~CloudPostgresPool() = default;

std::unique_ptr<CloudPostgresConnection> CloudPostgresPool::take(bool& fresh)
{
    {
        std::lock_guard lock(m_lock);
        fresh = m_idle.empty();
        if (!fresh) {
            auto connection = std::move(m_idle.back());
            m_idle.pop_back();
            return connection;
        }
    }
    return open();
}

std::unique_ptr<CloudPostgresConnection> CloudPostgresPool::open()
{
    auto connection = std::make_unique<CloudPostgresConnection>(m_conninfo);
    // A schema that is gone then fails every statement with undefined_table, which is a missing zone.
    connection->run("SELECT set_config('search_path', $1, false), set_config('lock_timeout', $2, false)",
        { m_schema, std::to_string(m_lockTimeout.count()) + "ms" });
    return connection;
}

void CloudPostgresPool::giveBack(std::unique_ptr<CloudPostgresConnection> connection)
{
    std::lock_guard lock(m_lock);
    if (connection->isUsable() && m_idle.size() < kMaxIdleConnections)
        m_idle.push_back(std::move(connection));
}

std::unique_ptr<CloudPostgresConnection> CloudPostgresPool::takeRunning(
    const std::function<void(CloudPostgresConnection&)>& first)
{
    bool fresh = false;
    auto connection = take(fresh);
    try {
        first(*connection);
        return connection;
    } catch (const CloudDatabaseError& error) {
        if (fresh || error.code() != CloudErrorCode::networkFailure) {
            giveBack(std::move(connection));
            throw;
        }
    }
    // The others idle since then broke with it.
    {
        std::lock_guard lock(m_lock);
        m_idle.clear();
    }
    connection = open();
    first(*connection);
    return connection;
}

void CloudPostgresPool::transaction(Access access, const std::function<void(CloudPostgresConnection&)>& body)
{
    auto isolation = access == Access::read ? CloudPostgresIsolation::snapshotReadOnly
                                            : CloudPostgresIsolation::serializable;
    std::optional<CloudPostgresTransaction> transaction;
    auto connection
        = takeRunning([&](CloudPostgresConnection& started) { transaction.emplace(started, isolation); });
    struct GiveBack {
        CloudPostgresPool& pool;
        std::unique_ptr<CloudPostgresConnection>& connection;
        std::optional<CloudPostgresTransaction>& transaction;
        ~GiveBack()
        {
            transaction.reset();
            pool.giveBack(std::move(connection));
        }
    } giveBack { *this, connection, transaction };
    // Taken before the snapshot, which the first read fixes, so a writer sees every earlier commit.
    if (access == Access::write)
        connection->run("LOCK TABLE feed IN EXCLUSIVE MODE");
    body(*connection);
    transaction->commit();
}

void CloudPostgresPool::singleStatement(const std::function<void(CloudPostgresConnection&)>& read)
{
    giveBack(takeRunning(read));
}

}
