// The cloud database on a PostgreSQL server that the machines of one user share: the container's
// account is a schema of its own on the server, assets are kept in it in parts and streamed to and
// from files, and pushes are notifications on the schema's channel. This machine's cloud folder only
// holds the assets fetched from the server, for their readers to copy.
//
// Writers of one account take their turn on the server, waiting up to the busy time-out, past which a
// request fails with requestRateLimited and a retry-after. A lost connection is networkFailure; the
// next request opens a new one.
#pragma once

#include "Platform/CloudDatabase.h"

namespace vellumar::platform {

class CloudPostgresConnection;
class CloudPostgresPool;

class CloudPostgresDatabase final : public CloudDatabase {
public:
    // Connects with the options' connection string and makes the container's schema unless it exists.
    // Throws CloudDatabaseError: badContainer for an identifier that cannot name a file, networkFailure
    // when the server cannot be reached, notAuthenticated when it refuses the credentials,
    // permissionFailure when the cloud folder is not a private folder of this user or the role may not
    // connect. Every failure but the identifier's logs one line with its reason, the first connection's
    // among them. The open waits for another connection's lock no longer than the busy time-out, as
    // requests do.
    CloudPostgresDatabase(std::string containerIdentifier, CloudDatabaseOptions options);
    ~CloudPostgresDatabase() override;

    const std::string& schema() const { return m_schema; }
    // A listener of the container's pushes on the server; never fails, reconnecting as it receives.
    static std::unique_ptr<CloudPushListener> listen(
        const std::string& conninfo, const std::string& containerIdentifier);

    CloudAccount account() override;
    void setAccount(const CloudAccount& account) override;
    void saveZone(const std::string& zoneName) override;
    void deleteZone(const std::string& zoneName) override;
    std::vector<CloudItemResult> saveRecords(const std::string& zoneName,
        const std::vector<CloudRecord>& records, CloudSavePolicy policy) override;
    std::vector<CloudItemResult> deleteRecords(
        const std::string& zoneName, const std::vector<std::string>& names) override;
    std::vector<CloudFetchResult> fetchRecords(const std::string& zoneName,
        const std::vector<std::string>& names,
        const std::optional<std::set<std::string>>& desiredKeys) override;
    CloudZoneChanges fetchZoneChanges(const std::string& zoneName,
        const std::optional<CloudChangeToken>& since,
        const std::optional<std::set<std::string>>& desiredKeys) override;
    std::vector<CloudItemResult> saveSubscriptions(
        const std::vector<CloudQuerySubscription>& subscriptions) override;
    std::vector<CloudItemResult> deleteSubscriptions(
        const std::vector<std::string>& subscriptionIDs) override;
    std::vector<CloudQuerySubscription> subscriptions() override;
    // Listens on the schema's channel; never fails, reconnecting as it receives.
    std::unique_ptr<CloudPushListener> listenForPushes() override;
    void queueFailure(const CloudQueuedFailure& failure) override;
    std::optional<CloudDatabaseError> takeQueuedFailure(std::string_view operation) override;

private:
    // Where a read's assets come from: this machine's cache, else the server within the read's
    // transaction (`snapshot`), so that the parts read are those of the rows read. A read outside a
    // transaction notes, in `missed`, an asset the cache lacks instead.
    struct AssetReads {
        CloudPostgresConnection* snapshot = nullptr;
        bool missed = false;
    };

    // The fetched asset's file in this machine's cache, downloaded unless it is there already; absent for
    // a damaged name, which is never joined to the cache folder, or for one missed.
    std::optional<std::filesystem::path> cachedAsset(AssetReads& assets, const std::string& assetName);
    // The record of the type in `typeColumn` of the row, with the `desiredKeys` ones of the fields
    // packed in the next column. Fields that do not read, assets of a damaged name and assets missed are
    // left out.
    CloudRecord unpackedRecord(AssetReads& assets, const class CloudPostgresRows& rows, int row,
        int typeColumn, std::string recordName, const std::optional<std::set<std::string>>& desiredKeys);
    // A page of the feed read with one statement.
    CloudZoneChanges readChanges(CloudPostgresConnection& connection, AssetReads& assets,
        const std::string& zoneName, const std::optional<CloudChangeToken>& since,
        const std::optional<std::set<std::string>>& desiredKeys);

    std::string m_conninfo;
    std::string m_schema;
    std::filesystem::path m_assetCache;
    std::unique_ptr<CloudPostgresPool> m_connections;
};

}
