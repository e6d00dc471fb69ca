// Random bytes, identifiers, tokens and the hex and Base64URL forms of bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

namespace Random {
    // Exactly `count` secure random bytes; a generator failure stops the process.
    std::vector<std::uint8_t> bytes(std::size_t count);
}

// "%02x" of each byte, in order.
std::vector<std::string> hexByteStrings(std::span<const std::uint8_t> bytes);
// The pieces of `hexByteStrings` joined with no separator.
std::string hexString(std::span<const std::uint8_t> bytes);

// The bytes of a text of hexadecimal digit pairs (either case), the inverse of `hexString`; absent
// for an odd length or a pair that is not hexadecimal. The empty text gives no bytes.
std::optional<std::vector<std::uint8_t>> dataFromHex(std::string_view text);

namespace Base64URL {
    // RFC 4648 base64 with "-" and "_" and no padding.
    std::string encode(std::span<const std::uint8_t> bytes);
}

namespace RelayIDs {
    inline constexpr std::string_view devicePrefix = "ios-";

    std::string randomHex(std::size_t count);
    std::string newJobID();
    std::string randomToken(std::size_t count);
    std::string fileSafeKey(std::string_view key);
    bool isValidJobID(std::string_view text);
    bool isValidConversationID(std::string_view text);
    bool isValidID(std::string_view text);
}

// A Claude Code session id: 8 to 64 characters, each an ASCII letter, digit or "-".
// Shared by the stream parser and the session store, so it lives with the other identifiers.
bool isValidSessionID(std::string_view text);

}
