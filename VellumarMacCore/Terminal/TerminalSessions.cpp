#include "VellumarMacCore/Terminal/TerminalSessions.h"

#include "Platform/ProcessSession.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Terminal/PTYProcess.h"
#include "VellumarMacCore/Terminal/TerminalBridge.h"
#include "VellumarMacCore/Terminal/WebSocketConnection.h"

#include <algorithm>
#include <tuple>
#include <cerrno>
#include <csignal>
#include <exception>
#include <utility>

#include <sys/wait.h>
#include <unistd.h>

namespace vellumar {

namespace {

    constexpr std::string_view kSpawnFailedReason = "The shell could not start on the Mac.";

    // A shell whose bridge could not be made is ended here, so that nothing of it stays behind.
    void endUnbridged(PTYProcess& process)
    {
        platform::signalSession(process.pid(), SIGKILL);
        ::close(process.master());
        while (waitpid(process.pid(), nullptr, 0) == -1 && errno == EINTR) { }
    }

}

std::shared_ptr<TerminalSessions> TerminalSessions::make(std::function<ShellLaunch()> launch)
{
    return std::shared_ptr<TerminalSessions>(new TerminalSessions(std::move(launch)));
}

TerminalSessions::TerminalSessions(std::function<ShellLaunch()> launch)
    : m_launch(std::move(launch))
{
}

std::optional<std::string> TerminalSessions::open(const std::string& deviceID, const std::string& deviceName)
{
    std::string id = hexString(Random::bytes(16));
    {
        std::lock_guard guard(m_lock);
        if (m_entries.size() >= maxTotal)
            return std::nullopt;
        const auto devices
            = std::ranges::count(m_entries, deviceID, [](const auto& item) { return item.second.deviceID; });
        if (static_cast<std::size_t>(devices) >= maxPerDevice)
            return std::nullopt;
        m_entries[id] = Entry { deviceID, deviceName, nullptr, std::nullopt };
    }
    notifyObservers();
    return id;
}

void TerminalSessions::start(
    const std::string& id, std::shared_ptr<WebSocketConnection> socket, TerminalSize size)
{
    std::optional<std::uint16_t> closeCode;
    {
        std::lock_guard guard(m_lock);
        if (auto entry = m_entries.find(id); entry != m_entries.end()) {
            entry->second.socket = socket;
            closeCode = entry->second.closeCode;
        } else {
            closeCode = WebSocketCloseCode::goingAway;
        }
    }
    if (closeCode)
        return refuse(id, socket, *closeCode, "");

    std::unique_ptr<PTYProcess> process;
    try {
        process = PTYProcess::spawn(m_launch(), size);
    } catch (const std::exception&) {
        return refuse(id, socket, WebSocketCloseCode::internalError, std::string(kSpawnFailedReason));
    }
    std::shared_ptr<TerminalBridge> bridge;
    PTYProcess& shell = *process;
    try {
        bridge = TerminalBridge::make(socket, std::move(process), [weak = weak_from_this(), id] {
            if (auto sessions = weak.lock())
                sessions->close(id);
        });
    } catch (const std::exception&) {
        endUnbridged(shell);
        return refuse(id, socket, WebSocketCloseCode::internalError, std::string(kSpawnFailedReason));
    }
    {
        std::lock_guard guard(m_lock);
        m_bridges[id] = bridge;
    }
    bridge->start();
}

void TerminalSessions::refuse(const std::string& id, const std::shared_ptr<WebSocketConnection>& socket,
    std::uint16_t code, std::string reason)
{
    socket->start([](WebSocketConnection::Event) {});
    socket->close(code, std::move(reason));
    close(id);
}

void TerminalSessions::close(const std::string& id)
{
    std::shared_ptr<TerminalBridge> bridge;
    bool removed;
    {
        std::lock_guard guard(m_lock);
        if (auto found = m_bridges.find(id); found != m_bridges.end()) {
            bridge = std::move(found->second);
            m_bridges.erase(found);
        }
        removed = m_entries.erase(id) > 0;
    }
    // The bridge, when this was its last owner, goes here, outside the lock.
    bridge.reset();
    if (removed)
        notifyObservers();
}

void TerminalSessions::closeSessions(
    const std::string& deviceID, std::uint16_t code, const std::string& reason)
{
    closeMatching([&deviceID](const Entry& entry) { return entry.deviceID == deviceID; }, code, reason);
}

void TerminalSessions::closeAll(std::uint16_t code, const std::string& reason)
{
    closeMatching([](const Entry&) { return true; }, code, reason);
}

void TerminalSessions::closeMatching(
    const std::function<bool(const Entry&)>& matches, std::uint16_t code, const std::string& reason)
{
    std::vector<std::shared_ptr<WebSocketConnection>> sockets;
    {
        std::lock_guard guard(m_lock);
        for (auto& [id, entry] : m_entries) {
            if (!matches(entry))
                continue;
            if (entry.socket)
                sockets.push_back(entry.socket);
            else
                entry.closeCode = code;
        }
    }
    // Each close runs on its socket's own queue; the terminals leave when their bridges end.
    for (const auto& socket : sockets)
        socket->close(code, reason);
}

void TerminalSessions::observe(Observer observer)
{
    std::vector<Summary> current;
    {
        std::lock_guard guard(m_lock);
        m_observers.push_back(observer);
        current = summariesLocked();
    }
    observer(current);
}

std::vector<TerminalSessions::Summary> TerminalSessions::summaries() const
{
    std::lock_guard guard(m_lock);
    return summariesLocked();
}

std::size_t TerminalSessions::count() const
{
    std::lock_guard guard(m_lock);
    return m_entries.size();
}

std::vector<TerminalSessions::Summary> TerminalSessions::summariesLocked() const
{
    std::vector<Summary> groups;
    for (const auto& [id, entry] : m_entries) {
        auto group = std::ranges::find(groups, entry.deviceID, &Summary::deviceID);
        if (group == groups.end())
            groups.push_back({ entry.deviceID, entry.deviceName, 1 });
        else
            ++group->count;
    }
    std::ranges::sort(groups, [](const Summary& a, const Summary& b) {
        return std::tie(a.deviceName, a.deviceID) < std::tie(b.deviceName, b.deviceID);
    });
    return groups;
}

void TerminalSessions::notifyObservers()
{
    std::vector<Summary> current;
    std::vector<Observer> observers;
    {
        std::lock_guard guard(m_lock);
        current = summariesLocked();
        observers = m_observers;
    }
    for (const auto& observer : observers)
        observer(current);
}

}
