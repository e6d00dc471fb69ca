#include "VellumarMacCore/Foundations/WebSocketHandshake.h"

#include "Platform/Crypto.h"
#include "VellumarMacCore/Foundations/HTTPRequest.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <span>

namespace vellumar::WebSocketHandshake {

namespace {

    constexpr std::string_view kAcceptGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

    std::string lowercased(std::string text)
    {
        std::transform(text.begin(), text.end(), text.begin(),
            [](unsigned char character) { return static_cast<char>(std::tolower(character)); });
        return text;
    }

    // RFC 7230 §6.1: Connection is a comma-separated list of case-insensitive tokens.
    bool holdsUpgradeToken(const std::optional<std::string>& connection)
    {
        if (!connection)
            return false;
        auto lowered = lowercased(*connection);
        std::string_view rest = lowered;
        while (true) {
            auto comma = rest.find(',');
            auto token = rest.substr(0, comma);
            auto first = token.find_first_not_of(" \t");
            if (first != std::string_view::npos) {
                token = token.substr(first, token.find_last_not_of(" \t") - first + 1);
                if (token == "upgrade")
                    return true;
            }
            if (comma == std::string_view::npos)
                return false;
            rest.remove_prefix(comma + 1);
        }
    }

    bool isBase64Digit(char character)
    {
        return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z')
            || (character >= '0' && character <= '9') || character == '+' || character == '/';
    }

    // RFC 6455 §4.1: the key is 16 bytes in padded Base64, which is always 22 digits and "==".
    bool isSixteenBytesOfBase64(std::string_view key)
    {
        return key.size() == 24 && key.ends_with("==")
            && std::all_of(key.begin(), key.end() - 2, isBase64Digit);
    }

    RelayHTTPError upgradeRequired(std::string message)
    {
        return RelayHTTPError(426, "upgrade_required", std::move(message));
    }

}

std::string validate(const HTTPRequest& request)
{
    if (request.method() != "GET")
        throw RelayHTTPError::methodNotAllowed;
    auto upgrade = request.header("upgrade");
    if (!upgrade || lowercased(*upgrade) != "websocket" || !holdsUpgradeToken(request.header("connection")))
        throw upgradeRequired("Open this as a WebSocket.");
    if (request.header("sec-websocket-version") != "13")
        throw upgradeRequired("Only WebSocket version 13 is supported.");
    auto key = request.header("sec-websocket-key");
    if (!key || !isSixteenBytesOfBase64(*key))
        throw RelayHTTPError::badRequest("Sec-WebSocket-Key is not valid.");
    return *key;
}

std::string acceptValue(std::string_view key)
{
    std::string keyed;
    keyed.reserve(key.size() + kAcceptGUID.size());
    keyed.append(key).append(kAcceptGUID);
    auto digest
        = platform::sha1(std::span(reinterpret_cast<const std::uint8_t*>(keyed.data()), keyed.size()));
    return platform::base64Encode(digest);
}

}
