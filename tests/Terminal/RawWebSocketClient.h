// A TLS client past the 101 answer of a relay's GET /v1/terminal that speaks raw frames, for a peer
// misbehaving, holding still, or sending exactly the bytes a test needs.
#pragma once

#include "VellumarMacCore/Terminal/WebSocketFrame.h"
#include "tests/support/TLSTestClient.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vellumar::test {

inline const std::string kUpgradeRequest
    = "GET /v1/terminal HTTP/1.1\r\nHost: relay\r\nConnection: Upgrade\r\n"
      "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";

class RawWebSocketClient : public TLSTestClient {
public:
    explicit RawWebSocketClient(std::uint16_t port)
        : TLSTestClient(port)
    {
        EXPECT_TRUE(handshake());
        EXPECT_TRUE(send(kUpgradeRequest));
        EXPECT_EQ(statusOf(readResponse().value_or("")), 101);
    }

    void sendFrame(WebSocketOpcode opcode, std::string payload)
    {
        send(WebSocketFrame { true, opcode, std::move(payload) }.encoded(
            WebSocketFrame::MaskingKey { 1, 2, 3, 4 }));
    }
    // The next whole server frame (payload under 126 bytes); absent at the end of the stream.
    std::optional<WebSocketFrame> nextFrame()
    {
        auto head = read(2);
        if (!head)
            return std::nullopt;
        auto payload = read(static_cast<std::uint8_t>((*head)[1]) & 0x7F);
        if (!payload)
            return std::nullopt;
        return WebSocketFrame { ((*head)[0] & 0x80) != 0, static_cast<WebSocketOpcode>((*head)[0] & 0x0F),
            *payload };
    }
};

}
