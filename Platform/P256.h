// P-256 key agreement on OpenSSL's libcrypto: X9.63 public keys, private scalars and ECDH.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace vellumar::platform::P256 {

// 0x04, then the 32-byte big-endian X and Y coordinates.
using PublicKey = std::array<std::uint8_t, 65>;
// A big-endian private scalar in 1 ... n - 1.
using Scalar = std::array<std::uint8_t, 32>;
// The X coordinate of the shared point (SEC 1 §3.3.1), the input of HKDF in HPKE and the pairing.
using SharedSecret = std::array<std::uint8_t, 32>;

// Whether the bytes are an uncompressed point on the curve (not the point at infinity). Compressed
// and hybrid forms are refused: the mailbox only ever exchanges the uncompressed form.
bool isValidPublicKey(std::span<const std::uint8_t> x963);

// The public key of a scalar; absent when the bytes are not 32 long or the value is 0 or >= n.
std::optional<PublicKey> publicKeyOf(std::span<const std::uint8_t> scalar);

// A fresh scalar from the system's secure generator; a generator failure stops the process.
Scalar generateScalar();

// ECDH of a valid scalar and a valid peer key; absent when either is not.
std::optional<SharedSecret> sharedSecret(
    std::span<const std::uint8_t> scalar, std::span<const std::uint8_t> peerX963);

}
