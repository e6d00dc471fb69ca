#include "tests/support/AvahiNamespace.h"

#include "tests/support/TestSupport.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <sstream>

#include <csignal>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <unistd.h>

namespace vellumar::test {

namespace {

    bool run(const std::vector<std::string>& argv) { return runPeer(argv).exitStatus == 0; }

    // avahi-browse -p escapes a label's dots, backslashes and unprintable bytes as "\." and "\DDD".
    std::string unescapedLabel(const std::string& text)
    {
        std::string plain;
        for (std::size_t index = 0; index < text.size(); ++index) {
            if (text[index] != '\\' || index + 1 == text.size()) {
                plain += text[index];
            } else if (index + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[index + 1]))) {
                plain += static_cast<char>(std::stoi(text.substr(index + 1, 3)));
                index += 3;
            } else {
                plain += text[++index];
            }
        }
        return plain;
    }

    std::vector<std::string> fields(const std::string& line)
    {
        std::vector<std::string> pieces;
        std::string piece;
        for (std::size_t index = 0; index < line.size(); ++index) {
            if (line[index] == '\\' && index + 1 < line.size()) {
                piece += line[index];
                piece += line[++index];
            } else if (line[index] == ';') {
                pieces.push_back(piece);
                piece.clear();
            } else {
                piece += line[index];
            }
        }
        pieces.push_back(piece);
        return pieces;
    }

    std::vector<std::string> textStrings(const std::string& field)
    {
        std::vector<std::string> strings;
        std::size_t at = 0;
        while ((at = field.find('"', at)) != std::string::npos) {
            auto end = field.find('"', at + 1);
            if (end == std::string::npos)
                break;
            strings.push_back(field.substr(at + 1, end - at - 1));
            at = end + 1;
        }
        return strings;
    }

}

std::optional<BrowsedService> parseBrowsedLine(const std::string& line)
{
    auto pieces = fields(line);
    if (pieces.size() < 6 || pieces[0].size() != 1 || pieces[2] != "IPv4")
        return std::nullopt;
    BrowsedService service { .event = pieces[0][0], .name = unescapedLabel(pieces[3]), .type = pieces[4] };
    if (service.event == '=') {
        if (pieces.size() < 10)
            return std::nullopt;
        service.port = static_cast<std::uint16_t>(std::stoi(pieces[8]));
        service.text = textStrings(pieces[9]);
    }
    return service;
}

std::unique_ptr<AvahiNamespace> AvahiNamespace::start(std::string& whyNot)
{
    int lockFile = open("/run/lock/vellumar-avahi-tests.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lockFile < 0 || flock(lockFile, LOCK_EX) != 0) {
        whyNot = "the machine-wide lock of the Avahi tests cannot be taken";
        return nullptr;
    }
    std::string name = "vellumar-avahi-" + std::to_string(getpid());
    std::unique_ptr<AvahiNamespace> space(new AvahiNamespace(lockFile, name));
    // A system bus of the test's own: on the machine's, every other test process's Avahi client would
    // find this daemon and advertise into it. libdbus keeps the first address it was given for the rest
    // of the process, so every namespace of one process puts its bus at the same path.
    space->m_busFolder = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(space->m_busFolder);
    std::filesystem::create_directory(space->m_busFolder);
    std::filesystem::permissions(space->m_busFolder, std::filesystem::perms::owner_all);
    // The address without the bus's guid, which libdbus would hold the next bus to.
    std::string busAddress = "unix:path=" + (space->m_busFolder / "bus").string();
    space->m_bus = std::make_unique<InteractivePeer>(std::vector<std::string> { "dbus-daemon", "--system",
        "--nofork", "--nopidfile", "--print-address=1", "--address=" + busAddress });
    // The printed address says the bus listens.
    if (!space->m_bus->readLine(30)) {
        whyNot = "no system bus can be started here";
        return nullptr;
    }
    space->m_previousBusAddress = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")
        ? std::optional<std::string>(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"))
        : std::nullopt;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
    if (!run({ "ip", "netns", "add", name })) {
        whyNot = "network namespaces cannot be made here";
        return nullptr;
    }
    space->m_namespaceMade = true;
    if (!run({ "ip", "netns", "exec", name, "ip", "link", "set", "lo", "up" })
        || !run({ "ip", "netns", "exec", name, "ip", "link", "set", "lo", "multicast", "on" })) {
        whyNot = "the namespace's loopback cannot be brought up";
        return nullptr;
    }
    // Not daemonized, the daemon logs to standard error; that line says when it serves. `ip netns exec`
    // and the shell both exec, so the peer's pid is the daemon's own.
    space->m_daemon = std::make_unique<InteractivePeer>(std::vector<std::string> { "ip", "netns", "exec",
        name, "sh", "-c", "exec avahi-daemon --no-drop-root --no-rlimits --no-chroot 2>&1" });
    while (auto line = space->m_daemon->readLine(30)) {
        if (line->find("Server startup complete") != std::string::npos)
            return space;
    }
    whyNot = "avahi-daemon did not start in the namespace";
    return nullptr;
}

AvahiNamespace::AvahiNamespace(int lockFile, std::string name)
    : m_lockFile(lockFile)
    , m_name(std::move(name))
    , m_homeNetwork(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC))
{
}

AvahiNamespace::~AvahiNamespace()
{
    // Bounded: a daemon that ignores SIGTERM must not hold the whole test run.
    if (m_daemon)
        m_daemon->stop(10);
    if (m_homeNetwork >= 0) {
        setns(m_homeNetwork, CLONE_NEWNET);
        close(m_homeNetwork);
    }
    if (m_namespaceMade)
        run({ "ip", "netns", "delete", m_name });
    if (m_bus)
        m_bus->stop(10);
    if (!m_busFolder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_busFolder, ignored);
    }
    if (m_previousBusAddress)
        setenv("DBUS_SYSTEM_BUS_ADDRESS", m_previousBusAddress->c_str(), 1);
    else
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    close(m_lockFile);
}

void AvahiNamespace::enter()
{
    int space = open(("/run/netns/" + m_name).c_str(), O_RDONLY | O_CLOEXEC);
    if (space >= 0) {
        setns(space, CLONE_NEWNET);
        close(space);
    }
}

ServiceBrowser::ServiceBrowser(const std::string& namespaceName, const std::string& type)
    : m_browser({ "ip", "netns", "exec", namespaceName, "avahi-browse", "-rp", type })
{
}

std::optional<BrowsedService> ServiceBrowser::waitFor(
    const std::string& name, char event, double deadlineSeconds)
{
    auto matches
        = [&](const BrowsedService& service) { return service.event == event && service.name == name; };
    if (auto seen = std::ranges::find_if(m_seen, matches); seen != m_seen.end())
        return *seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(deadlineSeconds);
    while (true) {
        double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return std::nullopt;
        auto line = m_browser.readLine(left);
        if (!line)
            return std::nullopt;
        auto service = parseBrowsedLine(*line);
        if (!service)
            continue;
        m_seen.push_back(*service);
        if (matches(*service))
            return service;
    }
}

std::vector<BrowsedService> AvahiNamespace::browseNow(const std::string& type)
{
    std::vector<BrowsedService> services;
    std::istringstream lines(
        runPeer({ "timeout", "30", "ip", "netns", "exec", m_name, "avahi-browse", "-rpt", type }).output);
    for (std::string line; std::getline(lines, line);) {
        if (auto service = parseBrowsedLine(line); service && service->event == '=')
            services.push_back(*service);
    }
    return services;
}

}
