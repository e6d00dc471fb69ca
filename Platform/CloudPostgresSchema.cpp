#include "Platform/CloudPostgresSchema.h"

#include "Platform/CloudDatabaseSchema.h"
#include "Platform/CloudFieldPacking.h"
#include "Platform/Crypto.h"
#include "Platform/Log.h"
#include "Platform/Random.h"

namespace vellumar::platform {

namespace {

    // Idle connections kept for the next request; more are opened while more threads call at once.
    constexpr std::size_t kMaxIdleConnections = 8;
    constexpr std::size_t kSchemaHashBytes = 16;
    constexpr std::size_t kUserRecordNameBytes = 16;

    // The layout of the tables below. Version 1 kept each field in a row of its own, in a table
    // `fields`, the feed in a table `changes` of its own, and had no `schema_version`.
    constexpr std::int64_t kSchemaVersion = 2;
    // Field rows read at a time while the first layout is brought up to this one.
    constexpr int kMigratedRowsPerFetch = 1000;

    // A record's row is its place in the feed too: each change moves it to a new sequence number, and
    // a deletion leaves it without a type, fields or assets, so that a page of the feed is one range of
    // one index, as a reader of a plain table would read it. Its fields are packed into one value, with
    // the names of its assets beside them, so that removing it finds its assets without unpacking it;
    // a row of up to a page stays whole in the table, neither compressed (sealed payloads do not
    // compress) nor moved out to be fetched again one by one.
    // Assets are kept as numbered parts of at most a mebibyte (so that neither side ever holds one
    // whole), and the feed's last sequence in a row of its own: writers lock that table before their
    // first read, which orders them as their commits are ordered, so a reader past sequence n never
    // misses a change that commits later with a lower number.
    constexpr const char* kTables = R"sql(
        CREATE TABLE IF NOT EXISTS zones(name TEXT PRIMARY KEY, epoch BIGINT NOT NULL);
        CREATE TABLE IF NOT EXISTS records(zone TEXT NOT NULL, name TEXT NOT NULL, sequence BIGINT NOT NULL,
            type TEXT, fields BYTEA, assets TEXT[] NOT NULL, PRIMARY KEY(zone, name))
            WITH (toast_tuple_target = 8160);
        CREATE INDEX IF NOT EXISTS records_by_change ON records(zone, sequence);
        CREATE TABLE IF NOT EXISTS assets(name TEXT NOT NULL, part INTEGER NOT NULL, bytes BYTEA NOT NULL,
            PRIMARY KEY(name, part));
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
        CREATE TABLE IF NOT EXISTS schema_version(id INTEGER PRIMARY KEY CHECK(id = 1),
            version INTEGER NOT NULL);
        CREATE TABLE IF NOT EXISTS lines_to_log(id BIGSERIAL PRIMARY KEY, line TEXT NOT NULL);
    )sql";

    // The layout of the schema's tables: 0 when it has none yet. Throws the refusal of one newer than
    // this code knows, which it must neither read nor change.
    std::int64_t schemaVersion(CloudPostgresConnection& connection, const std::string& schema)
    {
        // Read from the catalog's rows as of now: a name looked up through the session's caches may still
        // be missing after another process made it while this one waited for its turn.
        auto tables
            = connection.run("SELECT count(*) FILTER (WHERE c.relname = 'feed'), "
                             "count(*) FILTER (WHERE c.relname = 'schema_version') FROM pg_class AS c "
                             "JOIN pg_namespace AS n ON n.oid = c.relnamespace WHERE n.nspname = $1",
                { schema });
        std::int64_t version = 0;
        if (tables.integer(0, 1) > 0) {
            auto stored = connection.run("SELECT version FROM " + schema + ".schema_version WHERE id = 1");
            if (stored.count() != 1)
                throw CloudDatabaseError(CloudErrorCode::internalError);
            version = stored.integer(0, 0);
        } else if (tables.integer(0, 0) > 0)
            version = 1;
        if (version > kSchemaVersion)
            throw newerCloudSchemaRefusal(version, kSchemaVersion);
        return version;
    }

    // A field row of the first layout as it is kept now; absent for a row that no reader of that layout
    // could read: of a kind no version wrote, or a date or integer without its number.
    std::optional<CloudStoredValue> storedValueOfRow(const CloudPostgresRows& rows, int row)
    {
        constexpr int kKind = 3;
        constexpr int kText = 4;
        constexpr int kNumber = 5;
        constexpr int kBytes = 6;
        auto kind = static_cast<CloudFieldKind>(rows.integer(row, kKind));
        if ((kind == CloudFieldKind::date || kind == CloudFieldKind::int64) && rows.isNull(row, kNumber))
            return std::nullopt;
        switch (kind) {
        case CloudFieldKind::string:
            return rows.text(row, kText);
        case CloudFieldKind::date:
            return CloudDate(std::chrono::duration_cast<CloudDate::duration>(
                std::chrono::nanoseconds(rows.integer(row, kNumber))));
        case CloudFieldKind::int64:
            return rows.integer(row, kNumber);
        case CloudFieldKind::bytes:
            return rows.bytes(row, kBytes);
        case CloudFieldKind::asset:
            return CloudAssetName { rows.text(row, kText) };
        }
        return std::nullopt;
    }

    // A record of the first layout without a row in its feed, which a reader of the feed never saw,
    // becomes the feed's latest change, so that every row has its place in the feed; one line each in
    // `lines`.
    void placeRecordsMissingFromTheFeed(CloudPostgresConnection& connection, std::vector<std::string>& lines)
    {
        auto placed = connection.run(
            "UPDATE records AS r SET sequence = f.last_sequence + m.place FROM feed AS f, "
            "(SELECT zone, name, row_number() OVER (ORDER BY zone, name) AS place FROM records "
            "WHERE sequence IS NULL) AS m WHERE f.id = 1 AND r.zone = m.zone AND r.name = m.name "
            "RETURNING r.zone, r.name");
        if (placed.count() == 0)
            return;
        connection.run("UPDATE feed SET last_sequence = last_sequence + $1 WHERE id = 1",
            { std::to_string(placed.count()) });
        for (int row = 0; row < placed.count(); ++row)
            lines.push_back(keptCloudUnplacedRecordLine(placed.text(row, 0), placed.text(row, 1)));
    }

    // Moves the first layout's feed into the records' rows, a deleted record's change into a row of its
    // own, and packs its field rows into their records, a batch of rows at a time; then drops both
    // tables. Runs in the transaction that upgrades the schema; the damage it met goes to `lines`, for the
    // log once that transaction commits.
    void mergeLayout1(CloudPostgresConnection& connection, std::vector<std::string>& lines)
    {
        connection.execute(
            "ALTER TABLE records ADD COLUMN sequence BIGINT, ADD COLUMN fields BYTEA, "
            "ADD COLUMN assets TEXT[] NOT NULL DEFAULT '{}', ALTER COLUMN type DROP NOT NULL, "
            "SET (toast_tuple_target = 8160);"
            "UPDATE records AS r SET sequence = c.sequence FROM changes AS c "
            "WHERE c.zone = r.zone AND c.record = r.name;"
            "INSERT INTO records(zone, name, sequence) SELECT zone, record, sequence FROM changes "
            "AS c WHERE NOT EXISTS (SELECT 1 FROM records AS r WHERE r.zone = c.zone AND "
            "r.name = c.record);"
            "UPDATE records AS r SET assets = a.names FROM (SELECT zone, record, "
            "array_agg(text_value) AS names FROM fields WHERE kind = 4 GROUP BY zone, record) "
            "AS a WHERE r.zone = a.zone AND r.name = a.record;"
            "DECLARE field_rows NO SCROLL CURSOR FOR SELECT zone, record, key, kind, "
            "text_value, number, bytes FROM fields ORDER BY zone, record");
        std::optional<std::pair<std::string, std::string>> owner;
        CloudStoredFields fields;
        std::size_t leftOut = 0;
        auto store = [&] {
            if (owner)
                connection.run("UPDATE records SET fields = $3 WHERE zone = $1 AND name = $2",
                    { owner->first, owner->second, packCloudFields(fields) });
            if (owner && leftOut > 0)
                lines.push_back(keptCloudFieldsLeftOutLine(owner->first, owner->second, leftOut));
            fields.clear();
            leftOut = 0;
        };
        for (int count = kMigratedRowsPerFetch; count == kMigratedRowsPerFetch;) {
            auto rows = connection.runBinary(
                "FETCH " + std::to_string(kMigratedRowsPerFetch) + " FROM field_rows", {});
            count = rows.count();
            for (int row = 0; row < count; ++row) {
                std::pair rowOwner { rows.text(row, 0), rows.text(row, 1) };
                if (rowOwner != owner) {
                    store();
                    owner = std::move(rowOwner);
                }
                if (auto value = storedValueOfRow(rows, row))
                    fields.emplace(rows.text(row, 2), std::move(*value));
                else
                    ++leftOut;
            }
        }
        store();
        connection.run("UPDATE records SET fields = $1 WHERE fields IS NULL AND type IS NOT NULL",
            { packCloudFields({}) });
        placeRecordsMissingFromTheFeed(connection, lines);
        connection.execute("CLOSE field_rows; ALTER TABLE records ALTER COLUMN sequence SET NOT NULL, "
                           "ALTER COLUMN assets DROP DEFAULT; DROP TABLE fields; DROP TABLE changes");
    }

    std::optional<std::string> optionalText(const CloudPostgresRows& rows, int row, int column)
    {
        return rows.isNull(row, column) ? std::nullopt : std::optional(rows.text(row, column));
    }

    CloudPostgresValue optionalValue(const std::optional<std::string>& text)
    {
        return text ? CloudPostgresValue(*text) : CloudPostgresValue();
    }

    // prepareCloudPostgresSchema's work, whose refusals it logs.
    void prepareLayout(CloudPostgresConnection& connection, const std::string& schema)
    {
        // A schema of this layout needs no write, and no right to create one.
        if (schemaVersion(connection, schema) == kSchemaVersion)
            return;
        CloudPostgresTransaction transaction(connection, CloudPostgresIsolation::readCommitted);
        // Two processes making or upgrading the same schema at once would otherwise both try; the second
        // finds the first one's work done.
        connection.run("SELECT pg_advisory_xact_lock(hashtext($1))", { schema });
        std::int64_t version = schemaVersion(connection, schema);
        if (version == kSchemaVersion)
            return;
        connection.execute("CREATE SCHEMA IF NOT EXISTS " + schema + "; SET LOCAL search_path TO " + schema);
        std::vector<std::string> lines;
        if (version == 1)
            mergeLayout1(connection, lines);
        connection.execute(kTables);
        connection.run(
            "INSERT INTO account(id, status, user_record_name) VALUES(1, $1, $2) ON CONFLICT DO NOTHING",
            { std::to_string(static_cast<int>(CloudAccountStatus::available)),
                "_" + secureRandomHex(kUserRecordNameBytes) });
        connection.run("INSERT INTO feed(id, last_sequence) VALUES(1, 0) ON CONFLICT DO NOTHING");
        connection.run(
            "INSERT INTO schema_version(id, version) VALUES(1, $1)", { std::to_string(kSchemaVersion) });
        // Logged once committed, never for work rolled back.
        for (const auto& line : lines)
            connection.run("INSERT INTO lines_to_log(line) VALUES($1)", { line });
        transaction.commit();
    }

    // Whether the schema holds lines of committed work to log; one an earlier version made has no table
    // for them.
    bool holdsLinesToLog(CloudPostgresConnection& connection, const std::string& schema)
    {
        auto table
            = connection.run("SELECT 1 FROM pg_class AS c JOIN pg_namespace AS n ON n.oid = c.relnamespace "
                             "WHERE n.nspname = $1 AND c.relname = 'lines_to_log'",
                { schema });
        return table.count() > 0
            && connection.run("SELECT 1 FROM " + schema + ".lines_to_log LIMIT 1").count() > 0;
    }

    // The lines of committed work, which a program killed right after the commit has not logged: each is
    // logged before its removal commits, so it reaches the log at least once, and twice only when a kill
    // comes between the two; past the most one open logs, one line counts the rest. Another process
    // removing them at once waits for this one's commit and then finds none. Only a schema holding some is
    // written.
    void logCommittedLines(CloudPostgresConnection& connection, const std::string& schema)
    {
        if (!holdsLinesToLog(connection, schema))
            return;
        CloudPostgresTransaction transaction(connection, CloudPostgresIsolation::readCommitted);
        auto lines = connection.run("WITH taken AS (DELETE FROM " + schema
                + ".lines_to_log RETURNING id, left(line, $1) AS line) SELECT line, count(*) OVER () FROM "
                  "taken ORDER BY id LIMIT $2",
            { std::to_string(cloudLineReadLength()), std::to_string(kCloudLinesLoggedPerOpen) });
        for (int row = 0; row < lines.count(); ++row)
            logError(loggedCloudLine(lines.text(row, 0)));
        if (std::int64_t kept = lines.count() > 0 ? lines.integer(0, 1) : 0; kept > kCloudLinesLoggedPerOpen)
            logError(cloudLinesLeftOutLine(kept - kCloudLinesLoggedPerOpen));
        transaction.commit();
    }

}

std::string cloudPostgresSchemaName(std::string_view containerIdentifier)
{
    auto digest = sha256(containerIdentifier);
    return "vellumar_" + lowercaseHex(std::span(digest).first(kSchemaHashBytes));
}

void prepareCloudPostgresSchema(CloudPostgresConnection& connection, const std::string& schema)
{
    prepareLoggingRefusals([&] {
        prepareLayout(connection, schema);
        logCommittedLines(connection, schema);
    });
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
