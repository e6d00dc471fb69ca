// Digests and encodings from OpenSSL's libcrypto.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vellumar::platform {

using SHA1Digest = std::array<std::uint8_t, 20>;
using SHA256Digest = std::array<std::uint8_t, 32>;

SHA1Digest sha1(std::span<const std::uint8_t> bytes);
SHA256Digest sha256(std::span<const std::uint8_t> bytes);
SHA256Digest sha256(std::string_view text);

// Whether two byte strings of the same size are equal, in a time that depends only on their size:
// every byte is visited whatever the position of the first difference (CRYPTO_memcmp).
bool constantTimeEqual(std::span<const std::uint8_t> lhs, std::span<const std::uint8_t> rhs);

// Standard base64 (RFC 4648 §4 alphabet, "=" padding, no line breaks).
std::string base64Encode(std::span<const std::uint8_t> bytes);

}
