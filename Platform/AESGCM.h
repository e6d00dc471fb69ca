// AES-256-GCM on OpenSSL's EVP interface, for many messages under one key: one cipher context is set
// up once and reused, so sealing or opening a chunk allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace vellumar::platform {

class AESGCM256 {
public:
    static constexpr std::size_t keyBytes = 32;
    static constexpr std::size_t nonceBytes = 12;
    static constexpr std::size_t tagBytes = 16;

    // A key of any other length is a programming error and stops the process.
    explicit AESGCM256(std::span<const std::uint8_t> key);
    ~AESGCM256();
    AESGCM256(const AESGCM256&) = delete;
    AESGCM256& operator=(const AESGCM256&) = delete;

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
