// The store both ends meet in: one zone per pairing of the user's private cloud database, reached only
// through these eleven operations and three plain records. Every failing operation throws MailboxError.
#pragma once

#include "MovraneMailbox/Protocol/MailboxBinary.h"
#include "MovraneMailbox/Protocol/MailboxError.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"
#include "MovraneMailbox/Protocol/MailboxSubscriptions.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace movrane {

using MailboxStoreTime = std::chrono::system_clock::time_point;

struct MailboxEnvelopeRecord {
    // `hasAsset` left unstated is true exactly when an asset file is given.
    MailboxEnvelopeRecord(std::string recordName, std::string recipient, MailboxNotify notifyKind,
        MailboxStoreTime created, std::int64_t sizeBytes, std::optional<MailboxBytes> sealed,
        std::optional<std::filesystem::path> asset, std::optional<bool> carriesAsset = std::nullopt)
        : name(std::move(recordName))
        , to(std::move(recipient))
        , notify(notifyKind)
        , createdAt(created)
        , size(sizeBytes)
        , payload(std::move(sealed))
        , assetFile(std::move(asset))
        , hasAsset(carriesAsset.value_or(assetFile.has_value()))
    {
    }

    std::string name;
    std::string to;
    MailboxNotify notify;
    MailboxStoreTime createdAt;
    // The sealed envelope's bytes plus the attachment's plaintext size when it has one.
    std::int64_t size;
    // The sealed envelope; a record read back may lack it and then cannot be opened.
    std::optional<MailboxBytes> payload;
    // Only on the writing side: the encrypted attachment file to upload as the record's asset.
    std::optional<std::filesystem::path> assetFile;
    bool hasAsset;

    friend bool operator==(const MailboxEnvelopeRecord&, const MailboxEnvelopeRecord&) = default;
};

struct MailboxPresenceRecord {
    MailboxStoreTime updatedAt;
    MailboxBytes payload;
    friend bool operator==(const MailboxPresenceRecord&, const MailboxPresenceRecord&) = default;
};

struct MailboxChanges {
    // In ascending order of creation.
    std::vector<MailboxEnvelopeRecord> envelopes;
    std::optional<MailboxPresenceRecord> presence;
    std::vector<std::string> deleted;
    // The store's own cursor, kept by the caller and handed to the next fetch.
    std::optional<MailboxBytes> token;
    bool moreComing = false;
    friend bool operator==(const MailboxChanges&, const MailboxChanges&) = default;
};

// Safe for concurrent use. Every operation but accountState throws MailboxError.
class MailboxStore {
public:
    virtual ~MailboxStore() = default;
    // Never fails: an unreadable state is couldNotDetermine.
    virtual MailboxAccountState accountState() = 0;
    // Stable for one account, on every device signed in to it.
    virtual std::string userRecordName() = 0;
    // Succeeds for a zone that exists, leaving its records.
    virtual void ensureZone(const std::string& zone) = 0;
    virtual void deleteZone(const std::string& zone) = 0;
    virtual void saveEnvelope(const MailboxEnvelopeRecord& record, const std::string& zone) = 0;
    // Replaces the zone's one presence record.
    virtual void savePresence(const MailboxPresenceRecord& record, const std::string& zone) = 0;
    // Everything with no token, what changed after it otherwise; changeTokenExpired, zoneMissing or
    // encryptedDataReset when the token or the zone is gone.
    virtual MailboxChanges fetchChanges(const std::string& zone, const std::optional<MailboxBytes>& token) = 0;
    // The asset of the named record in a new local file that then belongs to the caller.
    virtual std::filesystem::path fetchAsset(const std::string& recordName, const std::string& zone) = 0;
    virtual void deleteEnvelopes(const std::vector<std::string>& recordNames, const std::string& zone) = 0;
    virtual void saveSubscriptions(const std::vector<MailboxSubscriptionSpec>& specs, const std::string& zone) = 0;
    virtual void deleteSubscriptions(const std::vector<std::string>& identifiers) = 0;
};

}
