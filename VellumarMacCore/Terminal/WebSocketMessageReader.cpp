#include "VellumarMacCore/Terminal/WebSocketMessageReader.h"

#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include <cassert>

namespace vellumar {

namespace {

    // RFC 6455 §7.4.1 and §7.4.2: the codes defined for the wire, and the ranges for libraries (3000s)
    // and private use (4000s). 1004 is reserved and 1005 and 1006 must never be sent.
    bool isSendableCloseCode(std::uint16_t code)
    {
        return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011)
            || (code >= 3000 && code <= 4999);
    }

}

WebSocketMessageReader::WebSocketMessageReader(std::int64_t maxMessage)
    : m_maxMessage(maxMessage)
{
    assert(maxMessage >= 0);
}

std::optional<WebSocketMessageReader::Message> WebSocketMessageReader::accept(WebSocketFrame frame)
{
    if (m_failure)
        throw *m_failure;
    try {
        return read(std::move(frame));
    } catch (const WebSocketError& error) {
        m_failure = error;
        m_partial.reset();
        throw;
    }
}

std::optional<WebSocketMessageReader::Message> WebSocketMessageReader::read(WebSocketFrame frame)
{
    switch (frame.opcode) {
    case WebSocketOpcode::ping:
        return Ping { std::move(frame.payload) };
    case WebSocketOpcode::pong:
        return Pong { std::move(frame.payload) };
    case WebSocketOpcode::close:
        return closeMessage(frame.payload);
    case WebSocketOpcode::continuation:
        break;
    case WebSocketOpcode::text:
    case WebSocketOpcode::binary:
        // A new message may not start inside a fragmented one.
        if (m_partial)
            throw WebSocketError(WebSocketCloseCode::protocolError);
        if (frame.fin)
            return message(frame.opcode, std::move(frame.payload));
        m_partial.emplace(frame.opcode, std::move(frame.payload));
        return std::nullopt;
    }
    if (!m_partial)
        throw WebSocketError(WebSocketCloseCode::protocolError);
    auto& gathered = m_partial->second;
    if (gathered.size() + frame.payload.size() > static_cast<std::uint64_t>(m_maxMessage))
        throw WebSocketError(WebSocketCloseCode::tooBig);
    gathered.append(frame.payload);
    if (!frame.fin)
        return std::nullopt;
    auto [opcode, data] = std::move(*m_partial);
    m_partial.reset();
    return message(opcode, std::move(data));
}

WebSocketMessageReader::Close WebSocketMessageReader::closeMessage(std::string_view payload)
{
    if (payload.empty())
        return {};
    if (payload.size() == 1)
        throw WebSocketError(WebSocketCloseCode::protocolError);
    auto code = static_cast<std::uint16_t>(
        static_cast<std::uint8_t>(payload[0]) << 8 | static_cast<std::uint8_t>(payload[1]));
    if (!isSendableCloseCode(code))
        throw WebSocketError(WebSocketCloseCode::protocolError);
    auto reason = payload.substr(2);
    if (!detail::isValidUTF8(reason))
        throw WebSocketError(WebSocketCloseCode::invalidData);
    return { code, std::string(reason) };
}

WebSocketMessageReader::Message WebSocketMessageReader::message(WebSocketOpcode opcode, std::string data)
{
    if (opcode != WebSocketOpcode::text)
        return Binary { std::move(data) };
    if (!detail::isValidUTF8(data))
        throw WebSocketError(WebSocketCloseCode::invalidData);
    return Text { std::move(data) };
}

}
