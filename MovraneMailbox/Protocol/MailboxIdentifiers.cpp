#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"

#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"
#include "Platform/Crypto.h"
#include "Platform/Random.h"

#include <algorithm>
#include <cstdio>

namespace movrane {

namespace {

    constexpr std::size_t kIDLength = 22;
    constexpr std::size_t kRandomIDBytes = 16;
    constexpr std::string_view kDevicePrefix = "dev-";
    constexpr std::string_view kDeviceTagLabel = "vellumar-mailbox-device-v1";
    constexpr std::size_t kDeviceTagHashBytes = 16;

    // Every character of a valid id is one ASCII byte, so counting bytes counts characters.
    bool isID(std::string_view text)
    {
        return text.size() == kIDLength && std::all_of(text.begin(), text.end(), [](char character) {
            return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z')
                || (character >= '0' && character <= '9') || character == '-' || character == '_';
        });
    }

    bool isPrefixedID(std::string_view text, std::string_view prefix)
    {
        return text.starts_with(prefix) && isID(text.substr(prefix.size()));
    }

    std::string randomID() { return MailboxBase64URL::encode(MailboxBase64URL::randomBytes(kRandomIDBytes)); }

}

std::string MailboxMessageID::make() { return randomID(); }
bool MailboxMessageID::isValid(std::string_view text) { return isID(text); }

std::string MailboxRecordName::envelope() { return std::string(envelopePrefix) + randomID(); }
bool MailboxRecordName::isValid(std::string_view text)
{
    return text == MailboxProtocol::presenceRecordName || isPrefixedID(text, envelopePrefix);
}

std::string MailboxUUID::make()
{
    auto bytes = vellumar::platform::secureRandomBytes(16);
    // RFC 9562 §5.4: the version in the high nibble of octet 6, the variant in the top bits of octet 8.
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    std::string text;
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        if (index == 4 || index == 6 || index == 8 || index == 10)
            text += '-';
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", bytes[index]);
        text += digits;
    }
    return text;
}

std::string MailboxZoneName::make() { return std::string(prefix) + randomID(); }
bool MailboxZoneName::isValid(std::string_view text) { return isPrefixedID(text, prefix); }

std::string MailboxPartyTag::device(std::string_view deviceID)
{
    std::string input(kDeviceTagLabel);
    input.push_back('\0');
    input.append(deviceID);
    auto digest = vellumar::platform::sha256(input);
    return std::string(kDevicePrefix)
        + MailboxBase64URL::encode(std::span(digest).first(kDeviceTagHashBytes));
}

bool MailboxPartyTag::isValid(std::string_view text)
{
    return text == mac || isPrefixedID(text, kDevicePrefix);
}

}
