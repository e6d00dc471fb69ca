#include "Platform/CloudPostgres.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <poll.h>

namespace vellumar::platform {

namespace {

    // Long enough for the competing transaction to end; the caller then tries again.
    constexpr double kConflictRetryAfterSeconds = 1;

    // The formats libpq names by number.
    constexpr int kTextFormat = 0;
    constexpr int kBinaryFormat = 1;

    // libpq's own default waits for ever.
    constexpr std::chrono::seconds kDefaultConnectTimeout { 10 };

    bool isConflict(std::string_view sqlState)
    {
        return sqlState == "40001" // serialization_failure
            || sqlState == "40P01" // deadlock_detected
            || sqlState == "55P03" // lock_not_available
            || sqlState == "57014" // query_canceled, which a statement time-out gives
            || sqlState == "53300"; // too_many_connections
    }

    bool isLostConnection(std::string_view sqlState)
    {
        return sqlState.empty() || sqlState.starts_with("08") // connection_exception
            || sqlState == "57P01" // admin_shutdown
            || sqlState == "57P02" // crash_shutdown
            || sqlState == "57P03"; // cannot_connect_now
    }

    std::chrono::milliseconds connectTimeout(pg_conn* connection)
    {
        std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(
            PQconninfo(connection), PQconninfoFree);
        for (auto* option = options.get(); option && option->keyword; ++option) {
            if (std::string_view(option->keyword) != "connect_timeout" || !option->val)
                continue;
            int seconds = 0;
            std::string_view value(option->val);
            auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (error == std::errc() && end == value.data() + value.size() && seconds > 0)
                return std::chrono::seconds(seconds);
        }
        return kDefaultConnectTimeout;
    }

    // Waits until the socket is ready for what the connection's next step needs; false past `deadline`.
    bool waitForSocket(
        pg_conn* connection, PostgresPollingStatusType status, std::chrono::steady_clock::time_point deadline)
    {
        pollfd waiting { PQsocket(connection),
            static_cast<short>(status == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0 };
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || waiting.fd < 0)
                return false;
            int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
            if (ready > 0)
                return true;
            if (ready < 0 && errno != EINTR)
                return false;
        }
    }

    bool isSQLStateCharacter(char character)
    {
        return (character >= '0' && character <= '9') || (character >= 'A' && character <= 'Z');
    }

    // The server's last error in a connection failure's message, which the verbose form writes as
    // "FATAL:  3D000: database \"x\" does not exist": its code, empty when the server sent none (it was
    // never reached), and its primary message, which never holds a password.
    struct ServerError {
        std::string sqlState;
        std::string message;
    };
    ServerError connectionServerError(std::string_view message)
    {
        constexpr std::string_view kSeparator = ":  ";
        constexpr std::string_view kAfterCode = ": ";
        constexpr std::size_t kLength = 5;
        ServerError found;
        for (auto at = message.find(kSeparator); at != std::string_view::npos;
             at = message.find(kSeparator, at + 1)) {
            auto code = message.substr(at + kSeparator.size(), kLength);
            auto text = at + kSeparator.size() + kLength + kAfterCode.size();
            if (code.size() == kLength && std::all_of(code.begin(), code.end(), isSQLStateCharacter)
                && message.substr(text - kAfterCode.size(), kAfterCode.size()) == kAfterCode) {
                auto end = message.find('\n', text);
                found = { std::string(code),
                    std::string(message.substr(text, end == std::string_view::npos ? end : end - text)) };
            }
        }
        return found;
    }

    // Why a connection failed, for the open's line: the server's own words where it answered; libpq's
    // messages are never passed on, since they may quote the connection string.
    CloudDatabaseError connectionFailure(pg_conn* connection)
    {
        auto [sqlState, message] = connectionServerError(PQerrorMessage(connection));
        if (!sqlState.empty())
            return cloudErrorForPostgres(sqlState, message);
        // The server asked for a password that the connection string and the passfile lack.
        if (PQconnectionNeedsPassword(connection))
            return CloudDatabaseError(CloudErrorCode::notAuthenticated, std::nullopt,
                "the server asks for a password the connection lacks");
        return CloudDatabaseError(
            CloudErrorCode::networkFailure, std::nullopt, "the server could not be reached");
    }

}

CloudDatabaseError cloudErrorForPostgres(std::string_view sqlState, std::string_view message)
{
    auto failure = [&](int code, std::optional<double> retryAfterSeconds = std::nullopt) {
        return CloudDatabaseError(code, retryAfterSeconds, message);
    };
    if (isConflict(sqlState))
        return failure(CloudErrorCode::requestRateLimited, kConflictRetryAfterSeconds);
    if (isLostConnection(sqlState))
        return failure(CloudErrorCode::networkFailure);
    // The account's tables live in a schema of its own: a table gone means that schema is gone.
    if (sqlState == "3F000" || sqlState == "42P01") // invalid_schema_name, undefined_table
        return failure(CloudErrorCode::zoneNotFound);
    if (sqlState == "53100") // disk_full
        return failure(CloudErrorCode::quotaExceeded);
    if (sqlState == "54000") // program_limit_exceeded
        return failure(CloudErrorCode::limitExceeded);
    // Class 28, a sign-in the server refuses (a wrong password among them): the service's word for
    // credentials it does not accept is that nobody is signed in, which the caller can act on.
    if (sqlState.starts_with("28"))
        return failure(CloudErrorCode::notAuthenticated);
    if (sqlState == "42501") // insufficient_privilege
        return failure(CloudErrorCode::permissionFailure);
    return failure(CloudErrorCode::internalError);
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

bool CloudPostgresRows::isBinary(int column) const
{
    return PQfformat(m_result.get(), column) == kBinaryFormat;
}

std::int64_t CloudPostgresRows::integer(int row, int column) const
{
    if (isBinary(column)) {
        // A smallint, integer or bigint, most significant byte first.
        const auto* bytes = reinterpret_cast<const unsigned char*>(PQgetvalue(m_result.get(), row, column));
        int length = PQgetlength(m_result.get(), row, column);
        if (length != 2 && length != 4 && length != 8)
            throw CloudDatabaseError(CloudErrorCode::internalError);
        std::uint64_t value = bytes[0] & 0x80 ? ~std::uint64_t { 0 } : 0;
        for (int index = 0; index < length; ++index)
            value = value << 8 | bytes[index];
        return static_cast<std::int64_t>(value);
    }
    std::string value = text(row, column);
    std::int64_t number = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (error != std::errc() || end != value.data() + value.size())
        throw CloudDatabaseError(CloudErrorCode::internalError);
    return number;
}

CloudBytes CloudPostgresRows::bytes(int row, int column) const
{
    if (isBinary(column)) {
        auto value = bytesView(row, column);
        return CloudBytes(value.begin(), value.end());
    }
    std::size_t length = 0;
    unsigned char* unescaped = PQunescapeBytea(
        reinterpret_cast<const unsigned char*>(PQgetvalue(m_result.get(), row, column)), &length);
    if (!unescaped)
        throw CloudDatabaseError(CloudErrorCode::internalError);
    CloudBytes bytes(unescaped, unescaped + length);
    PQfreemem(unescaped);
    return bytes;
}

std::span<const std::uint8_t> CloudPostgresRows::bytesView(int row, int column) const
{
    if (!isBinary(column))
        throw CloudDatabaseError(CloudErrorCode::internalError);
    return { reinterpret_cast<const std::uint8_t*>(PQgetvalue(m_result.get(), row, column)),
        static_cast<std::size_t>(PQgetlength(m_result.get(), row, column)) };
}

CloudPostgresConnection::CloudPostgresConnection(const std::string& conninfo)
    : m_connection(PQconnectStart(conninfo.c_str()))
{
    if (!m_connection)
        throw CloudDatabaseError(CloudErrorCode::networkFailure);
    // Past this point libpq's messages may quote the connection string, password included: they are
    // only ever searched for the server's error, never passed on.
    PQsetNoticeProcessor(
        m_connection, [](void*, const char*) {}, nullptr);
    PQsetErrorVerbosity(m_connection, PQERRORS_VERBOSE);
    auto deadline = std::chrono::steady_clock::now() + connectTimeout(m_connection);
    for (PostgresPollingStatusType status = PGRES_POLLING_WRITING;;) {
        if (status == PGRES_POLLING_OK)
            break;
        if (status == PGRES_POLLING_FAILED || !waitForSocket(m_connection, status, deadline)) {
            CloudDatabaseError failure = connectionFailure(m_connection);
            PQfinish(m_connection);
            throw failure;
        }
        status = PQconnectPoll(m_connection);
    }
    PQsetErrorVerbosity(m_connection, PQERRORS_DEFAULT);
}

CloudPostgresConnection::~CloudPostgresConnection() { PQfinish(m_connection); }

bool CloudPostgresConnection::isUsable() const { return PQstatus(m_connection) == CONNECTION_OK; }

CloudPostgresRows CloudPostgresConnection::run(
    const std::string& sql, const std::vector<CloudPostgresValue>& parameters)
{
    return run(sql, parameters, kTextFormat);
}

CloudPostgresRows CloudPostgresConnection::runBinary(
    const std::string& sql, const std::vector<CloudPostgresValue>& parameters)
{
    return run(sql, parameters, kBinaryFormat);
}

CloudPostgresRows CloudPostgresConnection::run(
    const std::string& sql, const std::vector<CloudPostgresValue>& parameters, int resultFormat)
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
    auto prepared = m_prepared.find(sql);
    if (prepared == m_prepared.end()) {
        std::string name = "s" + std::to_string(m_prepared.size());
        CloudPostgresRows made(
            PQprepare(m_connection, name.c_str(), sql.c_str(), static_cast<int>(parameters.size()), nullptr));
        throwFailure(made.m_result.get());
        prepared = m_prepared.emplace(sql, std::move(name)).first;
    }
    CloudPostgresRows rows(PQexecPrepared(m_connection, prepared->second.c_str(),
        static_cast<int>(parameters.size()), values.data(), lengths.data(), formats.data(), resultFormat));
    throwFailure(rows.m_result.get());
    return rows;
}

void CloudPostgresConnection::execute(const std::string& sql)
{
    CloudPostgresRows rows(PQexec(m_connection, sql.c_str()));
    throwFailure(rows.m_result.get());
}

void CloudPostgresConnection::throwFailure(pg_result* result)
{
    ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return;
    const char* sqlState = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    // A connection that broke mid-statement may still leave a state behind; what counts is the break.
    if (!isUsable())
        throw CloudDatabaseError(CloudErrorCode::networkFailure);
    const char* message = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    throw cloudErrorForPostgres(sqlState ? sqlState : "", message ? message : "");
}

std::vector<CloudPostgresNotice> CloudPostgresConnection::notices(std::chrono::milliseconds timeout)
{
    auto received = [this] {
        if (PQconsumeInput(m_connection) == 0 || !isUsable())
            throw CloudDatabaseError(CloudErrorCode::networkFailure);
        std::vector<CloudPostgresNotice> found;
        while (PGnotify* notice = PQnotifies(m_connection)) {
            found.push_back({ notice->relname, notice->extra });
            PQfreemem(notice);
        }
        return found;
    };
    auto found = received();
    if (!found.empty())
        return found;
    pollfd waiting { PQsocket(m_connection), POLLIN, 0 };
    int ready;
    do
        ready = ::poll(&waiting, 1, static_cast<int>(timeout.count()));
    while (ready < 0 && errno == EINTR);
    return ready > 0 ? received() : found;
}

CloudPostgresTransaction::CloudPostgresTransaction(
    CloudPostgresConnection& connection, CloudPostgresIsolation isolation)
    : m_connection(connection)
{
    switch (isolation) {
    case CloudPostgresIsolation::snapshotReadOnly:
        m_connection.run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
        break;
    case CloudPostgresIsolation::serializable:
        m_connection.run("BEGIN ISOLATION LEVEL SERIALIZABLE");
        break;
    case CloudPostgresIsolation::readCommitted:
        m_connection.run("BEGIN ISOLATION LEVEL READ COMMITTED");
        break;
    }
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
