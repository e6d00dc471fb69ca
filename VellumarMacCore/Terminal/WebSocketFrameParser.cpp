#include "VellumarMacCore/Terminal/WebSocketFrameParser.h"

#include <cassert>

namespace vellumar {

namespace {

    std::uint64_t bigEndian(std::string_view bytes)
    {
        std::uint64_t value = 0;
        for (char byte : bytes)
            value = (value << 8) | static_cast<std::uint8_t>(byte);
        return value;
    }

}

WebSocketFrameParser::WebSocketFrameParser(std::int64_t maxPayload, Masking masking)
    : m_maxPayload(maxPayload)
    , m_masking(masking)
{
    assert(maxPayload >= 0);
}

void WebSocketFrameParser::append(std::string_view bytes)
{
    if (m_failure)
        return;
    m_buffer.erase(0, m_consumed);
    m_consumed = 0;
    m_buffer.append(bytes);
}

std::optional<WebSocketFrame> WebSocketFrameParser::next()
{
    if (m_failure)
        throw *m_failure;
    try {
        return parse();
    } catch (const WebSocketError& error) {
        m_failure = error;
        m_buffer = {};
        m_consumed = 0;
        throw;
    }
}

std::optional<WebSocketFrame> WebSocketFrameParser::parse()
{
    // RFC 6455 §5.2, step by step; a frame not yet whole is left untouched for the next call.
    std::string_view bytes = std::string_view(m_buffer).substr(m_consumed);
    if (bytes.size() < 2)
        return std::nullopt;
    auto byte0 = static_cast<std::uint8_t>(bytes[0]);
    auto byte1 = static_cast<std::uint8_t>(bytes[1]);
    // No extension was agreed, so every reserved bit must be clear.
    if (byte0 & 0x70)
        throw WebSocketError(WebSocketCloseCode::protocolError);
    auto opcode = webSocketOpcode(byte0 & 0x0F);
    if (!opcode)
        throw WebSocketError(WebSocketCloseCode::protocolError);
    bool fin = byte0 & 0x80;
    bool masked = byte1 & 0x80;
    if (m_masking == Masking::required && !masked)
        throw WebSocketError(WebSocketCloseCode::protocolError);

    std::uint64_t length = byte1 & 0x7F;
    std::size_t header = 2;
    if (length == 126) {
        if (bytes.size() < 4)
            return std::nullopt;
        length = bigEndian(bytes.substr(2, 2));
        header = 4;
    } else if (length == 127) {
        if (bytes.size() < 10)
            return std::nullopt;
        length = bigEndian(bytes.substr(2, 8));
        header = 10;
        if (length >> 63)
            throw WebSocketError(WebSocketCloseCode::protocolError);
    }
    // RFC 6455 §5.5: control frames are never fragmented and carry at most 125 bytes.
    if (isControlOpcode(*opcode) && (!fin || length > WebSocketFrame::kMaxControlPayload))
        throw WebSocketError(WebSocketCloseCode::protocolError);
    // Refused on the header alone, so a peer can never make us hold more than one frame's limit.
    if (length > static_cast<std::uint64_t>(m_maxPayload))
        throw WebSocketError(WebSocketCloseCode::tooBig);

    std::string_view key;
    if (masked) {
        if (bytes.size() < header + 4)
            return std::nullopt;
        key = bytes.substr(header, 4);
        header += 4;
    }
    if (bytes.size() - header < length)
        return std::nullopt;
    WebSocketFrame frame { fin, *opcode, std::string(bytes.substr(header, length)) };
    if (masked) {
        for (std::size_t index = 0; index < frame.payload.size(); ++index)
            frame.payload[index] = static_cast<char>(frame.payload[index] ^ key[index % 4]);
    }
    m_consumed += header + length;
    return frame;
}

}
