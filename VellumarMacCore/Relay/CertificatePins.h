// The two pins of the Mac's TLS certificate: the public-key pin a phone trusts and the fingerprint.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vellumar {

struct CertificatePins {
    // Standard base64 of the SHA-256 of the whole SubjectPublicKeyInfo: 44 characters ending in "=".
    // It follows the key, so a renewed certificate with the same key keeps it.
    std::string publicKeyBase64;
    // SHA-256 of the whole DER certificate as 64 lower-case hexadecimal digits.
    std::string certificateHex;

    // None when the certificate's SubjectPublicKeyInfo cannot be found.
    static std::optional<CertificatePins> fromCertificate(std::span<const std::uint8_t> certificateDER);

    // The first 8 characters of the pin, "…", and its last 6, for showing to the user.
    std::string abbreviatedPin() const;

    friend bool operator==(const CertificatePins&, const CertificatePins&) = default;
};

}
