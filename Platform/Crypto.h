// Digests and encodings from OpenSSL's libcrypto.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::platform {

using SHA1Digest = std::array<std::uint8_t, 20>;
using SHA256Digest = std::array<std::uint8_t, 32>;

SHA1Digest sha1(std::span<const std::uint8_t> bytes);
SHA256Digest sha256(std::span<const std::uint8_t> bytes);
SHA256Digest sha256(std::string_view text);

// Whether two byte strings of the same size are equal, in a time that depends only on their size:
// every byte is visited whatever the position of the first difference (CRYPTO_memcmp).
bool constantTimeEqual(std::span<const std::uint8_t> lhs, std::span<const std::uint8_t> rhs);

// RFC 2104 HMAC with SHA-256.
SHA256Digest hmacSHA256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message);

// RFC 5869 §2.2: the pseudorandom key of `inputKey` under `salt` (an empty salt is 32 zero bytes).
SHA256Digest hkdfExtract(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> inputKey);
// RFC 5869 §2.3: `length` bytes of output keying material; at most 255 * 32 bytes (more is a
// programming error and stops the process).
std::vector<std::uint8_t> hkdfExpand(
    std::span<const std::uint8_t> pseudorandomKey, std::span<const std::uint8_t> info, std::size_t length);

// Standard base64 (RFC 4648 §4 alphabet, "=" padding, no line breaks).
std::string base64Encode(std::span<const std::uint8_t> bytes);
// Its inverse: absent unless the length is a multiple of 4, every character is in the alphabet and
// "=" only pads the last group (one or two of them). Bits below the last whole byte are ignored.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}
