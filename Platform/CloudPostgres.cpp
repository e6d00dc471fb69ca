#include "Platform/CloudPostgres.h"

#include <charconv>
#include <limits>
#include <libpq-fe.h>

namespace vellumar::platform {

namespace {

    // Long enough for the competing transaction to end; the caller then tries again.
    constexpr double kConflictRetryAfterSeconds = 1;

    // The formats libpq names by number.
    constexpr int kTextFormat = 0;
    constexpr int kBinaryFormat = 1;

    bool isConflict(std::string_view sqlState)
    {
        return sqlState == "40001" // serialization_failure
            || sqlState == "40P01" // deadlock_detected
            || sqlState == "55P03" // lock_not_available
            || sqlState == "57014"; // query_canceled, which a statement time-out gives
    }

    bool isLostConnection(std::string_view sqlState)
    {
        return sqlState.empty() || sqlState.starts_with("08") // connection_exception
            || sqlState == "57P01" // admin_shutdown
            || sqlState == "57P02" // crash_shutdown
            || sqlState == "57P03"; // cannot_connect_now
    }

}

CloudDatabaseError cloudErrorForPostgres(std::string_view sqlState)
{
    if (isConflict(sqlState))
        return CloudDatabaseError(CloudErrorCode::requestRateLimited, kConflictRetryAfterSeconds);
    if (isLostConnection(sqlState))
        return CloudDatabaseError(CloudErrorCode::networkFailure);
    // The account's tables live in a schema of its own: a table gone means that schema is gone.
    if (sqlState == "3F000" || sqlState == "42P01") // invalid_schema_name, undefined_table
        return CloudDatabaseError(CloudErrorCode::zoneNotFound);
    if (sqlState == "53100") // disk_full
        return CloudDatabaseError(CloudErrorCode::quotaExceeded);
    if (sqlState == "54000") // program_limit_exceeded
        return CloudDatabaseError(CloudErrorCode::limitExceeded);
    if (sqlState == "42501" || sqlState.starts_with("28")) // insufficient_privilege, invalid authorization
        return CloudDatabaseError(CloudErrorCode::permissionFailure);
    return CloudDatabaseError(CloudErrorCode::internalError);
}

void CloudPostgresRows::Release::operator()(pg_result* result) const { PQclear(result); }

int CloudPostgresRows::count() const { return PQntuples(m_result.get()); }

bool CloudPostgresRows::isNull(int row, int column) const
{
    return PQgetisnull(m_result.get(), row, column) != 0;
}

std::string CloudPostgresRows::text(int row, int column) const
{
    return std::string(PQgetvalue(m_result.get(), row, column),
        static_cast<std::size_t>(PQgetlength(m_result.get(), row, column)));
}

std::int64_t CloudPostgresRows::integer(int row, int column) const
{
    std::string value = text(row, column);
    std::int64_t number = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc() || end != value.data() + value.size())
        throw CloudDatabaseError(CloudErrorCode::internalError);
    return number;
}

CloudBytes CloudPostgresRows::bytes(int row, int column) const
{
    std::size_t length = 0;
    unsigned char* unescaped = PQunescapeBytea(
        reinterpret_cast<const unsigned char*>(PQgetvalue(m_result.get(), row, column)), &length);
    if (!unescaped)
        throw CloudDatabaseError(CloudErrorCode::internalError);
    CloudBytes bytes(unescaped, unescaped + length);
    PQfreemem(unescaped);
    return bytes;
}

CloudPostgresConnection::CloudPostgresConnection(const std::string& conninfo)
    : m_connection(PQconnectdb(conninfo.c_str()))
{
    if (PQstatus(m_connection) != CONNECTION_OK) {
        // The message may quote the connection string, password included: it is never passed on.
        PQfinish(m_connection);
        throw CloudDatabaseError(CloudErrorCode::networkFailure);
    }
}

CloudPostgresConnection::~CloudPostgresConnection() { PQfinish(m_connection); }

bool CloudPostgresConnection::isUsable() const { return PQstatus(m_connection) == CONNECTION_OK; }

CloudPostgresRows CloudPostgresConnection::run(
    const std::string& sql, const std::vector<CloudPostgresValue>& parameters)
{
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    for (const auto& parameter : parameters) {
        if (const auto* text = std::get_if<std::string>(&parameter)) {
            // The server's text cannot hold a zero byte, and libpq would cut the value there.
            if (text->find('\0') != std::string::npos)
                throw CloudDatabaseError(CloudErrorCode::invalidArguments);
            values.push_back(text->c_str());
            lengths.push_back(0);
            formats.push_back(kTextFormat);
        } else if (const auto* bytes = std::get_if<CloudBytes>(&parameter)) {
            if (bytes->size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
                throw CloudDatabaseError(CloudErrorCode::limitExceeded);
            // An empty value is still a value, not NULL: the pointer only has to be non-null.
            values.push_back(bytes->empty() ? "" : reinterpret_cast<const char*>(bytes->data()));
            lengths.push_back(static_cast<int>(bytes->size()));
            formats.push_back(kBinaryFormat);
        } else {
            values.push_back(nullptr);
            lengths.push_back(0);
            formats.push_back(kTextFormat);
        }
    }
    CloudPostgresRows rows(PQexecParams(m_connection, sql.c_str(), static_cast<int>(parameters.size()),
        nullptr, values.data(), lengths.data(), formats.data(), kTextFormat));
    ExecStatusType status = rows.m_result ? PQresultStatus(rows.m_result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return rows;
    const char* sqlState
        = rows.m_result ? PQresultErrorField(rows.m_result.get(), PG_DIAG_SQLSTATE) : nullptr;
    // A connection that broke mid-statement may still leave a state behind; what counts is the break.
    if (!isUsable())
        throw CloudDatabaseError(CloudErrorCode::networkFailure);
    throw cloudErrorForPostgres(sqlState ? sqlState : "");
}

CloudPostgresTransaction::CloudPostgresTransaction(CloudPostgresConnection& connection)
    : m_connection(connection)
{
    m_connection.run("BEGIN ISOLATION LEVEL SERIALIZABLE");
}

CloudPostgresTransaction::~CloudPostgresTransaction()
{
    if (!m_open || !m_connection.isUsable())
        return;
    try {
        m_connection.run("ROLLBACK");
    } catch (const CloudDatabaseError&) {
        // A connection that breaks now takes the transaction with it.
    }
}

void CloudPostgresTransaction::commit()
{
    m_connection.run("COMMIT");
    m_open = false;
}

}
