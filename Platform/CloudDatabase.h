// The private cloud database of one container, kept on this machine and shared by its processes:
// an SQLite file in write-ahead-log mode in the data home's "cloud/" folder (0700), with record
// zones, records of typed fields, assets as 0600 files written before their row commits, a change
// feed per zone read through opaque tokens, query subscriptions that push to listeners when a
// matching record is created, the account, and failures queued for tests.
//
// Every request is one transaction. Failures throw CloudDatabaseError with the cloud service's codes;
// requests on several items answer a result per item instead. Safe for concurrent use by any threads
// and processes: each thread takes a connection of its own, and writers wait for each other up to the
// busy time-out, past which the request fails with requestRateLimited and a retry-after of 1 s.
#pragma once

#include "Platform/CloudRecord.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::platform {

class CloudConnectionLease;
class CloudConnectionPool;

struct CloudDatabaseOptions {
    // The cloud folder; empty means `CloudDatabase::defaultFolder()`.
    std::filesystem::path folder;
    std::chrono::milliseconds busyTimeout { 5000 };
    // The most changes one fetch of a zone's feed returns.
    std::size_t pageLimit = 400;
};

// A failure that the next matching calls of `operation` return instead of running, `count` times.
struct CloudQueuedFailure {
    std::string operation;
    int code = CloudErrorCode::internalError;
    std::optional<double> retryAfterSeconds;
    int count = 1;
};

// A fetched record, or the error of its item (unknownItem when it does not exist).
struct CloudFetchResult {
    std::optional<CloudRecord> record;
    std::optional<CloudDatabaseError> error;
};

class CloudDatabase {
public:
    // Opens (creating) the container's database in the folder. Throws CloudDatabaseError:
    // badContainer for an identifier that cannot name a file, permissionFailure when the folder is not
    // a private folder of this user, badDatabase when the file is not a database. Asset files older
    // than an hour that no record refers to, left by writers that ended before their commit, go.
    CloudDatabase(std::string containerIdentifier, CloudDatabaseOptions options = {});
    ~CloudDatabase();
    CloudDatabase(const CloudDatabase&) = delete;
    CloudDatabase& operator=(const CloudDatabase&) = delete;

    // "${XDG_DATA_HOME:-$HOME/.local/share}/Vellumar/cloud".
    static std::filesystem::path defaultFolder();
    const std::filesystem::path& folder() const { return m_folder; }
    std::filesystem::path databaseFile() const;
    std::filesystem::path pushFolder() const;
    const std::string& containerIdentifier() const { return m_containerIdentifier; }
    // The most changes one fetch of a zone's feed returns from now on; at least 1.
    void setPageLimit(std::size_t limit) { m_pageLimit = std::max<std::size_t>(limit, 1); }

    // A new database's account is available, under a random user record name kept from then on.
    CloudAccount account();
    // Stores the account; when it changed, every push listener gets `cloudAccountChangedNotice`.
    void setAccount(const CloudAccount& account);
    // The user's record name; notAuthenticated (or accountTemporarilyUnavailable) unless available.
    std::string userRecordName();

    // Making a zone that exists succeeds and keeps its records.
    void saveZone(const std::string& zoneName);
    // Removes the zone with its records, assets, feed and subscriptions; zoneNotFound when absent.
    void deleteZone(const std::string& zoneName);

    // Saves each record under the policy; per-item errors: serverRecordChanged for a taken name under
    // ifServerRecordUnchanged, assetFileNotFound for an asset file that cannot be read, invalidArguments
    // for an empty name. zoneNotFound for the whole request when the zone is missing.
    std::vector<CloudItemResult> saveRecords(
        const std::string& zoneName, const std::vector<CloudRecord>& records, CloudSavePolicy policy);
    // Per-item unknownItem for a name that is not stored.
    std::vector<CloudItemResult> deleteRecords(
        const std::string& zoneName, const std::vector<std::string>& names);
    // One result per name, in order; only the `desiredKeys` fields (all when absent).
    std::vector<CloudFetchResult> fetchRecords(const std::string& zoneName,
        const std::vector<std::string>& names, const std::optional<std::set<std::string>>& desiredKeys);
    // One page of the zone's feed after `since` (from the start when absent): each changed record once
    // with its `desiredKeys` fields, in the order of their last change, then the names deleted.
    // changeTokenExpired for a token of an earlier zone of that name or of no place in the feed.
    CloudZoneChanges fetchZoneChanges(const std::string& zoneName,
        const std::optional<CloudChangeToken>& since,
        const std::optional<std::set<std::string>>& desiredKeys);

    // Saves or replaces each subscription; zoneNotFound for the item when its zone is missing.
    std::vector<CloudItemResult> saveSubscriptions(const std::vector<CloudQuerySubscription>& subscriptions);
    // Per-item unknownItem for an identifier that is not stored.
    std::vector<CloudItemResult> deleteSubscriptions(const std::vector<std::string>& subscriptionIDs);
    std::vector<CloudQuerySubscription> subscriptions();

    void queueFailure(const CloudQueuedFailure& failure);
    // Takes one queued failure of `operation`, oldest first; absent when none is queued.
    std::optional<CloudDatabaseError> takeQueuedFailure(std::string_view operation);

private:
    CloudConnectionLease lease();

    std::string m_containerIdentifier;
    CloudDatabaseOptions m_options;
    std::filesystem::path m_folder;
    std::atomic<std::size_t> m_pageLimit;
    std::unique_ptr<CloudConnectionPool> m_connections;
};

}
