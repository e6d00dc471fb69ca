#include "MovraneMailbox/Protocol/MailboxKeys.h"

#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "MovraneMailbox/Protocol/MailboxDecodingError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"

#include <cstdio>
#include <string_view>

namespace movrane {

namespace P256 = vellumar::platform::P256;

namespace {

    // An 87-character key with room for nothing else: longer text is refused before it is decoded.
    constexpr std::size_t kMaxKeyTextLength = 100;
    constexpr std::size_t kFingerprintBytes = 8;
    constexpr const char* kNotAPublicKey = "not a P-256 public key";

}

MailboxKeyError::MailboxKeyError(Kind kind, std::int32_t status) noexcept
    : m_kind(kind)
    , m_status(status)
{
    switch (kind) {
    case Kind::keychain:
        std::snprintf(m_text, sizeof m_text, "keychain(%d)", static_cast<int>(status));
        break;
    case Kind::invalidPublicKey:
        std::snprintf(m_text, sizeof m_text, "invalidPublicKey");
        break;
    case Kind::invalidPrivateKey:
        std::snprintf(m_text, sizeof m_text, "invalidPrivateKey");
        break;
    }
}

MailboxPublicKey::MailboxPublicKey(std::span<const std::uint8_t> x963)
{
    if (!P256::isValidPublicKey(x963))
        throw MailboxKeyError::invalidPublicKey();
    std::copy(x963.begin(), x963.end(), m_x963.begin());
}

std::optional<MailboxPublicKey> MailboxPublicKey::fromBase64URL(std::string_view text)
{
    if (text.size() > kMaxKeyTextLength)
        return std::nullopt;
    auto bytes = MailboxBase64URL::decode(text);
    if (!bytes || !P256::isValidPublicKey(*bytes))
        return std::nullopt;
    return MailboxPublicKey(*bytes);
}

MailboxPublicKey MailboxPublicKey::fromJSON(const vellumar::JSON& json)
{
    const std::string* text = json.stringValue();
    auto key = text ? fromBase64URL(*text) : std::nullopt;
    if (!key)
        throw MailboxDecodingError(kNotAPublicKey);
    return *key;
}

vellumar::JSON MailboxPublicKey::toJSON() const { return vellumar::JSON(MailboxBase64URL::encode(m_x963)); }

std::string MailboxPublicKey::fingerprint() const
{
    auto digest = vellumar::platform::sha256(m_x963);
    return vellumar::hexString(std::span(digest).first(kFingerprintBytes));
}

std::string MailboxPublicKey::description() const { return "MailboxPublicKey(" + fingerprint() + ")"; }

MailboxIdentity::MailboxIdentity(const P256::Scalar& scalar, MailboxPublicKey publicKey)
    : m_scalar(scalar)
    , m_publicKey(std::move(publicKey))
{
}

MailboxIdentity MailboxIdentity::generate() { return fromRawRepresentation(P256::generateScalar()); }

MailboxIdentity MailboxIdentity::fromRawRepresentation(std::span<const std::uint8_t> scalar)
{
    auto publicKey = P256::publicKeyOf(scalar);
    if (!publicKey)
        throw MailboxKeyError::invalidPrivateKey();
    P256::Scalar copy {};
    std::copy(scalar.begin(), scalar.end(), copy.begin());
    return MailboxIdentity(copy, MailboxPublicKey(*publicKey));
}

std::string MailboxIdentity::description() const { return "MailboxIdentity(" + m_publicKey.fingerprint() + ")"; }

std::string MailboxKeyLabel::device(std::string_view identifier) { return "device." + std::string(identifier); }

}

std::size_t std::hash<movrane::MailboxPublicKey>::operator()(const movrane::MailboxPublicKey& key) const noexcept
{
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(key.x963().data()), key.x963().size()));
}
