#include "VellumarMacCore/Relay/CertificatePins.h"

#include "Platform/Crypto.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Relay/DER.h"
#include "VellumarMacCore/Relay/TokenDigests.h"

namespace vellumar {

namespace {

    constexpr std::size_t kLeadingCharacters = 8;
    constexpr std::size_t kTrailingCharacters = 6;

}

std::optional<CertificatePins> CertificatePins::fromCertificate(std::span<const std::uint8_t> certificateDER)
{
    auto keyInfo = DER::subjectPublicKeyInfo(certificateDER);
    if (!keyInfo)
        return std::nullopt;
    return CertificatePins {
        .publicKeyBase64 = platform::base64Encode(platform::sha256(*keyInfo)),
        .certificateHex = sha256Hex(platform::sha256(certificateDER)),
    };
}

std::string CertificatePins::abbreviatedPin() const
{
    std::size_t count = characterCount(publicKeyBase64);
    std::size_t tailStart = count > kTrailingCharacters
        ? characterPrefixLength(publicKeyBase64, count - kTrailingCharacters)
        : 0;
    return prefixCharacters(publicKeyBase64, kLeadingCharacters) + "\u2026"
        + publicKeyBase64.substr(tailStart);
}

}
