// What the relay asks of the remote terminals, which live in a library above it: reserving a
// terminal for a phone, starting it on the WebSocket its upgrade made, and closing terminals.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vellumar {

class WebSocketConnection;

struct TerminalSize {
    int columns = 80;
    int rows = 24;
    friend bool operator==(const TerminalSize&, const TerminalSize&) = default;
};

// Any thread; none of its functions throws.
class TerminalService {
public:
    virtual ~TerminalService() = default;

    // Reserves a terminal for the device and returns its session id, or none when the Mac's or the
    // device's limit of open terminals is reached.
    virtual std::optional<std::string> open(const std::string& deviceID, const std::string& deviceName) = 0;
    // Starts the shell of a reserved session on the socket its upgrade made.
    virtual void start(
        const std::string& sessionID, std::shared_ptr<WebSocketConnection> socket, TerminalSize size)
        = 0;
    // Frees one session, reserved or running.
    virtual void close(const std::string& sessionID) = 0;
    // Closes every terminal of the device with a WebSocket close code and reason; none is no error.
    virtual void closeSessions(const std::string& deviceID, std::uint16_t code, const std::string& reason)
        = 0;
    // Closes every terminal.
    virtual void closeAll(std::uint16_t code, const std::string& reason) = 0;
};

}
