#include "Platform/CloudSQLite.h"

#include <sqlite3.h>

namespace vellumar::platform {

namespace {

    // Connections kept open for the next request; more are opened while more threads call at once.
    constexpr std::size_t kMaxIdleConnections = 8;

    // Long enough for any writer's few statements; past it the caller is told to come back later.
    constexpr double kBusyRetryAfterSeconds = 1;

    void check(int resultCode)
    {
        if (resultCode != SQLITE_OK)
            throw cloudErrorForSQLite(resultCode);
    }

}

CloudDatabaseError cloudErrorForSQLite(int resultCode, std::string_view detail)
{
    switch (resultCode & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return CloudDatabaseError(CloudErrorCode::requestRateLimited, kBusyRetryAfterSeconds, detail);
    case SQLITE_FULL:
        return CloudDatabaseError(CloudErrorCode::quotaExceeded, std::nullopt, detail);
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return CloudDatabaseError(CloudErrorCode::badDatabase, std::nullopt, detail);
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
        return CloudDatabaseError(CloudErrorCode::permissionFailure, std::nullopt, detail);
    case SQLITE_TOOBIG:
        return CloudDatabaseError(CloudErrorCode::limitExceeded, std::nullopt, detail);
    default:
        return CloudDatabaseError(CloudErrorCode::internalError, std::nullopt, detail);
    }
}

CloudSQLiteStatement& CloudSQLiteStatement::bind(int position, std::string_view text)
{
    check(
        sqlite3_bind_text64(m_statement, position, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
    return *this;
}

CloudSQLiteStatement& CloudSQLiteStatement::bind(int position, std::int64_t number)
{
    check(sqlite3_bind_int64(m_statement, position, number));
    return *this;
}

CloudSQLiteStatement& CloudSQLiteStatement::bind(int position, double number)
{
    check(sqlite3_bind_double(m_statement, position, number));
    return *this;
}

CloudSQLiteStatement& CloudSQLiteStatement::bindBlob(int position, const CloudBytes& bytes)
{
    // A zero-length blob is still a blob, not NULL.
    check(bytes.empty()
            ? sqlite3_bind_zeroblob(m_statement, position, 0)
            : sqlite3_bind_blob64(m_statement, position, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
    return *this;
}

CloudSQLiteStatement& CloudSQLiteStatement::bindNull(int position)
{
    check(sqlite3_bind_null(m_statement, position));
    return *this;
}

bool CloudSQLiteStatement::step()
{
    int result = sqlite3_step(m_statement);
    if (result == SQLITE_ROW)
        return true;
    if (result == SQLITE_DONE)
        return false;
    throw cloudErrorForSQLite(result, sqlite3_errmsg(sqlite3_db_handle(m_statement)));
}

void CloudSQLiteStatement::run()
{
    while (step()) { }
}

bool CloudSQLiteStatement::isNull(int column) const { return type(column) == SQLITE_NULL; }
std::int64_t CloudSQLiteStatement::integer(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}
double CloudSQLiteStatement::real(int column) const { return sqlite3_column_double(m_statement, column); }
int CloudSQLiteStatement::type(int column) const { return sqlite3_column_type(m_statement, column); }

std::string CloudSQLiteStatement::text(int column) const
{
    const auto* characters = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
    return characters ? std::string(characters, sqlite3_column_bytes(m_statement, column)) : std::string();
}

CloudBytes CloudSQLiteStatement::blob(int column) const
{
    auto bytes = blobBytes(column);
    return CloudBytes(bytes.begin(), bytes.end());
}

std::span<const std::uint8_t> CloudSQLiteStatement::blobBytes(int column) const
{
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(m_statement, column));
    return bytes ? std::span(bytes, static_cast<std::size_t>(sqlite3_column_bytes(m_statement, column)))
                 : std::span<const std::uint8_t>();
}

CloudSQLiteStatement::~CloudSQLiteStatement()
{
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

CloudSQLiteConnection::CloudSQLiteConnection(
    const std::filesystem::path& file, std::chrono::milliseconds busyTimeout)
{
    int result = sqlite3_open_v2(file.c_str(), &m_database,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (result != SQLITE_OK) {
        auto failure = cloudErrorForSQLite(result, m_database ? sqlite3_errmsg(m_database) : "");
        sqlite3_close_v2(m_database);
        throw failure;
    }
    sqlite3_extended_result_codes(m_database, 1);
    sqlite3_busy_timeout(m_database, static_cast<int>(busyTimeout.count()));
}

CloudSQLiteConnection::~CloudSQLiteConnection()
{
    for (auto& [sql, statement] : m_statements)
        sqlite3_finalize(statement);
    sqlite3_close_v2(m_database);
}

CloudSQLiteStatement CloudSQLiteConnection::statement(const std::string& sql)
{
    auto& prepared = m_statements[sql];
    if (!prepared) {
        int result = sqlite3_prepare_v3(m_database, sql.c_str(), static_cast<int>(sql.size() + 1),
            SQLITE_PREPARE_PERSISTENT, &prepared, nullptr);
        if (result != SQLITE_OK) {
            m_statements.erase(sql);
            throw cloudErrorForSQLite(result, sqlite3_errmsg(m_database));
        }
    }
    return CloudSQLiteStatement(prepared);
}

void CloudSQLiteConnection::execute(const std::string& sql)
{
    if (int result = sqlite3_exec(m_database, sql.c_str(), nullptr, nullptr, nullptr); result != SQLITE_OK)
        throw cloudErrorForSQLite(result, sqlite3_errmsg(m_database));
}

CloudConnectionLease::CloudConnectionLease(
    CloudConnectionPool& pool, std::unique_ptr<CloudSQLiteConnection> connection)
    : m_pool(pool)
    , m_connection(std::move(connection))
{
}

CloudConnectionLease::~CloudConnectionLease() { m_pool.giveBack(std::move(m_connection)); }

CloudConnectionPool::CloudConnectionPool(std::filesystem::path file, std::chrono::milliseconds busyTimeout,
    std::function<void(CloudSQLiteConnection&)> configure)
    : m_file(std::move(file))
    , m_busyTimeout(busyTimeout)
    , m_configure(std::move(configure))
{
}

CloudConnectionPool::~CloudConnectionPool() = default;

CloudConnectionLease CloudConnectionPool::lease()
{
    {
        std::lock_guard lock(m_lock);
        if (!m_idle.empty()) {
            auto connection = std::move(m_idle.back());
            m_idle.pop_back();
            return CloudConnectionLease(*this, std::move(connection));
        }
    }
    auto connection = std::make_unique<CloudSQLiteConnection>(m_file, m_busyTimeout);
    m_configure(*connection);
    return CloudConnectionLease(*this, std::move(connection));
}

void CloudConnectionPool::giveBack(std::unique_ptr<CloudSQLiteConnection> connection)
{
    std::lock_guard lock(m_lock);
    if (m_idle.size() < kMaxIdleConnections)
        m_idle.push_back(std::move(connection));
}

CloudSQLiteTransaction::CloudSQLiteTransaction(CloudSQLiteConnection& connection, CloudTransactionKind kind)
    : m_connection(connection)
{
    m_connection.statement(kind == CloudTransactionKind::write ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED").run();
}

CloudSQLiteTransaction::~CloudSQLiteTransaction()
{
    if (!m_open)
        return;
    try {
        m_connection.statement("ROLLBACK").run();
    } catch (const CloudDatabaseError&) {
        // SQLite has already rolled back a transaction that an error ended.
    }
}

void CloudSQLiteTransaction::commit()
{
    m_connection.statement("COMMIT").run();
    m_open = false;
}

}
