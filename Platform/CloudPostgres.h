// A thin owner of one libpq connection for the cloud database on a PostgreSQL server: statements with
// bound parameters (never spliced into the text), typed reading of their rows, and transactions.
// Every failure leaves as CloudDatabaseError with the cloud service's code: a serialization failure,
// deadlock or lock time-out is requestRateLimited with a retry-after, a lost or refused connection is
// networkFailure, a missing schema (or table) is zoneNotFound. One connection serves one thread at a time.
#pragma once

#include "Platform/CloudRecord.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct pg_conn;
struct pg_result;

namespace vellumar::platform {

// The error for a failed statement's SQLSTATE; empty when the server sent none (the connection broke).
CloudDatabaseError cloudErrorForPostgres(std::string_view sqlState);

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

private:
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

class CloudPostgresConnection {
public:
    // Connects with a libpq connection string. Throws networkFailure when the server cannot be reached
    // or refuses the connection.
    explicit CloudPostgresConnection(const std::string& conninfo);
    ~CloudPostgresConnection();
    CloudPostgresConnection(const CloudPostgresConnection&) = delete;
    CloudPostgresConnection& operator=(const CloudPostgresConnection&) = delete;

    // Runs one statement with parameters $1, $2, ... and returns its rows (none for a command).
    CloudPostgresRows run(const std::string& sql, const std::vector<CloudPostgresValue>& parameters = {});
    // False once the connection broke: it can only be dropped then.
    bool isUsable() const;

private:
    pg_conn* m_connection = nullptr;
};

// Begins on construction; rolls back on destruction unless committed. Serializable, so that
// concurrent writers see each other's rows or fail with requestRateLimited, never interleave.
class CloudPostgresTransaction {
public:
    explicit CloudPostgresTransaction(CloudPostgresConnection& connection);
    ~CloudPostgresTransaction();
    CloudPostgresTransaction(const CloudPostgresTransaction&) = delete;
    CloudPostgresTransaction& operator=(const CloudPostgresTransaction&) = delete;

    void commit();

private:
    CloudPostgresConnection& m_connection;
    bool m_open = true;
};

}
