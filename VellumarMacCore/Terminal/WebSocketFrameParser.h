// Turns the bytes a WebSocket client sends into frames (RFC 6455 §5.2), within the server's limits.
#pragma once

#include "VellumarMacCore/Terminal/WebSocketFrame.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar {

// Not thread-safe: one connection feeds it from its own queue.
class WebSocketFrameParser {
public:
    // RFC 6455 §5.1: a server must refuse unmasked frames; a client reads them.
    enum class Masking { required, optional };

    WebSocketFrameParser(std::int64_t maxPayload, Masking masking);

    // Adds received bytes. Once the parser has failed they are dropped, so a peer that keeps
    // sending after its violation cannot make the buffer grow.
    void append(std::string_view bytes);

    // The next complete frame, its bytes consumed; absent while the buffer holds no whole frame. Throws
    // WebSocketError at the first violation, as soon as the header shows it (a payload length over
    // `maxPayload` is refused before the payload arrives); from then on the buffer is emptied and every
    // call throws the same error again.
    std::optional<WebSocketFrame> next();

    // Bytes appended and not yet consumed.
    std::size_t bufferedBytes() const noexcept { return m_buffer.size() - m_consumed; }

private:
    std::optional<WebSocketFrame> parse();

    std::int64_t m_maxPayload;
    Masking m_masking;
    // Frames are read in place; the consumed head is dropped only when bytes are appended, so a read
    // holding many small frames is not shifted once per frame.
    std::string m_buffer;
    std::size_t m_consumed = 0;
    std::optional<WebSocketError> m_failure;
};

}
