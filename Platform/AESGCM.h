// AES-GCM (128 or 256-bit keys) on OpenSSL's EVP interface, for many messages under one key: one cipher
// context is set up once and reused, so sealing or opening a message allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace vellumar::platform {

class AESGCM {
public:
    static constexpr std::size_t nonceBytes = 12;
    static constexpr std::size_t tagBytes = 16;

    // A 16-byte key selects AES-128-GCM, a 32-byte key AES-256-GCM; any other length is a programming
    // error and stops the process.
    explicit AESGCM(std::span<const std::uint8_t> key);
    ~AESGCM();
    AESGCM(const AESGCM&) = delete;
    AESGCM& operator=(const AESGCM&) = delete;

    // Writes the ciphertext (as long as the plaintext) and then the tag into `sealed`, which must hold
    // plaintext.size() + tagBytes bytes. False only when the library fails.
    bool seal(std::span<const std::uint8_t, nonceBytes> nonce, std::span<const std::uint8_t> additionalData,
        std::span<const std::uint8_t> plaintext, std::span<std::uint8_t> sealed);
    // The inverse: `sealed` is ciphertext then tag; writes sealed.size() - tagBytes bytes into
    // `plaintext`. False when the tag does not authenticate (nothing in `plaintext` may be used then).
    bool open(std::span<const std::uint8_t, nonceBytes> nonce, std::span<const std::uint8_t> additionalData,
        std::span<const std::uint8_t> sealed, std::span<std::uint8_t> plaintext);

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

}
