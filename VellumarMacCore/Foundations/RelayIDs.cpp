#include "VellumarMacCore/Foundations/RelayIDs.h"

#include "Platform/Crypto.h"
#include "Platform/Random.h"

#include <algorithm>

namespace vellumar {

namespace {

    constexpr std::string_view kHexDigits = "0123456789abcdef";

    void appendHex(std::string& text, std::uint8_t byte)
    {
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 0x0f]);
    }

    bool isASCIILowercase(char c) { return c >= 'a' && c <= 'z'; }
    bool isASCIIUppercase(char c) { return c >= 'A' && c <= 'Z'; }
    bool isASCIIDigit(char c) { return c >= '0' && c <= '9'; }
    bool isASCIIAlphanumeric(char c) { return isASCIILowercase(c) || isASCIIUppercase(c) || isASCIIDigit(c); }
    bool isLowercaseHexDigit(char c) { return isASCIIDigit(c) || (c >= 'a' && c <= 'f'); }

    std::optional<int> hexDigitValue(char digit)
    {
        if (isASCIIDigit(digit))
            return digit - '0';
        if (digit >= 'a' && digit <= 'f')
            return digit - 'a' + 10;
        if (digit >= 'A' && digit <= 'F')
            return digit - 'A' + 10;
        return std::nullopt;
    }

    // Every check below accepts ASCII only, so a text that passes has as many Unicode scalars as
    // bytes, and any byte of a multi-byte (or broken) UTF-8 sequence fails the character test.
    template <typename Predicate> bool allOf(std::string_view text, Predicate accepts)
    {
        return std::all_of(text.begin(), text.end(), accepts);
    }

}

namespace Random {

    std::vector<std::uint8_t> bytes(std::size_t count) { return platform::secureRandomBytes(count); }

}

std::vector<std::string> hexByteStrings(std::span<const std::uint8_t> bytes)
{
    std::vector<std::string> pieces;
    pieces.reserve(bytes.size());
    for (std::uint8_t byte : bytes) {
        std::string piece;
        appendHex(piece, byte);
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

std::string hexString(std::span<const std::uint8_t> bytes)
{
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes)
        appendHex(text, byte);
    return text;
}

std::optional<std::vector<std::uint8_t>> dataFromHex(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t index = 0; index < text.size(); index += 2) {
        auto high = hexDigitValue(text[index]);
        auto low = hexDigitValue(text[index + 1]);
        if (!high || !low)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(*high * 16 + *low));
    }
    return bytes;
}

namespace Base64URL {

    std::string encode(std::span<const std::uint8_t> bytes)
    {
        std::string text = platform::base64Encode(bytes);
        std::erase(text, '=');
        std::replace(text.begin(), text.end(), '+', '-');
        std::replace(text.begin(), text.end(), '/', '_');
        return text;
    }

}

namespace RelayIDs {

    std::string randomHex(std::size_t count) { return hexString(Random::bytes(count)); }

    std::string newJobID() { return "j-" + randomHex(8); }

    std::string randomToken(std::size_t count) { return Base64URL::encode(Random::bytes(count)); }

    std::string fileSafeKey(std::string_view key)
    {
        std::string safe(key);
        std::replace(safe.begin(), safe.end(), ':', '_');
        return safe;
    }

    bool isValidJobID(std::string_view text)
    {
        return text.size() == 18 && text.starts_with("j-") && allOf(text.substr(2), isLowercaseHexDigit);
    }

    bool isValidConversationID(std::string_view text)
    {
        return text.size() > devicePrefix.size() && text.size() <= 128 && text.starts_with(devicePrefix)
            && allOf(text, [](char c) {
                   return isASCIIAlphanumeric(c) || c == '.' || c == '_' || c == ':' || c == '-';
               });
    }

    bool isValidID(std::string_view text)
    {
        auto isIDCharacter
            = [](char c) { return isASCIILowercase(c) || isASCIIDigit(c) || c == '_' || c == '-'; };
        return !text.empty() && text.size() <= 32
            && (isASCIILowercase(text.front()) || isASCIIDigit(text.front())) && allOf(text, isIDCharacter);
    }

}

bool isValidSessionID(std::string_view text)
{
    return text.size() >= 8 && text.size() <= 64
        && allOf(text, [](char c) { return isASCIIAlphanumeric(c) || c == '-'; });
}

}
