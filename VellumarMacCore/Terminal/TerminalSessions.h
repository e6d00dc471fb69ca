// The Mac's registry of remote terminals: reserves one per request within the limits, starts the
// login shell once the WebSocket is up, closes terminals one by one, per device or all at once, and
// tells observers how many each device has open.
#pragma once

#include "VellumarMacCore/Relay/TerminalRegistry.h"
#include "VellumarMacCore/Terminal/ShellLaunch.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vellumar {

class TerminalBridge;

// Every operation may be called from any thread; the launch closure, spawning, socket operations and
// observers run outside the lock, on the thread that made the change.
class TerminalSessions final : public TerminalRegistry,
                               public std::enable_shared_from_this<TerminalSessions> {
public:
    static constexpr std::size_t maxTotal = 8;
    static constexpr std::size_t maxPerDevice = 4;

    struct Summary {
        std::string deviceID;
        std::string deviceName;
        int count = 0; // the device's terminals, running or reserved

        friend bool operator==(const Summary&, const Summary&) = default;
    };
    using Observer = std::function<void(const std::vector<Summary>&)>;

    // `launch` builds the shell of each new terminal, called each time one starts.
    static std::shared_ptr<TerminalSessions> make(std::function<ShellLaunch()> launch);

    std::optional<std::string> open(const std::string& deviceID, const std::string& deviceName) override;
    void start(
        const std::string& id, std::shared_ptr<WebSocketConnection> socket, TerminalSize size) override;
    void close(const std::string& id) override;
    void closeSessions(const std::string& deviceID, std::uint16_t code, const std::string& reason) override;
    void closeAll(std::uint16_t code, const std::string& reason);

    // Calls `observer` at once with the current summaries, then after every change. Never removed.
    void observe(Observer observer);
    // Sorted by device name, then by device id.
    std::vector<Summary> summaries() const;
    std::size_t count() const;

private:
    struct Entry {
        std::string deviceID;
        std::string deviceName;
        std::shared_ptr<WebSocketConnection> socket; // absent until the upgrade completes
        std::optional<std::uint16_t> closeCode; // asked for before the socket arrived
    };

    explicit TerminalSessions(std::function<ShellLaunch()> launch);

    // Under the lock.
    std::vector<Summary> summariesLocked() const;
    void closeMatching(
        const std::function<bool(const Entry&)>& matches, std::uint16_t code, const std::string& reason);
    void notifyObservers();
    // Closes a socket that no shell will serve.
    void refuse(const std::string& id, const std::shared_ptr<WebSocketConnection>& socket, std::uint16_t code,
        std::string reason);

    const std::function<ShellLaunch()> m_launch;
    mutable std::mutex m_lock;
    std::map<std::string, Entry> m_entries;
    std::map<std::string, std::shared_ptr<TerminalBridge>> m_bridges;
    std::vector<Observer> m_observers;
};

}
