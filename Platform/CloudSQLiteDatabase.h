// The cloud database kept on this machine and shared by its processes: an SQLite file in write-ahead-log
// mode in the data home's "cloud/" folder (0700), assets as 0600 files written before their row commits,
// and pushes as datagrams to the listeners' sockets in the folder's "push/" subfolder.
//
// Each thread takes a connection of its own; writers wait for each other up to the busy time-out, past
// which the request fails with requestRateLimited and a retry-after of 1 s.
#pragma once

#include "Platform/CloudDatabase.h"

namespace vellumar::platform {

class CloudConnectionLease;
class CloudConnectionPool;

class CloudSQLiteDatabase final : public CloudDatabase {
public:
    // Opens (creating) the container's database in the folder. Throws CloudDatabaseError:
    // badContainer for an identifier that cannot name a file, permissionFailure when a folder is not
    // a private folder of this user, or it or the file cannot be written, badDatabase when the file is not
    // a database (an empty one is new only while no asset is kept), incompatibleVersion when a newer
    // program's schema is in it. Every refusal but the identifier's logs one line and leaves the database
    // and its folders as they are, modes included, and makes none; only an open that passes narrows them.
    // The folders above the cloud folder may be links of this user or root; another user's is refused.
    // Asset files older than an hour that no record refers to, left by writers that ended before their
    // commit, go.
    CloudSQLiteDatabase(std::string containerIdentifier, CloudDatabaseOptions options = {});
    ~CloudSQLiteDatabase() override;

    const std::filesystem::path& folder() const { return m_folder; }
    std::filesystem::path databaseFile() const;
    std::filesystem::path pushFolder() const { return pushFolderOf(m_folder); }
    static std::filesystem::path pushFolderOf(const std::filesystem::path& cloudFolder);

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
    // A socket in the push folder. Throws std::system_error when it cannot be bound.
    std::unique_ptr<CloudPushListener> listenForPushes() override;
    void queueFailure(const CloudQueuedFailure& failure) override;
    std::optional<CloudDatabaseError> takeQueuedFailure(std::string_view operation) override;

private:
    CloudConnectionLease lease();

    CloudDatabaseOptions m_options;
    std::filesystem::path m_folder;
    std::unique_ptr<CloudConnectionPool> m_connections;
};

}
