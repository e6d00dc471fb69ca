#include "VellumarMacCore/Foundations/WebSocketHandshake.h"

#include "Platform/Crypto.h"

#include <cstdint>
#include <span>

namespace vellumar::WebSocketHandshake {

namespace {

    constexpr std::string_view kAcceptGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

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
