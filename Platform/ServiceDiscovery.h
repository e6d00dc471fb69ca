// Advertising one DNS-SD service on the local link through the Avahi daemon, the way a Bonjour
// service rides along with a listening socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vellumar::platform {

struct ServiceAdvertisement {
    // The instance name; the daemon refuses one over 63 bytes of UTF-8, so callers cut it first.
    std::string name;
    // For example "_vellumar._tcp".
    std::string type;
    // The TXT record's key/value pairs, in the order they are to appear.
    std::vector<std::pair<std::string, std::string>> text;
    std::uint16_t port = 0;
};

// Publishes at most one service at a time. Talks to the daemon on a thread of its own (Avahi's
// threaded poll), started by the first `publish`. Never throws: when no daemon can be reached the
// object logs one line and keeps waiting for one, publishing as soon as it appears, while the caller
// goes on serving. Any thread may call its functions.
class ServiceDiscovery {
public:
    ServiceDiscovery();
    // Withdraws the service and joins the thread.
    ~ServiceDiscovery();
    ServiceDiscovery(const ServiceDiscovery&) = delete;
    ServiceDiscovery& operator=(const ServiceDiscovery&) = delete;

    // Replaces whatever was published before. On a name conflict on the link the daemon's next
    // alternative name is taken ("Name #2").
    void publish(ServiceAdvertisement service);
    // Removes the published service, if any; `publish` may be called again later.
    void withdraw();

    struct State;

private:
    std::unique_ptr<State> m_state;
};

}
