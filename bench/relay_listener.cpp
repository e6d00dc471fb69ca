// Load driver: wrk against the relay host's authenticated /health (listener, router, bearer token), set
// up as the application sets it up (its device observer, the host's time zone), and against nginx serving a
// static JSON file of the same size over TLS with the same certificate and TLS version, in the same run. Both
// servers share the same CPUs (nginx with one worker per CPU) and wrk runs on two others. Each round measures
// keep-alive connections and a new connection per request. Prints requests per second and the 99th percentile
// latency of each, their ratios, the CPU time and context switches each server spent per request, the time
// from the TLS handshake to the first answer on fresh connections of each server, as a phone meets it when
// it wakes, and the host's idle resident memory: after its start minus the same process before it.
//
// Usage: bench_relay_listener [SERVER_CPUS [WRK_CPUS [DURATION [ROUNDS]]]]   (defaults "0,1", "2,3", "10s",
// 3)

#include "bench/LocalServers.h"
#include "bench/WrkLoad.h"
#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Relay/DeviceStorage.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "Vellumar_for_Mac/Model/HostTimeZone.h"
#include "Vellumar_for_Mac/Model/LatestOnMainThread.h"
#include "tests/support/TLSTestClient.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vellumar;
using namespace vellumar::bench;
namespace fs = std::filesystem;

// The relay negotiates TLS 1.3 with wrk's OpenSSL; nginx is held to the same.
constexpr const char* kTLSVersion = "TLSv1.3";

// Resident kilobytes of this process.
long residentKilobytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:"))
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

int cpuCount(const std::string& cpus)
{
    return static_cast<int>(std::count(cpus.begin(), cpus.end(), ',')) + 1;
}

pid_t startNginx(const fs::path& folder, const std::string& body, const std::string& cpus, std::uint16_t port)
{
    fs::create_directories(folder / "www");
    // nginx's workers drop to an unprivileged user that must reach the file; the key, in the relay's
    // private support folder, is read by the master alone.
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::create_directories(folder / "logs");
    std::ofstream(folder / "www/health") << body;
    std::ofstream(folder / "nginx.conf")
        << "worker_processes " << cpuCount(cpus) << ";\npid " << (folder / "nginx.pid").string() << ";\n"
        << "error_log " << (folder / "logs/error.log").string() << ";\n"
        << "events { worker_connections 1024; }\n"
        << "http {\n  access_log off;\n  keepalive_requests 10000000;\n"
        << "  client_body_temp_path " << (folder / "logs").string() << ";\n"
        << "  server {\n    listen 127.0.0.1:" << port << " ssl;\n"
        << "    ssl_certificate " << (folder / "support/tls/cert.pem").string() << ";\n"
        << "    ssl_certificate_key " << (folder / "support/tls/key.pem").string() << ";\n"
        << "    ssl_protocols " << kTLSVersion << ";\n"
        << "    location / { root " << (folder / "www").string()
        << "; default_type \"application/json; charset=utf-8\"; }\n  }\n}\n";
    return startOnCPUs(cpus,
        { "nginx", "-p", folder.string(), "-c", (folder / "nginx.conf").string(), "-g", "daemon off;" });
}

// CPU time and context switches so far, summed over every thread of some processes.
struct Cost {
    double cpuSeconds = 0;
    double switches = 0;
};

// The fields of a /proc stat file past the name in parentheses; none when it is gone.
std::vector<std::string> statFields(const fs::path& file)
{
    std::ifstream stat(file);
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    auto nameEnd = text.rfind(')');
    if (nameEnd == std::string::npos)
        return {};
    std::istringstream afterName(text.substr(nameEnd + 1));
    return { std::istream_iterator<std::string>(afterName), {} };
}

Cost costOf(const std::vector<pid_t>& processes)
{
    static const double ticksPerSecond = static_cast<double>(::sysconf(_SC_CLK_TCK));
    Cost cost;
    for (pid_t process : processes) {
        std::error_code gone;
        for (const auto& task :
            fs::directory_iterator(fs::path("/proc") / std::to_string(process) / "task", gone)) {
            auto fields = statFields(task.path() / "stat");
            // The 12th and 13th are the user and system ticks.
            if (fields.size() > 12)
                cost.cpuSeconds
                    += (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / ticksPerSecond;
            std::ifstream status(task.path() / "status");
            for (std::string line; std::getline(status, line);) {
                if (line.find("ctxt_switches:") != std::string::npos)
                    cost.switches += std::atof(line.c_str() + line.find(':') + 1);
            }
        }
    }
    return cost;
}

// nginx's master and its workers.
std::vector<pid_t> processTree(pid_t parent)
{
    std::vector<pid_t> processes { parent };
    std::error_code unreadable;
    for (const auto& entry : fs::directory_iterator("/proc", unreadable)) {
        pid_t process = std::atoi(entry.path().filename().c_str());
        if (process <= 0)
            continue;
        // The second is the parent's id.
        auto fields = statFields(entry.path() / "stat");
        if (fields.size() > 1 && std::atoi(fields[1].c_str()) == parent)
            processes.push_back(process);
    }
    return processes;
}

// Milliseconds from the end of the TLS handshake to the whole first answer, one per fresh connection.
struct FirstAnswerTimes {
    std::vector<double> relay;
    std::vector<double> nginx;
};

// The relay and nginx take turns, one connection each, so that both meet the same moments of a shared
// machine.
FirstAnswerTimes firstAnswerTimes(const std::string& cpus, std::uint16_t relayPort, std::uint16_t nginxPort,
    const std::string& request, int connections)
{
    FirstAnswerTimes times;
    auto measure = [&](std::uint16_t port, std::vector<double>& into) {
        test::TLSTestClient client(port);
        // As curl's and the phones' HTTP stacks do: the request follows the handshake's last flight at
        // once, so that it is the server that has unacknowledged bytes when it answers.
        int noDelay = 1;
        ::setsockopt(client.descriptor(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        if (!client.handshake())
            return;
        auto start = std::chrono::steady_clock::now();
        if (client.send(request) && test::statusOf(client.readResponse().value_or("")) == 200)
            into.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    };
    // On the load driver's CPUs, as wrk is: the servers keep theirs.
    std::thread([&] {
        pinTo(cpus);
        for (int index = 0; index < connections; ++index) {
            measure(relayPort, times.relay);
            measure(nginxPort, times.nginx);
        }
    }).join();
    return times;
}

// The value below which `share` of `values` lie; 0 when there are none.
double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()))];
}

void printFirstAnswers(const FirstAnswerTimes& times)
{
    auto line = [](const char* name, const std::vector<double>& values) {
        std::printf("  %-22s %4zu connections: median %7.3f ms, p90 %7.3f ms, max %7.3f ms\n", name,
            values.size(), percentile(values, 0.5), percentile(values, 0.9), percentile(values, 1));
    };
    std::printf("first answer after the handshake on a fresh keep-alive connection\n");
    line("relay /health", times.relay);
    line("nginx (static file)", times.nginx);
    if (percentile(times.nginx, 0.5) > 0)
        std::printf(
            "  relay / nginx median %5.2f\n", percentile(times.relay, 0.5) / percentile(times.nginx, 0.5));
}

}

int main(int argc, char** argv)
{
    std::string serverCPUs = argc > 1 ? argv[1] : "0,1";
    std::string wrkCPUs = argc > 2 ? argv[2] : "2,3";
    std::string duration = argc > 3 ? argv[3] : "10s";
    // More rounds narrow the medians on a busy machine.
    int rounds = argc > 4 ? std::max(std::atoi(argv[4]), 1) : 3;
    // Every thread started from here on (listener, workers) inherits the servers' CPUs.
    pinTo(serverCPUs);

    char folderTemplate[] = "/tmp/vellumar-bench-XXXXXX";
    fs::path folder = ::mkdtemp(folderTemplate);
    long residentBefore = residentKilobytes();
    auto data = std::make_shared<RelayData>(
        RelayData::Options { .folder = folder / "data", .home = folder / "home" });
    auto runner = std::make_shared<ClaudeReplyRunner>(*data,
        ClaudeReplyRunner::Options { .locate = {},
            .path = {},
            .baseEnvironment = {},
            .permissionHelper = {},
            .decidePermission = {},
            .now = {} });
    RelayHost host({ .supportDirectory = folder / "support",
                       .preferredPort = freePort(),
                       .advertise = false,
                       .macID = "mac-bench",
                       .macName = [] { return std::string("Bench"); },
                       .deviceStorage = std::make_shared<MemoryDeviceStorage>(),
                       // wrk opens all 32 connections from one address before any is answered: let them
                       // all in, as 32 phones would be.
                       .listenerLimits = { .maxUntrustedPerHost = 32 },
                       // The application's own source: the host's zone as it is now.
                       .timeZone = hostTimeZone },
        data, runner);
    auto relayPort = host.start({ { "127.0.0.1" }, {} });
    long residentIdle = residentKilobytes();
    auto token = host.devices().add("Phone").token;
    // The application's observer of the device list, without an application to wake: it keeps the
    // newest list as the application's does between two wakes of its main thread.
    host.devices().observe(LatestOnMainThread<DeviceRegistry::Snapshot>([](DeviceRegistry::Snapshot) {}));

    std::string authorization = "Authorization: Bearer " + token;
    // Asked with "Connection: close" and read to the close, so that wrk finds all 32 places free.
    std::string response;
    {
        test::TLSTestClient client(relayPort);
        if (client.handshake()
            && client.send(
                "GET /health HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n" + authorization + "\r\n\r\n"))
            response = client.readResponse().value_or("");
        client.waitClosed();
    }
    if (test::statusOf(response) != 200) {
        std::fprintf(stderr, "the relay did not answer /health: %s\n", response.c_str());
        return 1;
    }
    std::string body = response.substr(response.find("\r\n\r\n") + 4);

    auto nginxPort = freePort();
    pid_t nginx = startNginx(folder, body, serverCPUs, nginxPort);
    if (nginx < 0 || !waitListening(nginxPort)) {
        std::fprintf(stderr, "nginx did not start; see %s\n", (folder / "logs/error.log").c_str());
        return 1;
    }

    std::printf("wrk -t2 -c32 -d%s, servers on CPUs %s, wrk on CPUs %s, body %zu bytes, %s\n",
        duration.c_str(), serverCPUs.c_str(), wrkCPUs.c_str(), body.size(), kTLSVersion);
    struct Mode {
        const char* name;
        std::vector<std::string> headers;
        std::vector<double> rateRatios;
        std::vector<double> p99Ratios;
        std::vector<double> cpuRatios;
        std::vector<double> relaySwitches;
        std::vector<double> nginxSwitches;
    };
    // "Connection: close" makes wrk open a new connection, with its own handshake, for every request.
    std::vector<Mode> modes { { .name = "keep-alive" },
        { .name = "new connection per request", .headers = { "Connection: close" } } };
    for (auto& mode : modes)
        mode.headers.push_back(authorization);
    // On a shared machine one pair of runs can land on a busy moment of either server: alternate them,
    // the one that goes first changing each round, and take the median ratios.
    for (int round = 1; round <= rounds; ++round) {
        std::printf("round %d\n", round);
        for (auto& mode : modes) {
            Cost relayCost, nginxCost;
            auto measure = [&](std::uint16_t port, const std::vector<pid_t>& server, Cost& cost) {
                auto before = costOf(server);
                auto figures = runWrk(
                    wrkCPUs, duration, "https://127.0.0.1:" + std::to_string(port) + "/health", mode.headers);
                auto after = costOf(server);
                cost = { after.cpuSeconds - before.cpuSeconds, after.switches - before.switches };
                return figures;
            };
            auto measureRelay = [&] { return measure(relayPort, { ::getpid() }, relayCost); };
            auto measureNginx = [&] { return measure(nginxPort, processTree(nginx), nginxCost); };
            WrkFigures relayFigures, nginxFigures;
            if (round % 2 == 1) {
                relayFigures = measureRelay();
                nginxFigures = measureNginx();
            } else {
                nginxFigures = measureNginx();
                relayFigures = measureRelay();
            }
            std::printf("  %s\n", mode.name);
            print("  relay /health", relayFigures);
            print("  nginx (static file)", nginxFigures);
            if (nginxFigures.requestsPerSecond > 0)
                mode.rateRatios.push_back(relayFigures.requestsPerSecond / nginxFigures.requestsPerSecond);
            if (milliseconds(nginxFigures.p99) > 0)
                mode.p99Ratios.push_back(milliseconds(relayFigures.p99) / milliseconds(nginxFigures.p99));
            if (relayFigures.requests > 0 && nginxFigures.requests > 0 && nginxCost.cpuSeconds > 0) {
                mode.cpuRatios.push_back((relayCost.cpuSeconds / relayFigures.requests)
                    / (nginxCost.cpuSeconds / nginxFigures.requests));
                mode.relaySwitches.push_back(relayCost.switches / relayFigures.requests);
                mode.nginxSwitches.push_back(nginxCost.switches / nginxFigures.requests);
            }
        }
    }
    auto median = [](const std::vector<double>& values) { return percentile(values, 0.5); };
    auto spread = [](const std::vector<double>& values) {
        auto [low, high] = std::minmax_element(values.begin(), values.end());
        return values.empty() ? std::string("-")
                              : std::to_string(*low).substr(0, 4) + "-" + std::to_string(*high).substr(0, 4);
    };
    for (const auto& mode : modes)
        std::printf("%-28s relay / nginx rate %5.2f (%s), p99 %5.2f (%s), medians of %d rounds\n", mode.name,
            median(mode.rateRatios), spread(mode.rateRatios).c_str(), median(mode.p99Ratios),
            spread(mode.p99Ratios).c_str(), rounds);
    for (const auto& mode : modes)
        std::printf(
            "%-28s relay / nginx CPU per request %5.2f (%s), context switches per request %.2f and %.2f\n",
            mode.name, median(mode.cpuRatios), spread(mode.cpuRatios).c_str(), median(mode.relaySwitches),
            median(mode.nginxSwitches));
    printFirstAnswers(firstAnswerTimes(wrkCPUs, relayPort, nginxPort,
        "GET /health HTTP/1.1\r\nHost: relay\r\n" + authorization + "\r\n\r\n", 200));
    std::printf("relay host idle resident memory: %.1f MB (after start %ld kB, before %ld kB)\n",
        (residentIdle - residentBefore) / 1024.0, residentIdle, residentBefore);

    ::kill(nginx, SIGTERM);
    ::waitpid(nginx, nullptr, 0);
    host.stop();
    fs::remove_all(folder);
    return 0;
}
