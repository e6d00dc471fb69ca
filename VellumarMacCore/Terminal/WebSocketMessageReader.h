// Joins WebSocket frames into messages (RFC 6455 §5.4) and reads close payloads (§5.5.1).
#pragma once

#include "VellumarMacCore/Terminal/WebSocketFrame.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vellumar {

// Not thread-safe: one connection feeds it from its own queue.
class WebSocketMessageReader {
public:
    struct Text {
        std::string text; // valid UTF-8
        friend bool operator==(const Text&, const Text&) = default;
    };
    struct Binary {
        std::string bytes;
        friend bool operator==(const Binary&, const Binary&) = default;
    };
    struct Ping {
        std::string bytes;
        friend bool operator==(const Ping&, const Ping&) = default;
    };
    struct Pong {
        std::string bytes;
        friend bool operator==(const Pong&, const Pong&) = default;
    };
    struct Close {
        std::optional<std::uint16_t> code; // absent for an empty close payload
        std::string reason; // valid UTF-8
        friend bool operator==(const Close&, const Close&) = default;
    };
    using Message = std::variant<Text, Binary, Ping, Pong, Close>;

    // `maxMessage` bounds a message joined from fragments; each frame is bounded by the parser.
    explicit WebSocketMessageReader(std::int64_t maxMessage);

    // The message the frame completes, or absent while a fragmented message is still open. Control
    // frames may come between fragments. Throws WebSocketError; from then on the gathered fragments
    // are dropped and every call throws the same error again.
    std::optional<Message> accept(WebSocketFrame frame);

    // RFC 6455 §5.5.1 and §7.4: an optional code the peer may send, then a UTF-8 reason.
    static Close closeMessage(std::string_view payload);
    // Text (which must be UTF-8) or binary, by the data opcode.
    static Message message(WebSocketOpcode opcode, std::string data);

private:
    std::optional<Message> read(WebSocketFrame frame);

    std::int64_t m_maxMessage;
    std::optional<std::pair<WebSocketOpcode, std::string>> m_partial;
    std::optional<WebSocketError> m_failure;
};

}
