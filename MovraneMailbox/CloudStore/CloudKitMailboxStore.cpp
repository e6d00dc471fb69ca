#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"

#include "MovraneMailbox/CloudStore/CloudKitMailboxMapping.h"
#include "MovraneMailbox/Protocol/MailboxCryptoError.h"
#include "Platform/PrivateFiles.h"
#include "Platform/Random.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

namespace movrane {

namespace {

    namespace fs = std::filesystem;
    using namespace vellumar::platform;

    constexpr std::string_view kAssetCopyPrefix = "mailbox-asset-";
    // A caller removes its copy as soon as it has decrypted it; one older than this was left by a
    // process that ended first. Younger ones may still be read by another process sharing the folder.
    constexpr auto kAssetCopyLeftoverAge = std::chrono::hours(1);

    // Every field the feed needs, and never the asset, which is fetched on its own.
    const std::set<std::string> kFeedKeys { std::string(MailboxProtocol::Field::to),
        std::string(MailboxProtocol::Field::notify), std::string(MailboxProtocol::Field::createdAt),
        std::string(MailboxProtocol::Field::size), std::string(MailboxProtocol::Field::payload),
        std::string(MailboxProtocol::Field::updatedAt) };

    // Runs `operation` and rethrows whatever it throws as a MailboxError.
    template <typename Operation> auto mapped(Operation&& operation) -> decltype(operation())
    {
        try {
            return operation();
        } catch (...) {
            throw CloudKitMailboxMapping::mailboxError(std::current_exception());
        }
    }

    // Throws the first failed item, in the order the database answered, leaving out `ignoredCode`.
    void throwFirstFailure(
        const std::vector<CloudItemResult>& results, std::optional<int> ignoredCode = std::nullopt)
    {
        for (const auto& result : results) {
            if (result.error && result.error->code() != ignoredCode)
                throw *result.error;
        }
    }

    // A version 4 UUID in its standard upper-case text form.
    std::string newUUIDText()
    {
        auto bytes = secureRandomBytes(16);
        bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
        bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
        char text[37];
        std::snprintf(text, sizeof text,
            "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0], bytes[1],
            bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
            bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
        return text;
    }

    void removeAssetCopyLeftovers(const fs::path& folder)
    {
        for (const auto& old : entriesOlderThan(folder, kAssetCopyLeftoverAge)) {
            std::error_code ignored;
            if (old.filename().string().starts_with(kAssetCopyPrefix) && fs::is_regular_file(old, ignored))
                fs::remove(old, ignored);
        }
    }

}

CloudKitMailboxStore::CloudKitMailboxStore(std::string containerIdentifier, CloudDatabaseOptions options)
    : m_containerIdentifier(std::move(containerIdentifier))
    , m_options(std::move(options))
{
    if (m_options.folder.empty())
        m_options.folder = CloudDatabase::defaultFolder();
}

CloudKitMailboxStore::~CloudKitMailboxStore() = default;

fs::path CloudKitMailboxStore::temporaryFolder() const { return m_options.folder / "tmp"; }

CloudDatabase& CloudKitMailboxStore::container()
{
    std::lock_guard lock(m_lock);
    if (!m_openedContainer) {
        mapped([this] {
            auto opened = openCloudDatabase(m_containerIdentifier, m_options);
            if (makePrivateDirectory(temporaryFolder()) != PrivateFolder::ready)
                throw CloudDatabaseError(CloudErrorCode::permissionFailure);
            removeAssetCopyLeftovers(temporaryFolder());
            m_openedContainer = std::move(opened);
        });
    }
    return *m_openedContainer;
}

CloudDatabase& CloudKitMailboxStore::request(std::string_view operation)
{
    CloudDatabase& database = container();
    if (auto failure = mapped([&] { return database.takeQueuedFailure(operation); }))
        throw CloudKitMailboxMapping::mailboxError(std::make_exception_ptr(*failure));
    return database;
}

MailboxAccountState CloudKitMailboxStore::accountState()
{
    try {
        return CloudKitMailboxMapping::accountState(request("accountState").account().status);
    } catch (const MailboxError&) {
        return MailboxAccountState::couldNotDetermine;
    }
}

std::string CloudKitMailboxStore::userRecordName()
{
    CloudDatabase& database = request("userRecordName");
    return mapped([&] { return database.userRecordName(); });
}

void CloudKitMailboxStore::ensureZone(const std::string& zone)
{
    CloudDatabase& database = request("ensureZone");
    mapped([&] { database.saveZone(zone); });
}

void CloudKitMailboxStore::deleteZone(const std::string& zone)
{
    CloudDatabase& database = request("deleteZone");
    try {
        mapped([&] { database.deleteZone(zone); });
    } catch (const MailboxError& error) {
        if (error.kind() != MailboxError::Kind::zoneMissing)
            throw;
    }
}

void CloudKitMailboxStore::saveEnvelope(const MailboxEnvelopeRecord& record, const std::string& zone)
{
    CloudDatabase& database = request("saveEnvelope");
    mapped([&] {
        throwFirstFailure(database.saveRecords(zone, { CloudKitMailboxMapping::envelopeCKRecord(record) },
            CloudSavePolicy::ifServerRecordUnchanged));
    });
}

void CloudKitMailboxStore::savePresence(const MailboxPresenceRecord& record, const std::string& zone)
{
    CloudDatabase& database = request("savePresence");
    mapped([&] {
        throwFirstFailure(database.saveRecords(
            zone, { CloudKitMailboxMapping::presenceCKRecord(record) }, CloudSavePolicy::allKeys));
    });
}

MailboxChanges CloudKitMailboxStore::fetchChanges(
    const std::string& zone, const std::optional<MailboxBytes>& token)
{
    std::optional<CloudChangeToken> since;
    if (token) {
        since = CloudKitMailboxMapping::unarchiveToken(*token);
        if (!since)
            throw MailboxError(MailboxError::Kind::changeTokenExpired);
    }
    CloudDatabase& database = request("fetchChanges");
    CloudZoneChanges page = mapped([&] { return database.fetchZoneChanges(zone, since, kFeedKeys); });
    MailboxChanges changes;
    changes.token = CloudKitMailboxMapping::archiveToken(page.token);
    changes.moreComing = page.moreComing;
    changes.envelopes.reserve(page.modified.size());
    for (auto& record : page.modified) {
        try {
            if (record.recordType == MailboxProtocol::presenceRecordType)
                changes.presence = CloudKitMailboxMapping::presenceRecord(record);
            else
                changes.envelopes.push_back(CloudKitMailboxMapping::envelopeRecord(std::move(record)));
        } catch (const MailboxCryptoError&) {
            // A record that does not read is no envelope of ours; the rest of the page still is.
        }
    }
    auto byCreation = [](const auto& lhs, const auto& rhs) { return lhs.createdAt < rhs.createdAt; };
    // Envelopes are nearly always changed in the order they were made, and a sort moves every one.
    if (!std::is_sorted(changes.envelopes.begin(), changes.envelopes.end(), byCreation))
        std::stable_sort(changes.envelopes.begin(), changes.envelopes.end(), byCreation);
    changes.deleted = std::move(page.deletedRecordNames);
    return changes;
}

fs::path CloudKitMailboxStore::fetchAsset(const std::string& recordName, const std::string& zone)
{
    CloudDatabase& database = request("fetchAsset");
    return mapped([&] {
        auto results = database.fetchRecords(
            zone, { recordName }, std::set<std::string> { std::string(MailboxProtocol::Field::asset) });
        if (results.empty())
            throw MailboxError(MailboxError::Kind::notFound);
        if (results.front().error)
            throw *results.front().error;
        const CloudValue* value = results.front().record->field(MailboxProtocol::Field::asset);
        const auto* asset = value ? std::get_if<CloudAsset>(value) : nullptr;
        if (!asset || asset->fileURL.empty())
            throw MailboxError(MailboxError::Kind::notFound);
        fs::path copy = temporaryFolder() / (std::string(kAssetCopyPrefix) + newUUIDText());
        copyToNewPrivateFile(asset->fileURL, copy);
        return copy;
    });
}

void CloudKitMailboxStore::deleteEnvelopes(
    const std::vector<std::string>& recordNames, const std::string& zone)
{
    if (recordNames.empty())
        return;
    CloudDatabase& database = request("deleteEnvelopes");
    mapped(
        [&] { throwFirstFailure(database.deleteRecords(zone, recordNames), CloudErrorCode::unknownItem); });
}

void CloudKitMailboxStore::saveSubscriptions(
    const std::vector<MailboxSubscriptionSpec>& specs, const std::string& zone)
{
    CloudDatabase& database = request("saveSubscriptions");
    std::vector<CloudQuerySubscription> subscriptions;
    for (const auto& wanted : specs)
        subscriptions.push_back(CloudKitMailboxMapping::subscription(wanted, zone));
    mapped([&] { throwFirstFailure(database.saveSubscriptions(subscriptions)); });
}

void CloudKitMailboxStore::deleteSubscriptions(const std::vector<std::string>& identifiers)
{
    if (identifiers.empty())
        return;
    CloudDatabase& database = request("deleteSubscriptions");
    mapped(
        [&] { throwFirstFailure(database.deleteSubscriptions(identifiers), CloudErrorCode::unknownItem); });
}

}
