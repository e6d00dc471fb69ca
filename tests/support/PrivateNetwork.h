// A network namespace of the test's own whose links and addresses the test changes, so that what
// the machine's own network does never shows, and nothing a test sets up leaves it.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vellumar::test {

class PrivateNetwork {
public:
    // Makes the namespace with its loopback up and moves the calling thread into it; threads it
    // starts later are born there too. Absent, with `whyNot` set, where namespaces cannot be made.
    static std::unique_ptr<PrivateNetwork> enter(std::string& whyNot);
    // Returns the calling thread to the network it came from and removes the namespace.
    ~PrivateNetwork();
    PrivateNetwork(const PrivateNetwork&) = delete;
    PrivateNetwork& operator=(const PrivateNetwork&) = delete;

    // Runs `ip` with these arguments inside the namespace; answers whether it succeeded.
    bool ip(const std::vector<std::string>& arguments) const;
    // A veth pair "<name>"/"<name>p", both up, with `address` (CIDR) on the first: this kernel has no
    // dummy links, and a veth end is the nearest thing.
    bool addLink(const std::string& name, const std::string& address) const;

private:
    PrivateNetwork(std::string name, int homeNetwork);

    std::string m_name;
    int m_homeNetwork = -1;
};

}
