#include "MovraneMailbox/Protocol/MailboxPairing.h"

#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxJSONReader.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"
#include "Platform/Crypto.h"
#include "VellumarMacCore/Foundations/Graphemes.h"

#include <algorithm>
#include <array>

namespace movrane {

namespace {

    using vellumar::JSON;
    using Reason = MailboxPairingAnswer::Reason;

    constexpr std::array<std::string_view, 5> kAccountStates { "available", "noAccount", "restricted",
        "temporarilyUnavailable", "couldNotDetermine" };
    constexpr std::array<std::string_view, 5> kReasons { "differentAccount", "deviceNoICloud", "macNoICloud",
        "macICloudUnavailable", "unsupportedVersion" };
    // The fixed domain label that starts every proof key, the same on every end.
    constexpr std::string_view kProofLabel = "vellumar-mailbox-account-v1";
    static_assert(kProofLabel.size() == 27);
    constexpr std::size_t kSaltBytes = 16;
    constexpr std::size_t kHashBytes = 32;
    constexpr std::size_t kMaxSaltTextLength = 32;
    constexpr std::size_t kMaxIDCharacters = 128;

    template <std::size_t Count>
    std::optional<std::size_t> indexOf(const std::array<std::string_view, Count>& values, std::string_view raw)
    {
        auto found = std::find(values.begin(), values.end(), raw);
        return found == values.end() ? std::nullopt : std::optional(static_cast<std::size_t>(found - values.begin()));
    }

    MailboxBytes proofHash(std::string_view account, std::span<const std::uint8_t> salt)
    {
        MailboxBytes key(kProofLabel.begin(), kProofLabel.end());
        key.push_back(0);
        key.insert(key.end(), account.begin(), account.end());
        auto hash = vellumar::platform::hmacSHA256(key, salt);
        return MailboxBytes(hash.begin(), hash.end());
    }

    std::optional<MailboxBytes> saltBytes(std::string_view saltText)
    {
        if (saltText.size() > kMaxSaltTextLength)
            return std::nullopt;
        auto salt = MailboxBase64URL::decode(saltText);
        return salt && salt->size() == kSaltBytes ? salt : std::nullopt;
    }

    bool isValidID(std::string_view id)
    {
        auto characters = vellumar::characterCount(id);
        return characters >= 1 && characters <= kMaxIDCharacters;
    }

    MailboxAccountState accountStateFrom(const JSON& value)
    {
        const std::string* text = value.stringValue();
        auto state = text ? mailboxAccountState(*text) : std::nullopt;
        if (!state)
            throw MailboxDecodingError("not an account state");
        return *state;
    }

    MailboxPairingOutcome lanOnly(std::optional<Reason> reason = std::nullopt) { return { reason }; }

    MailboxPairingAnswer lanOnlyAnswer(const MailboxPublicKey& macKey, Reason reason)
    {
        return { 1, MailboxPairingAnswer::Status::lanOnly, reason, std::nullopt, macKey, std::nullopt };
    }

}

std::string_view rawValue(MailboxAccountState state) { return kAccountStates[static_cast<std::size_t>(state)]; }

std::optional<MailboxAccountState> mailboxAccountState(std::string_view raw)
{
    auto index = indexOf(kAccountStates, raw);
    return index ? std::optional(static_cast<MailboxAccountState>(*index)) : std::nullopt;
}

std::string_view rawValue(MailboxPairingAnswer::Reason reason) { return kReasons[static_cast<std::size_t>(reason)]; }

std::optional<MailboxPairingAnswer::Reason> mailboxPairingReason(std::string_view raw)
{
    auto index = indexOf(kReasons, raw);
    return index ? std::optional(static_cast<Reason>(*index)) : std::nullopt;
}

MailboxPairing MailboxPairing::make(
    std::string zoneName, std::string macID, std::string deviceID, MailboxPublicKey macKey, MailboxPublicKey deviceKey)
{
    if (!MailboxZoneName::isValid(zoneName) || !isValidID(macID) || !isValidID(deviceID))
        throw MailboxPairingError();
    return { std::move(zoneName), std::move(macID), std::move(deviceID), std::move(macKey), std::move(deviceKey) };
}

std::string MailboxPairing::deviceTag() const { return MailboxPartyTag::device(deviceID); }

JSON MailboxPairing::toJSON() const
{
    return JSON::object({ { "zoneName", zoneName }, { "macID", macID }, { "deviceID", deviceID },
        { "macKey", macKey.toJSON() }, { "deviceKey", deviceKey.toJSON() } });
}

MailboxPairing MailboxPairing::fromJSON(const JSON& json)
{
    MailboxJSONReader reader(json);
    return { reader.string("zoneName"), reader.string("macID"), reader.string("deviceID"),
        MailboxPublicKey::fromJSON(reader.member("macKey")), MailboxPublicKey::fromJSON(reader.member("deviceKey")) };
}

MailboxAccountProof MailboxAccountProof::make(std::string_view account)
{
    return make(account, std::span<const std::uint8_t>(MailboxBase64URL::randomBytes(kSaltBytes)));
}

MailboxAccountProof MailboxAccountProof::make(std::string_view account, std::span<const std::uint8_t> salt)
{
    return { MailboxBase64URL::encode(salt), MailboxBase64URL::encode(proofHash(account, salt)) };
}

std::optional<MailboxAccountProof> MailboxAccountProof::make(std::string_view account, std::string_view saltText)
{
    auto salt = saltBytes(saltText);
    return salt ? std::optional(make(account, std::span<const std::uint8_t>(*salt))) : std::nullopt;
}

bool MailboxAccountProof::verify(std::string_view account) const
{
    auto saltValue = saltBytes(salt);
    auto hashValue = MailboxBase64URL::decode(hash);
    if (!saltValue || !hashValue || hashValue->size() != kHashBytes)
        return false;
    return MailboxBinary::constantTimeEqual(proofHash(account, *saltValue), *hashValue);
}

JSON MailboxAccountProof::toJSON() const { return JSON::object({ { "salt", salt }, { "hash", hash } }); }

MailboxAccountProof MailboxAccountProof::fromJSON(const JSON& json)
{
    MailboxJSONReader reader(json);
    return { reader.string("salt"), reader.string("hash") };
}

JSON MailboxPairingOffer::toJSON() const
{
    JSON::Object object { { "v", JSON(static_cast<long long>(v)) }, { "deviceKey", deviceKey.toJSON() },
        { "accountState", JSON(rawValue(accountState)) } };
    if (account)
        object.emplace("account", account->toJSON());
    return JSON(std::move(object));
}

MailboxPairingOffer MailboxPairingOffer::fromJSON(const JSON& json)
{
    MailboxJSONReader reader(json);
    const JSON* account = reader.optionalMember("account");
    return { reader.integer("v"), MailboxPublicKey::fromJSON(reader.member("deviceKey")),
        account ? std::optional(MailboxAccountProof::fromJSON(*account)) : std::nullopt,
        accountStateFrom(reader.member("accountState")) };
}

JSON MailboxPairingAnswer::toJSON() const
{
    JSON::Object object { { "v", JSON(static_cast<long long>(v)) },
        { "status", JSON(status == Status::enabled ? "enabled" : "lanOnly") } };
    if (reason)
        object.emplace("reason", JSON(rawValue(*reason)));
    if (zone)
        object.emplace("zone", JSON(*zone));
    if (macKey)
        object.emplace("macKey", macKey->toJSON());
    if (account)
        object.emplace("account", account->toJSON());
    return JSON(std::move(object));
}

MailboxPairingAnswer MailboxPairingAnswer::fromJSON(const JSON& json)
{
    MailboxJSONReader reader(json);
    MailboxPairingAnswer answer;
    answer.v = reader.integer("v");
    auto status = reader.string("status");
    if (status != "enabled" && status != "lanOnly")
        throw MailboxDecodingError("not a pairing status");
    answer.status = status == "enabled" ? Status::enabled : Status::lanOnly;
    if (auto raw = reader.optionalString("reason")) {
        answer.reason = mailboxPairingReason(*raw);
        if (!answer.reason)
            throw MailboxDecodingError("not a pairing reason");
    }
    answer.zone = reader.optionalString("zone");
    if (const JSON* key = reader.optionalMember("macKey"))
        answer.macKey = MailboxPublicKey::fromJSON(*key);
    if (const JSON* account = reader.optionalMember("account"))
        answer.account = MailboxAccountProof::fromJSON(*account);
    return answer;
}

MailboxPairingAnswer MailboxPairingRules::answer(const MailboxPairingOffer& offer, MailboxAccountState macState,
    const std::optional<std::string>& macAccount, const MailboxPublicKey& macKey,
    const std::optional<std::string>& earlierZone, const std::function<std::string()>& makeZone)
{
    if (offer.v != MailboxProtocol::version)
        return lanOnlyAnswer(macKey, Reason::unsupportedVersion);
    if (macState == MailboxAccountState::noAccount || macState == MailboxAccountState::restricted)
        return lanOnlyAnswer(macKey, Reason::macNoICloud);
    if (macState != MailboxAccountState::available || !macAccount)
        return lanOnlyAnswer(macKey, Reason::macICloudUnavailable);
    if (!offer.account || offer.accountState != MailboxAccountState::available)
        return lanOnlyAnswer(macKey, Reason::deviceNoICloud);
    auto macProof = MailboxAccountProof::make(*macAccount, std::string_view(offer.account->salt));
    if (!offer.account->verify(*macAccount) || !macProof)
        return lanOnlyAnswer(macKey, Reason::differentAccount);
    auto zone = earlierZone && MailboxZoneName::isValid(*earlierZone) ? *earlierZone : makeZone();
    return { 1, MailboxPairingAnswer::Status::enabled, std::nullopt, std::move(zone), macKey, std::move(*macProof) };
}

MailboxPairingOutcome MailboxPairingRules::outcome(const std::optional<MailboxPairingAnswer>& answer,
    const MailboxPairingOffer& offer, std::string_view macID, std::string_view deviceID,
    const std::optional<std::string>& deviceAccount)
{
    if (!answer || answer->v != MailboxProtocol::version)
        return lanOnly();
    if (answer->status == MailboxPairingAnswer::Status::lanOnly)
        return lanOnly(answer->reason);
    if (!answer->zone || !answer->macKey || !answer->account)
        return lanOnly();
    std::optional<MailboxPairing> pairing;
    try {
        pairing = MailboxPairing::make(*answer->zone, std::string(macID), std::string(deviceID), *answer->macKey,
            offer.deviceKey);
    } catch (const MailboxPairingError&) {
        return lanOnly();
    }
    if (!deviceAccount || !offer.account || answer->account->salt != offer.account->salt
        || !answer->account->verify(*deviceAccount))
        return lanOnly(Reason::differentAccount);
    return { std::move(*pairing) };
}

}
