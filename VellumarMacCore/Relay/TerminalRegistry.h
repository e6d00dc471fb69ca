// What the relay asks of the Mac's remote terminals, which live in a library above it: reserving one
// for a device within the limits, starting it once its WebSocket is up, and closing them.
#pragma once

#include "VellumarMacCore/Foundations/TerminalSize.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vellumar {

class WebSocketConnection;

// Every operation may be called from any thread.
class TerminalRegistry {
public:
    virtual ~TerminalRegistry() = default;

    // Reserves a terminal for the device; the id of the reservation, or absent when the Mac or the
    // device already has as many terminals as allowed.
    virtual std::optional<std::string> open(const std::string& deviceID, const std::string& deviceName) = 0;
    // Runs the reserved terminal's shell over `socket`, which is not started yet. A reservation that
    // is gone, or was closed meanwhile, closes the socket instead and spawns nothing.
    virtual void start(const std::string& id, std::shared_ptr<WebSocketConnection> socket, TerminalSize size)
        = 0;
    // Forgets the terminal; closes no socket and signals no shell.
    virtual void close(const std::string& id) = 0;
    // Closes the device's terminals with the code and reason; ones not started yet get the code
    // when their socket arrives.
    virtual void closeSessions(const std::string& deviceID, std::uint16_t code, const std::string& reason)
        = 0;
};

}
