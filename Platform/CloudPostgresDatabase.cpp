#include "Platform/CloudPostgresDatabase.h"

#include "Platform/CloudPostgresPush.h"
#include "Platform/CloudPostgresSchema.h"
#include "Platform/CloudPush.h"
#include "Platform/CloudDatabaseSchema.h"
#include "Platform/PrivateFiles.h"

#include <charconv>

namespace vellumar::platform {

namespace {

    namespace fs = std::filesystem;
    using Access = CloudPostgresPool::Access;

    // Fetched assets no reader has touched for this long are fetched again when wanted.
    constexpr auto kCachedAssetAge = std::chrono::hours(1);

    CloudAccount readAccount(CloudPostgresConnection& connection)
    {
        auto rows = connection.run("SELECT status, user_record_name FROM account WHERE id = 1");
        if (rows.count() != 1)
            throw CloudDatabaseError(CloudErrorCode::internalError);
        return { static_cast<CloudAccountStatus>(rows.integer(0, 0)), rows.text(0, 1) };
    }

    CloudPostgresValue optionalValue(const std::optional<std::string>& text)
    {
        return text ? CloudPostgresValue(*text) : CloudPostgresValue();
    }

    void removeOldCachedAssets(const fs::path& cache)
    {
        for (const auto& old : entriesOlderThan(cache, kCachedAssetAge)) {
            std::error_code ignored;
            fs::remove(old, ignored);
        }
    }

}

CloudPostgresDatabase::CloudPostgresDatabase(std::string containerIdentifier, CloudDatabaseOptions options)
    : CloudDatabase(std::move(containerIdentifier), options.pageLimit)
    , m_conninfo(options.choice ? options.choice->conninfo : std::string())
    , m_schema(cloudPostgresSchemaName(this->containerIdentifier()))
{
    fs::path folder = options.folder.empty() ? defaultFolder() : options.folder;
    m_assetCache = folder / "postgresql-assets";
    prepareLoggingRefusals([&] {
        makePrivateFolder(folder);
        makePrivateFolder(m_assetCache);
    });
    removeOldCachedAssets(m_assetCache);
    m_connections = std::make_unique<CloudPostgresPool>(m_conninfo, m_schema, options.busyTimeout);
    std::unique_ptr<CloudPostgresConnection> connection;
    // A server that cannot be reached or refuses the first connection is told as a refused schema is.
    prepareLoggingRefusals([&] { connection = m_connections->open(); });
    // Waits for another connection's lock no longer than any request does.
    prepareCloudPostgresSchema(*connection, m_schema);
}

CloudPostgresDatabase::~CloudPostgresDatabase() = default;

CloudAccount CloudPostgresDatabase::account()
{
    CloudAccount current;
    m_connections->singleStatement([&](auto& connection) { current = readAccount(connection); });
    return current;
}

void CloudPostgresDatabase::setAccount(const CloudAccount& account)
{
    m_connections->transaction(Access::write, [&](CloudPostgresConnection& connection) {
        if (readAccount(connection) == account)
            return;
        connection.run("UPDATE account SET status = $1, user_record_name = $2 WHERE id = 1",
            { std::to_string(static_cast<int>(account.status)), account.userRecordName });
        // Sent when the change commits, and only then.
        connection.run("SELECT pg_notify($1, $2)", { m_schema, std::string(cloudAccountChangedNotice) });
    });
}

void CloudPostgresDatabase::saveZone(const std::string& zoneName)
{
    if (zoneName.empty())
        throw CloudDatabaseError(CloudErrorCode::invalidArguments);
    m_connections->transaction(Access::write, [&](CloudPostgresConnection& connection) {
        connection.run("INSERT INTO zones(name, epoch) VALUES($1, $2) ON CONFLICT DO NOTHING",
            { zoneName, std::to_string(newCloudZoneEpoch()) });
    });
}

void CloudPostgresDatabase::deleteZone(const std::string& zoneName)
{
    m_connections->transaction(Access::write, [&](CloudPostgresConnection& connection) {
        if (connection.run("DELETE FROM zones WHERE name = $1 RETURNING name", { zoneName }).count() == 0)
            throw CloudDatabaseError(CloudErrorCode::zoneNotFound);
        for (const char* sql : { "DELETE FROM assets WHERE name IN (SELECT unnest(assets) FROM records "
                                 "WHERE zone = $1)",
                 "DELETE FROM records WHERE zone = $1",
                 "DELETE FROM subscription_clauses WHERE subscription IN "
                 "(SELECT id FROM subscriptions WHERE zone = $1)",
                 "DELETE FROM subscriptions WHERE zone = $1" })
            connection.run(sql, { zoneName });
    });
}

std::vector<CloudItemResult> CloudPostgresDatabase::saveSubscriptions(
    const std::vector<CloudQuerySubscription>& subscriptions)
{
    std::vector<CloudItemResult> results;
    m_connections->transaction(Access::write, [&](CloudPostgresConnection& connection) {
        results.clear();
        for (const auto& subscription : subscriptions) {
            results.push_back({ subscription.subscriptionID, std::nullopt });
            if (subscription.subscriptionID.empty()) {
                results.back().error = CloudDatabaseError(CloudErrorCode::invalidArguments);
                continue;
            }
            if (connection.run("SELECT 1 FROM zones WHERE name = $1", { subscription.zoneName }).count()
                == 0) {
                results.back().error = CloudDatabaseError(CloudErrorCode::zoneNotFound);
                continue;
            }
            const CloudNotificationInfo& info = subscription.notificationInfo;
            connection.run(
                "DELETE FROM subscription_clauses WHERE subscription = $1", { subscription.subscriptionID });
            connection.run(
                "INSERT INTO subscriptions(id, zone, record_type, content_available, title_key, "
                "body_key, sound) VALUES($1, $2, $3, $4, $5, $6, $7) ON CONFLICT(id) DO UPDATE SET "
                "zone = $2, record_type = $3, content_available = $4, title_key = $5, "
                "body_key = $6, sound = $7",
                { subscription.subscriptionID, subscription.zoneName, subscription.recordType,
                    std::string(info.shouldSendContentAvailable ? "true" : "false"),
                    optionalValue(info.titleLocalizationKey), optionalValue(info.alertLocalizationKey),
                    optionalValue(info.soundName) });
            int position = 0;
            for (const auto& clause : subscription.predicate.clauses)
                connection.run("INSERT INTO subscription_clauses(subscription, position, key, value) "
                               "VALUES($1, $2, $3, $4)",
                    { subscription.subscriptionID, std::to_string(position++), clause.key, clause.value });
        }
    });
    return results;
}

std::vector<CloudItemResult> CloudPostgresDatabase::deleteSubscriptions(
    const std::vector<std::string>& subscriptionIDs)
{
    std::vector<CloudItemResult> results;
    m_connections->transaction(Access::write, [&](CloudPostgresConnection& connection) {
        results.clear();
        for (const auto& subscriptionID : subscriptionIDs) {
            connection.run("DELETE FROM subscription_clauses WHERE subscription = $1", { subscriptionID });
            bool existed
                = connection.run("DELETE FROM subscriptions WHERE id = $1 RETURNING id", { subscriptionID })
                      .count()
                > 0;
            results.push_back({ subscriptionID,
                existed ? std::nullopt : std::optional(CloudDatabaseError(CloudErrorCode::unknownItem)) });
        }
    });
    return results;
}

std::vector<CloudQuerySubscription> CloudPostgresDatabase::subscriptions()
{
    std::vector<CloudQuerySubscription> found;
    m_connections->transaction(Access::read, [&](CloudPostgresConnection& connection) {
        found = readCloudPostgresSubscriptions(connection, std::nullopt);
    });
    return found;
}

std::unique_ptr<CloudPushListener> CloudPostgresDatabase::listenForPushes()
{
    return listen(m_conninfo, containerIdentifier());
}

std::unique_ptr<CloudPushListener> CloudPostgresDatabase::listen(
    const std::string& conninfo, const std::string& containerIdentifier)
{
    return std::make_unique<CloudPostgresPushListener>(CloudPostgresPushListener::Channel {
        conninfo, cloudPostgresSchemaName(containerIdentifier), containerIdentifier });
}

void CloudPostgresDatabase::queueFailure(const CloudQueuedFailure& failure)
{
    m_connections->transaction(Access::write, [&](CloudPostgresConnection& connection) {
        connection.run(
            "INSERT INTO queued_failures(operation, code, retry_after, remaining) VALUES($1, $2, $3, $4)",
            { failure.operation, std::to_string(failure.code),
                failure.retryAfterSeconds ? CloudPostgresValue(std::to_string(*failure.retryAfterSeconds))
                                          : CloudPostgresValue(),
                std::to_string(failure.count) });
    });
}

std::optional<CloudDatabaseError> CloudPostgresDatabase::takeQueuedFailure(std::string_view operation)
{
    std::optional<CloudDatabaseError> failure;
    bool anyQueued = false;
    // Most calls find nothing queued, and a read waits for no writer.
    m_connections->singleStatement([&](CloudPostgresConnection& connection) {
        anyQueued = connection.run("SELECT 1 FROM queued_failures WHERE remaining > 0 LIMIT 1").count() > 0;
    });
    if (!anyQueued)
        return std::nullopt;
    m_connections->transaction(Access::write, [&](CloudPostgresConnection& connection) {
        auto rows = connection.run("UPDATE queued_failures SET remaining = remaining - 1 WHERE id = "
                                   "(SELECT id FROM queued_failures WHERE operation = $1 AND remaining > 0 "
                                   "ORDER BY id LIMIT 1) RETURNING code, retry_after",
            { std::string(operation) });
        if (rows.count() == 0)
            return;
        std::optional<double> retryAfter;
        if (!rows.isNull(0, 1)) {
            std::string text = rows.text(0, 1);
            double seconds = 0;
            auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
            if (error == std::errc())
                retryAfter = seconds;
        }
        failure = CloudDatabaseError(static_cast<int>(rows.integer(0, 0)), retryAfter);
        connection.run("DELETE FROM queued_failures WHERE remaining <= 0");
    });
    return failure;
}

}
