#include "MovraneMailbox/CloudStore/CloudKitMailboxMapping.h"

#include "MovraneMailbox/Protocol/MailboxCryptoError.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"

#include <algorithm>

namespace movrane::CloudKitMailboxMapping {

namespace {

    using namespace vellumar::platform;
    namespace Field = MailboxProtocol::Field;

    // Marks the bytes as an archived change token of this database, so that bytes of any other kind
    // are told apart before the token inside is read.
    constexpr std::string_view kTokenArchiveTag = "vellumar.cloud.token/1:";
    constexpr std::string_view kAlertSound = "default";

    MailboxCryptoError malformed() { return MailboxCryptoError(MailboxCryptoError::Kind::malformed); }

    // The field's value, which may be moved out of a record that is not const.
    template <typename Value, typename Record> auto& required(Record& record, std::string_view key)
    {
        auto found = record.fields.find(key);
        auto* typed = found == record.fields.end() ? nullptr : std::get_if<Value>(&found->second);
        if (!typed)
            throw malformed();
        return *typed;
    }

}

CloudRecord envelopeCKRecord(const MailboxEnvelopeRecord& record)
{
    CloudRecord built { std::string(MailboxProtocol::envelopeRecordType), record.name, {} };
    built.fields.emplace(Field::to, record.to);
    built.fields.emplace(Field::notify, std::string(rawValue(record.notify)));
    built.fields.emplace(Field::createdAt, record.createdAt);
    built.fields.emplace(Field::size, std::int64_t { record.size });
    if (record.payload)
        built.fields.emplace(Field::payload, *record.payload);
    if (record.assetFile)
        built.fields.emplace(Field::asset, CloudAsset { *record.assetFile });
    return built;
}

CloudRecord presenceCKRecord(const MailboxPresenceRecord& record)
{
    CloudRecord built { std::string(MailboxProtocol::presenceRecordType),
        std::string(MailboxProtocol::presenceRecordName), {} };
    built.fields.emplace(Field::updatedAt, record.updatedAt);
    built.fields.emplace(Field::payload, record.payload);
    return built;
}

MailboxEnvelopeRecord envelopeRecord(CloudRecord record)
{
    // 1. The type, then 2.-6. each field, then 7. the name, as both ends check them.
    if (record.recordType != MailboxProtocol::envelopeRecordType)
        throw malformed();
    auto& to = required<std::string>(record, Field::to);
    auto notify = mailboxNotify(required<std::string>(record, Field::notify));
    if (!notify)
        throw malformed();
    auto createdAt = required<CloudDate>(record, Field::createdAt);
    auto size = required<std::int64_t>(record, Field::size);
    auto& payload = required<CloudBytes>(record, Field::payload);
    if (!MailboxRecordName::isValid(record.recordName))
        throw malformed();
    // The change feed leaves the asset behind; a payload shorter than the size tells of one.
    const CloudValue* asset = record.field(Field::asset);
    bool hasAsset = (asset && std::holds_alternative<CloudAsset>(*asset))
        || static_cast<std::int64_t>(payload.size()) < size;
    return MailboxEnvelopeRecord(std::move(record.recordName), std::move(to), *notify, createdAt, size,
        std::move(payload), std::nullopt, hasAsset);
}

MailboxPresenceRecord presenceRecord(const CloudRecord& record)
{
    if (record.recordType != MailboxProtocol::presenceRecordType)
        throw malformed();
    return { required<CloudDate>(record, Field::updatedAt), required<CloudBytes>(record, Field::payload) };
}

CloudPredicate subscriptionPredicate(const MailboxSubscriptionSpec& wanted)
{
    CloudPredicate predicate { { { std::string(Field::to), wanted.recipient } } };
    if (wanted.notify)
        predicate.clauses.push_back({ std::string(Field::notify), std::string(rawValue(*wanted.notify)) });
    return predicate;
}

CloudQuerySubscription subscription(const MailboxSubscriptionSpec& wanted, const std::string& zone)
{
    CloudNotificationInfo info { .shouldSendContentAvailable = true };
    if (wanted.delivery.kind == MailboxSubscriptionSpec::Delivery::Kind::alert) {
        info.titleLocalizationKey = wanted.delivery.titleKey;
        info.alertLocalizationKey = wanted.delivery.bodyKey;
        info.soundName = std::string(kAlertSound);
    }
    return { wanted.id, std::string(MailboxProtocol::envelopeRecordType), zone, subscriptionPredicate(wanted),
        info };
}

std::optional<std::string> subscriptionID(const vellumar::JSON& userInfo)
{
    const vellumar::JSON* cloud = userInfo.subscript("ck");
    const vellumar::JSON* query = cloud ? cloud->subscript("qry") : nullptr;
    const vellumar::JSON* identifier = query ? query->subscript("sid") : nullptr;
    const std::string* text = identifier ? identifier->stringValue() : nullptr;
    if (!text)
        return std::nullopt;
    return MailboxSubscriptions::parse(*text);
}

std::optional<MailboxBytes> archiveToken(const CloudChangeToken& token)
{
    MailboxBytes archived(kTokenArchiveTag.begin(), kTokenArchiveTag.end());
    CloudBytes inner = token.encoded();
    archived.insert(archived.end(), inner.begin(), inner.end());
    return archived;
}

std::optional<CloudChangeToken> unarchiveToken(const MailboxBytes& bytes)
{
    if (bytes.size() < kTokenArchiveTag.size()
        || !std::equal(kTokenArchiveTag.begin(), kTokenArchiveTag.end(), bytes.begin()))
        return std::nullopt;
    return CloudChangeToken::decoded(CloudBytes(bytes.begin() + kTokenArchiveTag.size(), bytes.end()));
}

MailboxAccountState accountState(CloudAccountStatus status)
{
    switch (status) {
    case CloudAccountStatus::available:
        return MailboxAccountState::available;
    case CloudAccountStatus::restricted:
        return MailboxAccountState::restricted;
    case CloudAccountStatus::noAccount:
        return MailboxAccountState::noAccount;
    case CloudAccountStatus::temporarilyUnavailable:
        return MailboxAccountState::temporarilyUnavailable;
    case CloudAccountStatus::couldNotDetermine:
        break;
    }
    return MailboxAccountState::couldNotDetermine;
}

}
