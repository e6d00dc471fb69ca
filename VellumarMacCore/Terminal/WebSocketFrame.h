// One WebSocket frame (RFC 6455 §5.2, no extensions), its encoding, and the close codes the
// terminal sends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar {

enum class WebSocketOpcode : std::uint8_t {
    continuation = 0,
    text = 1,
    binary = 2,
    close = 8,
    ping = 9,
    pong = 10,
};

// Absent for the opcodes RFC 6455 §5.2 reserves.
std::optional<WebSocketOpcode> webSocketOpcode(std::uint8_t rawValue);

// RFC 6455 §5.5: close, ping and pong.
bool isControlOpcode(WebSocketOpcode opcode);

namespace WebSocketCloseCode {
    inline constexpr std::uint16_t normal = 1000;
    inline constexpr std::uint16_t goingAway = 1001;
    inline constexpr std::uint16_t protocolError = 1002;
    inline constexpr std::uint16_t invalidData = 1007;
    inline constexpr std::uint16_t tooBig = 1009;
    inline constexpr std::uint16_t internalError = 1011;
    inline constexpr std::uint16_t terminalDisabled = 4000;
    inline constexpr std::uint16_t deviceRemoved = 4001;
}

// A violation by the peer, carrying the close code the connection answers it with.
class WebSocketError : public std::exception {
public:
    explicit WebSocketError(std::uint16_t closeCode) noexcept
        : m_closeCode(closeCode)
    {
    }

    std::uint16_t closeCode() const noexcept { return m_closeCode; }
    const char* what() const noexcept override;

    friend bool operator==(const WebSocketError&, const WebSocketError&) = default;

private:
    std::uint16_t m_closeCode;
};

struct WebSocketFrame {
    // The largest payload of a control frame (RFC 6455 §5.5).
    static constexpr std::size_t kMaxControlPayload = 125;

    bool fin = true; // last frame of its message
    WebSocketOpcode opcode = WebSocketOpcode::binary;
    std::string payload; // bytes, unmasked

    using MaskingKey = std::array<std::uint8_t, 4>;

    // The bytes to write, in the shortest length form; masked with `mask` when given (a client's
    // frames), as they are (a server's).
    std::string encoded(std::optional<MaskingKey> mask = std::nullopt) const;

    // A close frame whose reason is cut so the payload stays within kMaxControlPayload bytes, never in
    // the middle of a UTF-8 sequence.
    static WebSocketFrame close(std::uint16_t code, std::string_view reason);

    friend bool operator==(const WebSocketFrame&, const WebSocketFrame&) = default;
};

}
