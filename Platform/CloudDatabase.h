// The private cloud database of one container, as the mailbox store sees it, whichever database holds
// it: the SQLite file shared by the processes of this machine (CloudSQLiteDatabase) or a PostgreSQL
// server shared across machines (CloudPostgresDatabase). Record zones, records of typed fields, assets,
// a change feed per zone read through opaque tokens, query subscriptions that push to listeners when a
// matching record is created, the account, and failures queued for tests.
//
// Every request is one transaction. Failures throw CloudDatabaseError with the cloud service's codes;
// requests on several items answer a result per item instead. Safe for concurrent use by any threads
// and processes; writers wait for each other up to the busy time-out, past which the request fails with
// requestRateLimited and a retry-after.
#pragma once

#include "Platform/CloudDatabaseChoice.h"
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

class CloudPushListener;

struct CloudDatabaseOptions {
    // The cloud folder of this machine; empty means `CloudDatabase::defaultFolder()`.
    std::filesystem::path folder;
    std::chrono::milliseconds busyTimeout { 5000 };
    // The most changes one fetch of a zone's feed returns.
    std::size_t pageLimit = 400;
    // Which database holds the container; absent means what "cloud.json" in the folder's parent (the
    // data home) names.
    std::optional<CloudDatabaseChoice> choice;
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
    virtual ~CloudDatabase();
    CloudDatabase(const CloudDatabase&) = delete;
    CloudDatabase& operator=(const CloudDatabase&) = delete;

    // "${XDG_DATA_HOME:-$HOME/.local/share}/Vellumar/cloud".
    static std::filesystem::path defaultFolder();
    const std::string& containerIdentifier() const { return m_containerIdentifier; }
    // The most changes one fetch of a zone's feed returns from now on; at least 1.
    void setPageLimit(std::size_t limit) { m_pageLimit = std::max<std::size_t>(limit, 1); }

    // A new database's account is available, under a random user record name kept from then on.
    virtual CloudAccount account() = 0;
    // Stores the account; when it changed, every push listener gets `cloudAccountChangedNotice`.
    virtual void setAccount(const CloudAccount& account) = 0;
    // The user's record name; notAuthenticated (or accountTemporarilyUnavailable) unless available.
    std::string userRecordName();

    // Making a zone that exists succeeds and keeps its records.
    virtual void saveZone(const std::string& zoneName) = 0;
    // Removes the zone with its records, assets, feed and subscriptions; zoneNotFound when absent.
    virtual void deleteZone(const std::string& zoneName) = 0;

    // Saves each record under the policy; per-item errors: serverRecordChanged for a taken name under
    // ifServerRecordUnchanged, assetFileNotFound for an asset file that cannot be read, invalidArguments
    // for an empty name. zoneNotFound for the whole request when the zone is missing.
    virtual std::vector<CloudItemResult> saveRecords(
        const std::string& zoneName, const std::vector<CloudRecord>& records, CloudSavePolicy policy)
        = 0;
    // Per-item unknownItem for a name that is not stored.
    virtual std::vector<CloudItemResult> deleteRecords(
        const std::string& zoneName, const std::vector<std::string>& names)
        = 0;
    // One result per name, in order; only the `desiredKeys` fields (all when absent). An asset comes as
    // a file of this machine's cloud folder, which the reader copies before use and never changes; one
    // whose row names no file of the database's own form (a damaged record) is left out, and logged.
    virtual std::vector<CloudFetchResult> fetchRecords(const std::string& zoneName,
        const std::vector<std::string>& names, const std::optional<std::set<std::string>>& desiredKeys)
        = 0;
    // One page of the zone's feed after `since` (from the start when absent): each changed record once
    // with its `desiredKeys` fields, in the order of their last change, then the names deleted.
    // changeTokenExpired for a token of an earlier zone of that name or of no place in the feed.
    virtual CloudZoneChanges fetchZoneChanges(const std::string& zoneName,
        const std::optional<CloudChangeToken>& since, const std::optional<std::set<std::string>>& desiredKeys)
        = 0;

    // Saves or replaces each subscription; zoneNotFound for the item when its zone is missing.
    virtual std::vector<CloudItemResult> saveSubscriptions(
        const std::vector<CloudQuerySubscription>& subscriptions)
        = 0;
    // Per-item unknownItem for an identifier that is not stored.
    virtual std::vector<CloudItemResult> deleteSubscriptions(const std::vector<std::string>& subscriptionIDs)
        = 0;
    virtual std::vector<CloudQuerySubscription> subscriptions() = 0;

    // A new listener for this container's pushes. Throws std::system_error or CloudDatabaseError when it
    // cannot be made.
    virtual std::unique_ptr<CloudPushListener> listenForPushes() = 0;

    virtual void queueFailure(const CloudQueuedFailure& failure) = 0;
    // Takes one queued failure of `operation`, oldest first; absent when none is queued.
    virtual std::optional<CloudDatabaseError> takeQueuedFailure(std::string_view operation) = 0;

protected:
    // One change of a zone's feed as read: the record as it is now, or none when it was deleted.
    struct FeedEntry {
        std::int64_t sequence = 0;
        std::string recordName;
        std::optional<CloudRecord> record;
    };

    // Throws badContainer for an identifier that cannot name a file or a schema.
    CloudDatabase(std::string containerIdentifier, std::size_t pageLimit);
    std::size_t pageLimit() const { return m_pageLimit.load(); }
    // Makes `folder` a private folder of this user when it is not one yet; when it cannot be one, throws
    // the CloudOpenRefusal of permissionFailure that `prepareLoggingRefusals` logs.
    static void makePrivateFolder(const std::filesystem::path& folder);
    // Throws the same refusal, changing nothing, when `folder` exists but is a link, not a folder, another
    // user's, or one this process may not write in (its owner's write bit off among the causes, which
    // root would ignore). A missing folder passes.
    static void refuseUnusableFolder(const std::filesystem::path& folder);
    // changeTokenExpired unless `since` is absent or a place in the feed of the zone of `epoch`, whose
    // last change is `lastSequence`.
    static void checkToken(
        const std::optional<CloudChangeToken>& since, std::int64_t epoch, std::int64_t lastSequence);
    // The page of `entries`, read up to one past the page limit after `since`.
    CloudZoneChanges pageOfChanges(std::vector<FeedEntry> entries, std::int64_t epoch,
        std::int64_t lastSequence, const std::optional<CloudChangeToken>& since) const;
    // The notifications that creating `record` sends: one per subscription of its zone it matches.
    std::vector<std::string> creationPushes(
        const std::vector<CloudQuerySubscription>& zoneSubscriptions, const CloudRecord& record) const;

private:
    std::string m_containerIdentifier;
    std::atomic<std::size_t> m_pageLimit;
};

// Opens (creating) the container's database where the options' choice names. Throws CloudDatabaseError
// as the chosen database's constructor does, and as `readCloudDatabaseChoice` does.
std::unique_ptr<CloudDatabase> openCloudDatabase(
    std::string containerIdentifier, CloudDatabaseOptions options = {});

// A listener of the container's pushes on the database the options choose, made without opening the
// database: on SQLite a socket in the cloud folder's "push/" subfolder, which must exist. Throws
// std::system_error when the socket cannot be bound, CloudDatabaseError as `readCloudDatabaseChoice` does.
std::unique_ptr<CloudPushListener> listenForCloudPushes(
    const std::string& containerIdentifier, CloudDatabaseOptions options = {});

}
