// A thin owner of one libpq connection for the cloud database on a PostgreSQL server: statements with
// bound parameters (never spliced into the text), typed reading of their rows, and transactions.
// Every failure leaves as CloudDatabaseError with the cloud service's code: a serialization failure,
// deadlock or lock time-out is requestRateLimited with a retry-after, a lost or refused connection is
// networkFailure, a missing schema (or table) is zoneNotFound, failed authentication is notAuthenticated.
// One connection serves one thread at a time.
#pragma once

#include "Platform/CloudRecord.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct pg_conn;
struct pg_result;

namespace vellumar::platform {

// The error for a failed statement's SQLSTATE (empty when the server sent none: the connection broke),
// with the server's primary message, never a connection's (which may quote the connection string).
CloudDatabaseError cloudErrorForPostgres(std::string_view sqlState, std::string_view message = {});

// A statement parameter: NULL, text, or bytes sent as they are.
using CloudPostgresValue = std::variant<std::monostate, std::string, CloudBytes>;

// The rows a statement returned, read by row and column from 0.
class CloudPostgresRows {
public:
    int count() const;
    bool isNull(int row, int column) const;
    std::string text(int row, int column) const;
    // Throws internalError when the value is not a whole number.
    std::int64_t integer(int row, int column) const;
    // A bytea column's bytes.
    CloudBytes bytes(int row, int column) const;
    // The same without a copy, valid as long as the rows; throws internalError unless the rows came in
    // binary.
    std::span<const std::uint8_t> bytesView(int row, int column) const;

private:
    bool isBinary(int column) const;

    friend class CloudPostgresConnection;
    struct Release {
        void operator()(pg_result* result) const;
    };
    explicit CloudPostgresRows(pg_result* result)
        : m_result(result)
    {
    }
    std::unique_ptr<pg_result, Release> m_result;
};

// A notification the server sent on a channel this connection listens on.
struct CloudPostgresNotice {
    std::string channel;
    std::string payload;
};

class CloudPostgresConnection {
public:
    // Connects with a libpq connection string, waiting at most its connect_timeout (10 s when it names
    // none). Throws notAuthenticated when the server refuses the credentials, networkFailure when it
    // cannot be reached or refuses the connection otherwise.
    explicit CloudPostgresConnection(const std::string& conninfo);
    ~CloudPostgresConnection();
    CloudPostgresConnection(const CloudPostgresConnection&) = delete;
    CloudPostgresConnection& operator=(const CloudPostgresConnection&) = delete;

    // Runs one statement with parameters $1, $2, ... and returns its rows (none for a command).
    CloudPostgresRows run(const std::string& sql, const std::vector<CloudPostgresValue>& parameters = {});
    // The same with the rows in the server's binary form: bytes as they are rather than twice their size in
    // hex, for statements that read many of them. Only text, whole-number and bytea columns read back.
    CloudPostgresRows runBinary(const std::string& sql, const std::vector<CloudPostgresValue>& parameters);
    // Runs statements that take no parameters, separated by semicolons, such as a schema.
    void execute(const std::string& sql);
    // False once the connection broke: it can only be dropped then.
    bool isUsable() const;

    // The notifications received so far, oldest first. Waits up to `timeout` for one when none has
    // come. Throws networkFailure when the connection broke.
    std::vector<CloudPostgresNotice> notices(std::chrono::milliseconds timeout);

private:
    CloudPostgresRows run(
        const std::string& sql, const std::vector<CloudPostgresValue>& parameters, int resultFormat);
    void throwFailure(pg_result* result);

    pg_conn* m_connection = nullptr;
    // The statements run so far, by text, and the names the server keeps them under: parsed and
    // planned once per connection, not at every request.
    std::map<std::string, std::string> m_prepared;
};

// How a transaction sees the others.
enum class CloudPostgresIsolation {
    // One snapshot for every statement; never fails for a concurrent writer.
    snapshotReadOnly,
    // Concurrent writers see each other's rows or fail with requestRateLimited, never interleave.
    serializable,
    // Each statement sees what is committed when it starts; for schema changes, which see the catalog
    // as it is anyway.
    readCommitted,
};

// Begins on construction; rolls back on destruction unless committed.
class CloudPostgresTransaction {
public:
    explicit CloudPostgresTransaction(CloudPostgresConnection& connection,
        CloudPostgresIsolation isolation = CloudPostgresIsolation::serializable);
    ~CloudPostgresTransaction();
    CloudPostgresTransaction(const CloudPostgresTransaction&) = delete;
    CloudPostgresTransaction& operator=(const CloudPostgresTransaction&) = delete;

    void commit();

private:
    CloudPostgresConnection& m_connection;
    bool m_open = true;
};

}
