// Two machines and a server, each in a network namespace of the test's own: each machine has a link
// to the server and the two machines share a LAN link, so nothing they send leaves the test.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vellumar::test {

struct NetworkMachine {
    std::string space;
    // This machine's address on the LAN between the two machines.
    std::string address;
    // The server's address on this machine's link.
    std::string serverAddress;
    // The command prefix that runs a program on this machine.
    std::vector<std::string> prefix() const { return { "ip", "netns", "exec", space }; }
};

class TwoMachineNetwork {
public:
    // Absent, with `whyNot` set, where namespaces or their links cannot be made.
    static std::unique_ptr<TwoMachineNetwork> make(std::string& whyNot);
    // Removes the namespaces, which ends their links.
    ~TwoMachineNetwork();
    TwoMachineNetwork(const TwoMachineNetwork&) = delete;
    TwoMachineNetwork& operator=(const TwoMachineNetwork&) = delete;

    std::string serverSpace;
    NetworkMachine mac;
    NetworkMachine phone;

private:
    TwoMachineNetwork() = default;
    // A veth pair between two namespaces, an address (/24) on each end, both up.
    static bool link(const std::string& space, const std::string& address, const std::string& otherSpace,
        const std::string& otherAddress);

    std::vector<std::string> m_made;
};

}
