// An Avahi daemon of the test's own, in a network namespace whose only link is its loopback, so
// that nothing a test advertises leaves the machine; and avahi-browse run inside it.
#pragma once

#include "tests/support/InteractivePeer.h"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::test {

// One line of `avahi-browse -p`: a service appeared ('+'), was resolved ('=') or went away ('-').
struct BrowsedService {
    char event = '=';
    std::string name;
    std::string type;
    std::uint16_t port = 0;
    // The TXT record as avahi-browse prints it, in its order.
    std::vector<std::string> text;
};

// avahi-browse following one service type inside a namespace, from its start on.
class ServiceBrowser {
public:
    ServiceBrowser(const std::string& namespaceName, const std::string& type);
    // The first line with `event` about the service named `name` since the browser started, waiting
    // for it at most `deadlineSeconds` (a guard against a hang).
    std::optional<BrowsedService> waitFor(
        const std::string& name, char event = '=', double deadlineSeconds = 30);

private:
    InteractivePeer m_browser;
    std::vector<BrowsedService> m_seen;
};

class AvahiNamespace {
public:
    // Takes a machine-wide lock (one such daemon runs at a time: it owns its pid file), starts a system
    // bus of its own that this process and its children use from then on, makes the namespace and
    // starts the daemon in it. Absent, with `whyNot` set, where namespaces or the daemon cannot be had.
    static std::unique_ptr<AvahiNamespace> start(std::string& whyNot);
    // Stops the daemon, returns the calling thread to the network it came from, removes the namespace
    // and gives the process back the machine's system bus.
    ~AvahiNamespace();
    AvahiNamespace(const AvahiNamespace&) = delete;
    AvahiNamespace& operator=(const AvahiNamespace&) = delete;

    // Moves the calling thread into the namespace; threads it starts later are born there too.
    void enter();

    // Follows the services of `type` from now on.
    ServiceBrowser browse(const std::string& type) const { return ServiceBrowser(m_name, type); }
    // Waits (at most 30 seconds, a guard against a hang) for a resolved service of `type` named `name`.
    std::optional<BrowsedService> waitFor(const std::string& type, const std::string& name)
    {
        return browse(type).waitFor(name);
    }
    // Every resolved service of `type` in the daemon's cache right now (`avahi-browse -rpt`).
    std::vector<BrowsedService> browseNow(const std::string& type);

private:
    AvahiNamespace(int lockFile, std::string name);

    int m_lockFile = -1;
    std::string m_name;
    int m_homeNetwork = -1;
    bool m_namespaceMade = false;
    std::filesystem::path m_busFolder;
    std::unique_ptr<InteractivePeer> m_bus;
    std::optional<std::string> m_previousBusAddress;
    std::unique_ptr<InteractivePeer> m_daemon;
};

// Parses one line of `avahi-browse -p` output; absent unless it is about an IPv4 entry.
std::optional<BrowsedService> parseBrowsedLine(const std::string& line);

}
