// A thin owner of one SQLite connection for the cloud database: cached prepared statements, typed
// binding and reading, and transactions. Every SQLite failure leaves as CloudDatabaseError with the
// cloud service's code: a database still busy after the busy time-out is requestRateLimited with a
// retry-after of one second. One connection is used by one thread at a time.
#pragma once

#include "Platform/CloudRecord.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vellumar::platform {

// The error for an SQLite result code, with SQLite's message when there is one.
CloudDatabaseError cloudErrorForSQLite(int resultCode, std::string_view detail = {});

class CloudSQLiteStatement {
public:
    // Binds by position, from 1.
    CloudSQLiteStatement& bind(int position, std::string_view text);
    CloudSQLiteStatement& bind(int position, std::int64_t number);
    CloudSQLiteStatement& bind(int position, double number);
    CloudSQLiteStatement& bindBlob(int position, const CloudBytes& bytes);
    CloudSQLiteStatement& bindNull(int position);

    // Moves to the next row: false when there is none.
    bool step();
    // Runs to the end, for statements that return no rows.
    void run();

    bool isNull(int column) const;
    std::int64_t integer(int column) const;
    double real(int column) const;
    std::string text(int column) const;
    CloudBytes blob(int column) const;
    // The column's bytes without a copy, valid until the next step or reset.
    std::span<const std::uint8_t> blobBytes(int column) const;
    // The SQLite storage class of the column in this row (SQLITE_INTEGER ... SQLITE_NULL).
    int type(int column) const;

    // Resets the statement for its next use and clears the bindings.
    ~CloudSQLiteStatement();
    CloudSQLiteStatement(const CloudSQLiteStatement&) = delete;
    CloudSQLiteStatement& operator=(const CloudSQLiteStatement&) = delete;

private:
    friend class CloudSQLiteConnection;
    explicit CloudSQLiteStatement(sqlite3_stmt* statement)
        : m_statement(statement)
    {
    }
    sqlite3_stmt* m_statement;
};

class CloudSQLiteConnection {
public:
    // Opens (creating) the file with the busy time-out set. Throws CloudDatabaseError.
    CloudSQLiteConnection(const std::filesystem::path& file, std::chrono::milliseconds busyTimeout);
    ~CloudSQLiteConnection();
    CloudSQLiteConnection(const CloudSQLiteConnection&) = delete;
    CloudSQLiteConnection& operator=(const CloudSQLiteConnection&) = delete;

    // A prepared statement for `sql`, made once per connection; use one at a time per text.
    CloudSQLiteStatement statement(const std::string& sql);
    // Runs statements that need no binding, such as pragmas and schema.
    void execute(const std::string& sql);

private:
    sqlite3* m_database = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> m_statements;
};

class CloudConnectionPool;

// One connection taken from a pool for the time of one request, handed back on destruction.
class CloudConnectionLease {
public:
    CloudConnectionLease(CloudConnectionPool& pool, std::unique_ptr<CloudSQLiteConnection> connection);
    ~CloudConnectionLease();
    CloudConnectionLease(const CloudConnectionLease&) = delete;
    CloudConnectionLease& operator=(const CloudConnectionLease&) = delete;

    CloudSQLiteConnection& operator*() { return *m_connection; }
    CloudSQLiteConnection* operator->() { return m_connection.get(); }

private:
    CloudConnectionPool& m_pool;
    std::unique_ptr<CloudSQLiteConnection> m_connection;
};

// Connections to one file: a thread takes an idle one or opens one more, so that threads never share
// a connection and never wait for each other in this process (SQLite's own locks order the writers).
class CloudConnectionPool {
public:
    // `configure` runs on every connection the pool opens.
    CloudConnectionPool(std::filesystem::path file, std::chrono::milliseconds busyTimeout,
        std::function<void(CloudSQLiteConnection&)> configure);
    ~CloudConnectionPool();

    // Throws CloudDatabaseError when a new connection cannot be opened.
    CloudConnectionLease lease();

private:
    friend class CloudConnectionLease;
    void giveBack(std::unique_ptr<CloudSQLiteConnection> connection);

    std::filesystem::path m_file;
    std::chrono::milliseconds m_busyTimeout;
    std::function<void(CloudSQLiteConnection&)> m_configure;
    std::mutex m_lock;
    std::vector<std::unique_ptr<CloudSQLiteConnection>> m_idle;
};

enum class CloudTransactionKind {
    // Reads see one snapshot; no lock is taken until a write.
    read,
    // Takes the write lock at once, waiting up to the busy time-out, so that no reader has to be
    // upgraded later (which SQLite refuses without waiting).
    write,
};

// Begins on construction; rolls back on destruction unless committed.
class CloudSQLiteTransaction {
public:
    CloudSQLiteTransaction(CloudSQLiteConnection& connection, CloudTransactionKind kind);
    ~CloudSQLiteTransaction();
    CloudSQLiteTransaction(const CloudSQLiteTransaction&) = delete;
    CloudSQLiteTransaction& operator=(const CloudSQLiteTransaction&) = delete;

    void commit();

private:
    CloudSQLiteConnection& m_connection;
    bool m_open = true;
};

}
