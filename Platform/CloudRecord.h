// The values the cloud database stores: records of typed fields in named zones, the per-item and
// whole-request errors with the cloud service's own codes, query subscriptions, and the change token
// that marks a place in a zone's change feed.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vellumar::platform {

using CloudBytes = std::vector<std::uint8_t>;
using CloudDate = std::chrono::system_clock::time_point;

// A file a record carries. On save, the file to upload; on fetch, the database's own copy, which the
// reader copies before use and never changes.
struct CloudAsset {
    std::filesystem::path fileURL;
    friend bool operator==(const CloudAsset&, const CloudAsset&) = default;
};

using CloudValue = std::variant<std::string, CloudDate, std::int64_t, CloudBytes, CloudAsset>;

struct CloudRecord {
    std::string recordType;
    std::string recordName;
    std::map<std::string, CloudValue, std::less<>> fields;

    // The field's value, or null when the record does not hold it.
    const CloudValue* field(std::string_view key) const
    {
        auto found = fields.find(key);
        return found == fields.end() ? nullptr : &found->second;
    }
    friend bool operator==(const CloudRecord&, const CloudRecord&) = default;
};

// The cloud service's error codes that this database produces itself; callers map every code.
namespace CloudErrorCode {
    inline constexpr int internalError = 1;
    inline constexpr int partialFailure = 2;
    inline constexpr int networkUnavailable = 3;
    inline constexpr int networkFailure = 4;
    inline constexpr int badContainer = 5;
    inline constexpr int requestRateLimited = 7;
    inline constexpr int notAuthenticated = 9;
    inline constexpr int permissionFailure = 10;
    inline constexpr int unknownItem = 11;
    inline constexpr int invalidArguments = 12;
    inline constexpr int serverRecordChanged = 14;
    inline constexpr int assetFileNotFound = 16;
    inline constexpr int incompatibleVersion = 18;
    inline constexpr int changeTokenExpired = 21;
    inline constexpr int batchRequestFailed = 22;
    inline constexpr int badDatabase = 24;
    inline constexpr int quotaExceeded = 25;
    inline constexpr int zoneNotFound = 26;
    inline constexpr int limitExceeded = 27;
    inline constexpr int userDeletedZone = 28;
    inline constexpr int managedAccountRestricted = 32;
    inline constexpr int accountTemporarilyUnavailable = 36;
}

class CloudDatabaseError : public std::exception {
public:
    // `detail`, what the storage underneath said, goes into the text, for logs: another process or
    // machine may have written it, so it goes in as one log line holds such text, cut short and printable.
    explicit CloudDatabaseError(
        int code, std::optional<double> retryAfterSeconds = std::nullopt, std::string_view detail = {});

    int code() const noexcept { return m_code; }
    // The wait the service suggests before trying again, when it gave one.
    std::optional<double> retryAfterSeconds() const noexcept { return m_retryAfterSeconds; }
    // A missing zone's flag that the user reset the account's encrypted data: absent when not given.
    std::optional<bool> userDidResetEncryptedData;
    // A partial failure's errors per item (record name or subscription id), in the order they failed.
    std::vector<std::pair<std::string, CloudDatabaseError>> partialErrors;

    const char* what() const noexcept override { return m_text.c_str(); }

private:
    int m_code;
    std::optional<double> m_retryAfterSeconds;
    std::string m_text;
};

// The outcome of one item of a request that saves or deletes several: no error means it succeeded.
struct CloudItemResult {
    std::string itemID;
    std::optional<CloudDatabaseError> error;
};

enum class CloudSavePolicy {
    // A record whose name is taken fails with serverRecordChanged and leaves the stored one.
    ifServerRecordUnchanged,
    // The stored record is replaced whatever it holds.
    allKeys,
};

// An equality test on one string field; a predicate holds when all its clauses do.
struct CloudPredicateClause {
    std::string key;
    std::string value;
    friend bool operator==(const CloudPredicateClause&, const CloudPredicateClause&) = default;
};

struct CloudPredicate {
    std::vector<CloudPredicateClause> clauses;

    // "%K == %@", joined by " AND ", one per clause.
    std::string format() const;
    // Each clause's key then value.
    std::vector<std::string> arguments() const;
    bool matches(const CloudRecord& record) const;
    friend bool operator==(const CloudPredicate&, const CloudPredicate&) = default;
};

struct CloudNotificationInfo {
    bool shouldSendContentAvailable = false;
    std::optional<std::string> titleLocalizationKey;
    std::optional<std::string> alertLocalizationKey;
    std::optional<std::string> soundName;
    friend bool operator==(const CloudNotificationInfo&, const CloudNotificationInfo&) = default;
};

// Fires when a record of `recordType` that matches `predicate` is created in `zoneName`; later saves
// over the same record never fire it.
struct CloudQuerySubscription {
    std::string subscriptionID;
    std::string recordType;
    std::string zoneName;
    CloudPredicate predicate;
    CloudNotificationInfo notificationInfo;
    friend bool operator==(const CloudQuerySubscription&, const CloudQuerySubscription&) = default;
};

// A place in one zone's change feed: the zone's epoch (new each time the zone is made) and the last
// change read. A feed begun from the start reports no deletions until it has caught up.
struct CloudChangeToken {
    std::int64_t zoneEpoch = 0;
    std::int64_t changeSequence = 0;
    bool initialFeed = false;

    // 17 bytes; `decoded` answers absent for any other length.
    CloudBytes encoded() const;
    static std::optional<CloudChangeToken> decoded(const CloudBytes& bytes);
    friend bool operator==(const CloudChangeToken&, const CloudChangeToken&) = default;
};

struct CloudZoneChanges {
    std::vector<CloudRecord> modified;
    std::vector<std::string> deletedRecordNames;
    CloudChangeToken token;
    bool moreComing = false;
};

// The values of the service's account status; others may be stored and read.
enum class CloudAccountStatus : int {
    couldNotDetermine = 0,
    available = 1,
    restricted = 2,
    noAccount = 3,
    temporarilyUnavailable = 4,
};

struct CloudAccount {
    CloudAccountStatus status = CloudAccountStatus::available;
    std::string userRecordName;
    friend bool operator==(const CloudAccount&, const CloudAccount&) = default;
};

}
