// Each end's long-lived P-256 key-agreement identity and the public key it shows its peer.
#pragma once

#include "Platform/Crypto.h"
#include "Platform/P256.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace movrane {

class MailboxKeyError : public std::exception {
public:
    enum class Kind { keychain, invalidPublicKey, invalidPrivateKey };

    static MailboxKeyError keychain(std::int32_t status) { return MailboxKeyError(Kind::keychain, status); }
    static MailboxKeyError invalidPublicKey() { return MailboxKeyError(Kind::invalidPublicKey, 0); }
    static MailboxKeyError invalidPrivateKey() { return MailboxKeyError(Kind::invalidPrivateKey, 0); }

    Kind kind() const noexcept { return m_kind; }
    // The keychain's status number for `keychain`; 0 otherwise.
    std::int32_t status() const noexcept { return m_status; }
    // "keychain(-25291)", "invalidPublicKey" or "invalidPrivateKey".
    const char* what() const noexcept override { return m_text; }

    friend bool operator==(const MailboxKeyError& lhs, const MailboxKeyError& rhs) noexcept
    {
        return lhs.m_kind == rhs.m_kind && lhs.m_status == rhs.m_status;
    }

private:
    MailboxKeyError(Kind kind, std::int32_t status) noexcept;

    Kind m_kind;
    std::int32_t m_status;
    char m_text[32] {};
};

class MailboxPublicKey {
public:
    // Throws MailboxKeyError invalidPublicKey unless the bytes are an uncompressed point on P-256.
    explicit MailboxPublicKey(std::span<const std::uint8_t> x963);
    // Absent for text over 100 characters, text that is not Base64URL, or bytes that are not a key.
    static std::optional<MailboxPublicKey> fromBase64URL(std::string_view text);
    // The JSON form is one Base64URL string; anything else throws MailboxDecodingError
    // "not a P-256 public key".
    static MailboxPublicKey fromJSON(const vellumar::JSON& json);
    vellumar::JSON toJSON() const;

    const vellumar::platform::P256::PublicKey& x963() const noexcept { return m_x963; }
    // The first 8 bytes of SHA-256 over x963, in lower-case hexadecimal: 16 characters.
    std::string fingerprint() const;
    // "MailboxPublicKey(<fingerprint>)".
    std::string description() const;

    friend bool operator==(const MailboxPublicKey&, const MailboxPublicKey&) = default;

private:
    vellumar::platform::P256::PublicKey m_x963 {};
};

class MailboxIdentity {
public:
    static MailboxIdentity generate();
    // From the 32-byte big-endian scalar; throws MailboxKeyError invalidPrivateKey for any other
    // length or a value outside 1 ... n - 1.
    static MailboxIdentity fromRawRepresentation(std::span<const std::uint8_t> scalar);

    // The stored form. Never written to a log or a description.
    const vellumar::platform::P256::Scalar& rawRepresentation() const noexcept { return m_scalar; }
    const MailboxPublicKey& publicKey() const noexcept { return m_publicKey; }
    // "MailboxIdentity(<fingerprint of the public key>)".
    std::string description() const;

private:
    MailboxIdentity(const vellumar::platform::P256::Scalar& scalar, MailboxPublicKey publicKey);

    vellumar::platform::P256::Scalar m_scalar;
    MailboxPublicKey m_publicKey;
};

// The labels under which identities are stored (the keychain's account names).
namespace MailboxKeyLabel {
    inline constexpr std::string_view mac = "mac";
    // "device." and the identifier, unchanged.
    std::string device(std::string_view identifier);
}

}

template <>
struct std::hash<movrane::MailboxPublicKey> {
    std::size_t operator()(const movrane::MailboxPublicKey& key) const noexcept;
};
