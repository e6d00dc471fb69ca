// What a phone needs to pair with this Mac over the local network, as the text of the pairing QR code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vellumar {

struct PairingPayload {
    static constexpr std::string_view header = "# Vellumar pairing v1";

    // An IPv4 address, an IPv6 address without brackets, or a host name.
    std::string host;
    std::uint16_t port = 0;
    // Standard base64 of the SHA-256 of the certificate's SubjectPublicKeyInfo.
    std::string publicKeyPin;
    // The pairing code of the current offer.
    std::string code;
    std::string macID;
    // The computer name.
    std::string macName;

    // "https://<host>:<port>", the host in brackets when it holds a ":".
    std::string baseURL() const;
    // Six lines joined by single line feeds, none after the last: the header, the base address,
    // pin-sha256="<pin>", vellumar-pair=<code>, vellumar-mac-id=<id>, vellumar-mac-name=<encoded name>.
    std::string text() const;
    // The name percent-encoded outside RFC 3986's unreserved characters; "Mac" when it is not UTF-8.
    static std::string encodedMacName(std::string_view name);

    friend bool operator==(const PairingPayload&, const PairingPayload&) = default;
};

}
