// RFC 9180 hybrid public-key encryption with DHKEM(P-256, HKDF-SHA256) and HKDF-SHA256, composed from
// libcrypto's primitives (OpenSSL 3.0 has no HPKE). Modes base and auth; the AEAD is AES-GCM with a
// 128-bit (the RFC's test vectors) or 256-bit (the mailbox) key.
#pragma once

#include "Platform/P256.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace vellumar::platform::HPKE {

enum class Mode : std::uint8_t { base = 0x00, auth = 0x02 };
enum class AEAD : std::uint16_t { aes128GCM = 0x0001, aes256GCM = 0x0002 };

// RFC 9180 §5.2: the key, base nonce and exporter secret of one context, and its sequence number.
// Each seal or open uses the next nonce; a context is used by one thread at a time.
class Context {
public:
    // The AEAD follows from the key's length (16 or 32 bytes).
    Context(std::vector<std::uint8_t> key, std::vector<std::uint8_t> baseNonce, std::vector<std::uint8_t> exporterSecret);
    Context(Context&&) noexcept;
    Context& operator=(Context&&) noexcept;
    ~Context();

    const std::vector<std::uint8_t>& key() const noexcept { return m_key; }
    const std::vector<std::uint8_t>& baseNonce() const noexcept { return m_baseNonce; }
    const std::vector<std::uint8_t>& exporterSecret() const noexcept { return m_exporterSecret; }
    std::uint64_t sequence() const noexcept { return m_sequence; }

    std::vector<std::uint8_t> seal(std::span<const std::uint8_t> additionalData, std::span<const std::uint8_t> plaintext);
    // Absent when the ciphertext does not authenticate; the sequence number then stays.
    std::optional<std::vector<std::uint8_t>> open(
        std::span<const std::uint8_t> additionalData, std::span<const std::uint8_t> ciphertext);

private:
    std::array<std::uint8_t, 12> nextNonce() const;

    std::vector<std::uint8_t> m_key;
    std::vector<std::uint8_t> m_baseNonce;
    std::vector<std::uint8_t> m_exporterSecret;
    std::uint64_t m_sequence = 0;
    struct Cipher;
    std::unique_ptr<Cipher> m_cipher;
};

// A static key pair; the public half is passed in so that it is not computed again for every message.
struct KeyPair {
    std::span<const std::uint8_t> scalar;
    std::span<const std::uint8_t> publicKey;
};

struct Sender {
    P256::PublicKey encapsulatedKey;
    std::vector<std::uint8_t> sharedSecret;
    Context context;
};

// RFC 9180 §5.1.1 and §5.1.3: Encap (base) or AuthEncap (auth, with the sender's own key pair) to the
// recipient's key and the key schedule over `info`. Absent when a key is not valid.
std::optional<Sender> setupSender(Mode mode, AEAD aead, std::span<const std::uint8_t> recipientKey,
    std::span<const std::uint8_t> info, std::optional<KeyPair> sender = std::nullopt);

// The inverse: Decap or AuthDecap (with the sender's public key) and the same key schedule. Absent when
// the encapsulated key or another key is not valid.
std::optional<Context> setupRecipient(Mode mode, AEAD aead, KeyPair recipient,
    std::span<const std::uint8_t> encapsulatedKey, std::span<const std::uint8_t> info,
    std::span<const std::uint8_t> senderKey = {});

namespace detail {
    // The test seam: the sender with a chosen ephemeral key instead of a fresh random one, so the RFC's
    // vectors can be reproduced. Never call it outside tests: a reused ephemeral key breaks HPKE.
    std::optional<Sender> setupSenderWithEphemeral(Mode mode, AEAD aead, std::span<const std::uint8_t> recipientKey,
        std::span<const std::uint8_t> info, std::optional<KeyPair> sender, std::span<const std::uint8_t> ephemeralScalar);
}

}
