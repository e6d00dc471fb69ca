#include "tests/MailboxRoad/support/TwoMachineNetwork.h"

#include "tests/support/TestSupport.h"

#include <unistd.h>

namespace vellumar::test {

namespace {

    bool inSpace(const std::string& space, std::vector<std::string> command)
    {
        command.insert(command.begin(), { "ip", "netns", "exec", space });
        return runPeer(command).exitStatus == 0;
    }

}

std::unique_ptr<TwoMachineNetwork> TwoMachineNetwork::make(std::string& whyNot)
{
    std::unique_ptr<TwoMachineNetwork> network(new TwoMachineNetwork);
    auto suffix = "-" + std::to_string(::getpid());
    network->serverSpace = "vl-server" + suffix;
    // Documentation ranges: no real host has them, and they only exist inside these namespaces.
    network->mac = { "vl-mac" + suffix, "203.0.113.1", "192.0.2.1" };
    network->phone = { "vl-phone" + suffix, "203.0.113.2", "198.51.100.1" };
    for (const auto& space : { network->serverSpace, network->mac.space, network->phone.space }) {
        if (runPeer({ "ip", "netns", "add", space }).exitStatus != 0) {
            whyNot = "network namespaces cannot be made here";
            return nullptr;
        }
        network->m_made.push_back(space);
        if (!inSpace(space, { "ip", "link", "set", "lo", "up" })) {
            whyNot = "a namespace's loopback cannot be brought up";
            return nullptr;
        }
    }
    if (!link(network->serverSpace, "192.0.2.1", network->mac.space, "192.0.2.2")
        || !link(network->serverSpace, "198.51.100.1", network->phone.space, "198.51.100.2")
        || !link(network->mac.space, network->mac.address, network->phone.space, network->phone.address)) {
        whyNot = "the namespaces cannot be linked";
        return nullptr;
    }
    return network;
}

bool TwoMachineNetwork::link(const std::string& space, const std::string& address,
    const std::string& otherSpace, const std::string& otherAddress)
{
    // Named after the address at their other end, which is unique among a namespace's links.
    auto name = [](const std::string& to) { return "to" + to.substr(0, to.rfind('.')); };
    std::string end = name(otherAddress);
    std::string otherEnd = name(address);
    return inSpace(space,
               { "ip", "link", "add", end, "type", "veth", "peer", "name", otherEnd, "netns", otherSpace })
        && inSpace(space, { "ip", "address", "add", address + "/24", "dev", end })
        && inSpace(space, { "ip", "link", "set", end, "up" })
        && inSpace(otherSpace, { "ip", "address", "add", otherAddress + "/24", "dev", otherEnd })
        && inSpace(otherSpace, { "ip", "link", "set", otherEnd, "up" });
}

TwoMachineNetwork::~TwoMachineNetwork()
{
    for (const auto& space : m_made)
        runPeer({ "ip", "netns", "delete", space });
}

}
