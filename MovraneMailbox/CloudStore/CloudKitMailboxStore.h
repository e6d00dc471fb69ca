// The mailbox store on the cloud database: each of the eleven operations is one request to the
// container's private database, with no cache, queue or retry of its own; whatever fails leaves as
// a MailboxError through CloudKitMailboxMapping.
#pragma once

#include "MovraneMailbox/Protocol/MailboxStore.h"
#include "Platform/CloudDatabase.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace movrane {

// Safe for concurrent use: only the opening of the container is guarded, and operations run at once.
class CloudKitMailboxStore final : public MailboxStore {
public:
    // Touches nothing until the first operation opens the container's database (the one the options
    // choose, or else "cloud.json" in the data home), which then also removes fetched asset copies that
    // callers left behind in the "tmp" folder more than an hour ago.
    explicit CloudKitMailboxStore(
        std::string containerIdentifier, vellumar::platform::CloudDatabaseOptions options = {});
    ~CloudKitMailboxStore() override;

    MailboxAccountState accountState() override;
    std::string userRecordName() override;
    void ensureZone(const std::string& zone) override;
    // A zone already gone counts as deleted.
    void deleteZone(const std::string& zone) override;
    // alreadyExists when the zone holds a record of that name.
    void saveEnvelope(const MailboxEnvelopeRecord& record, const std::string& zone) override;
    void savePresence(const MailboxPresenceRecord& record, const std::string& zone) override;
    // One page of the zone's feed, envelopes earliest first; records that do not read are skipped. A
    // token that is not one of this store's fails with changeTokenExpired before any request.
    MailboxChanges fetchChanges(const std::string& zone, const std::optional<MailboxBytes>& token) override;
    // A new 0600 file "mailbox-asset-<UUID>" in the cloud folder's "tmp" folder (0700), never in the
    // system's shared temporary folder; notFound for a record without an asset or without a record.
    std::filesystem::path fetchAsset(const std::string& recordName, const std::string& zone) override;
    // Records already gone count as deleted; an empty list makes no request.
    void deleteEnvelopes(const std::vector<std::string>& recordNames, const std::string& zone) override;
    void saveSubscriptions(
        const std::vector<MailboxSubscriptionSpec>& specs, const std::string& zone) override;
    // Subscriptions already gone count as deleted; an empty list makes no request.
    void deleteSubscriptions(const std::vector<std::string>& identifiers) override;

    const std::string& containerIdentifier() const { return m_containerIdentifier; }
    // Throws MailboxError when the container's database cannot be opened.
    vellumar::platform::CloudDatabase& container();
    std::filesystem::path temporaryFolder() const;

private:
    // The opened container, after any failure queued for `operation` has been thrown.
    vellumar::platform::CloudDatabase& request(std::string_view operation);

    std::string m_containerIdentifier;
    vellumar::platform::CloudDatabaseOptions m_options;
    std::mutex m_lock;
    std::unique_ptr<vellumar::platform::CloudDatabase> m_openedContainer;
};

}
