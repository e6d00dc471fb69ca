#include "VellumarMacCore/Terminal/WebSocketFrame.h"

#include "VellumarMacCore/Foundations/UnicodeScalars.h"

namespace vellumar {

std::optional<WebSocketOpcode> webSocketOpcode(std::uint8_t rawValue)
{
    switch (rawValue) {
    case 0:
    case 1:
    case 2:
    case 8:
    case 9:
    case 10:
        return static_cast<WebSocketOpcode>(rawValue);
    default:
        return std::nullopt;
    }
}

bool isControlOpcode(WebSocketOpcode opcode)
{
    return static_cast<std::uint8_t>(opcode) >= static_cast<std::uint8_t>(WebSocketOpcode::close);
}

const char* WebSocketError::what() const noexcept
{
    switch (m_closeCode) {
    case WebSocketCloseCode::invalidData:
        return "WebSocket text is not UTF-8";
    case WebSocketCloseCode::tooBig:
        return "WebSocket message is too big";
    default:
        return "WebSocket protocol violation";
    }
}

std::string WebSocketFrame::encoded(std::optional<MaskingKey> mask) const
{
    // RFC 6455 §5.2: FIN, three zero reserved bits and the opcode; then the mask bit and the length in
    // 7 bits, or 126 and 16 bits, or 127 and 64 bits, all big-endian.
    std::string bytes;
    bytes.reserve(payload.size() + 14);
    bytes.push_back(static_cast<char>((fin ? 0x80 : 0x00) | static_cast<std::uint8_t>(opcode)));
    const char maskBit = mask ? static_cast<char>(0x80) : 0;
    std::uint64_t length = payload.size();
    int lengthBytes = 0;
    if (length <= 125) {
        bytes.push_back(static_cast<char>(maskBit | static_cast<char>(length)));
    } else if (length <= 0xFFFF) {
        bytes.push_back(static_cast<char>(maskBit | 126));
        lengthBytes = 2;
    } else {
        bytes.push_back(static_cast<char>(maskBit | 127));
        lengthBytes = 8;
    }
    for (int index = lengthBytes - 1; index >= 0; --index)
        bytes.push_back(static_cast<char>(length >> (8 * index)));
    if (!mask)
        return bytes.append(payload);
    bytes.append(mask->begin(), mask->end());
    for (std::size_t index = 0; index < payload.size(); ++index)
        bytes.push_back(static_cast<char>(payload[index] ^ static_cast<char>((*mask)[index % 4])));
    return bytes;
}

WebSocketFrame WebSocketFrame::close(std::uint16_t code, std::string_view reason)
{
    reason = reason.substr(0, kMaxControlPayload - 2);
    while (!detail::isValidUTF8(reason))
        reason.remove_suffix(1);
    std::string payload { static_cast<char>(code >> 8), static_cast<char>(code & 0xFF) };
    return { true, WebSocketOpcode::close, payload.append(reason) };
}

}
