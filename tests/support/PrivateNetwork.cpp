#include "tests/support/PrivateNetwork.h"

#include "tests/support/TestSupport.h"

#include <atomic>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace vellumar::test {

namespace {

    bool run(std::vector<std::string> argv) { return runPeer(argv).exitStatus == 0; }

}

std::unique_ptr<PrivateNetwork> PrivateNetwork::enter(std::string& whyNot)
{
    static std::atomic<int> made { 0 };
    std::string name = "vellumar-net-" + std::to_string(getpid()) + "-" + std::to_string(made++);
    if (!run({ "ip", "netns", "add", name })) {
        whyNot = "network namespaces cannot be made here";
        return nullptr;
    }
    std::unique_ptr<PrivateNetwork> network(
        new PrivateNetwork(name, open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)));
    int space = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    bool entered = space >= 0 && setns(space, CLONE_NEWNET) == 0;
    if (space >= 0)
        close(space);
    if (!entered || !network->ip({ "link", "set", "lo", "up" })) {
        whyNot = "the test cannot enter a namespace of its own here";
        return nullptr;
    }
    return network;
}

PrivateNetwork::PrivateNetwork(std::string name, int homeNetwork)
    : m_name(std::move(name))
    , m_homeNetwork(homeNetwork)
{
}

PrivateNetwork::~PrivateNetwork()
{
    if (m_homeNetwork >= 0) {
        setns(m_homeNetwork, CLONE_NEWNET);
        close(m_homeNetwork);
    }
    run({ "ip", "netns", "delete", m_name });
}

bool PrivateNetwork::ip(const std::vector<std::string>& arguments) const
{
    std::vector<std::string> argv { "ip", "netns", "exec", m_name, "ip" };
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run(argv);
}

bool PrivateNetwork::addLink(const std::string& name, const std::string& address) const
{
    return ip({ "link", "add", name, "type", "veth", "peer", "name", name + "p" })
        && ip({ "address", "add", address, "dev", name }) && ip({ "link", "set", name + "p", "up" })
        && ip({ "link", "set", name, "up" });
}

}
