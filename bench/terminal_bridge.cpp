// Load driver: keystroke echo latency (median and 99th percentile of round trips) and the throughput
// of an output flood through the relay's terminal, side by side with websocketd --binary --ssl running
// `script -qfc /bin/sh /dev/null` with the same certificate, in the same run. The same python3-websockets
// phone drives both; both servers share the same CPUs and the phone runs on others.
//
// Usage: bench_terminal_bridge [SERVER_CPUS [PHONE_CPUS [ROUND_TRIPS [FLOOD_BYTES]]]]
//        (defaults "0,1", "2,3", 1000, 50000000)

#include "VellumarMacCore/Foundations/CommandRunner.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "bench/LocalServers.h"
#include "bench/WrkLoad.h"
#include "tests/Terminal/TerminalRelay.h"

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace vellumar;

struct Figures {
    double medianMs = 0;
    double p99Ms = 0;
    double floodMBps = 0;
};

Figures drive(const std::string& cpus, const std::string& url, const std::string& token, bool waitsForReady,
    int roundTrips, long long floodBytes)
{
    const auto result = runCommand("/usr/bin/taskset",
        { "-c", cpus, "/usr/bin/python3", (test::sourceDir() / "tests/peers/terminal_phone.py").string(), url,
            test::testCertificateFile().string(), token, "benchmark", waitsForReady ? "yes" : "no",
            std::to_string(roundTrips), std::to_string(floodBytes) },
        { .timeLimitSeconds = 600 });
    const auto report = JSON::decode(result.output).value_or(JSON());
    auto number = [&](std::string_view key) {
        const JSON* member = report.subscript(key);
        return member && member->numberValue() ? *member->numberValue() : 0.0;
    };
    if (!report.objectValue())
        std::fprintf(stderr, "the phone failed against %s: %s\n", url.c_str(), result.output.c_str());
    return { number("medianMs"), number("p99Ms"), number("floodMBps") };
}

pid_t startWebsocketd(const std::string& cpus, std::uint16_t port)
{
    const auto folder = test::testIdentityFolder();
    return bench::startOnCPUs(cpus,
        { "websocketd", "--address=127.0.0.1", "--port=" + std::to_string(port), "--binary", "--ssl",
            "--sslcert=" + (folder / "cert.pem").string(), "--sslkey=" + (folder / "key.pem").string(),
            "--loglevel=error", "script", "-qfc", "/bin/sh", "/dev/null" });
}

void print(const char* name, const Figures& figures)
{
    std::printf("%-28s %10.3f %10.3f %12.1f\n", name, figures.medianMs, figures.p99Ms, figures.floodMBps);
}

}

int main(int argc, char** argv)
{
    const std::string serverCPUs = argc > 1 ? argv[1] : "0,1";
    const std::string phoneCPUs = argc > 2 ? argv[2] : "2,3";
    const int roundTrips = argc > 3 ? std::atoi(argv[3]) : 1000;
    const long long floodBytes = argc > 4 ? std::atoll(argv[4]) : 50'000'000;
    // Every thread and shell started from here on inherits the servers' CPUs.
    bench::pinTo(serverCPUs);

    test::TerminalRelay relay;
    const std::uint16_t websocketdPort = bench::freePort();
    const pid_t websocketd = startWebsocketd(serverCPUs, websocketdPort);
    if (websocketd < 0 || !bench::waitListening(websocketdPort)) {
        std::fprintf(stderr, "websocketd did not start\n");
        return 1;
    }

    const auto ours
        = drive(phoneCPUs, "wss://127.0.0.1:" + std::to_string(relay.server.port) + "/v1/terminal",
            relay.paired.token, true, roundTrips, floodBytes);
    const auto theirs = drive(phoneCPUs, "wss://127.0.0.1:" + std::to_string(websocketdPort) + "/", "none",
        false, roundTrips, floodBytes);

    std::printf("%d keystrokes, a flood of %lld bytes; servers on CPUs %s, phone on CPUs %s\n", roundTrips,
        floodBytes, serverCPUs.c_str(), phoneCPUs.c_str());
    std::printf("%-28s %10s %10s %12s\n", "", "median ms", "p99 ms", "flood MB/s");
    print("relay terminal", ours);
    print("websocketd + script", theirs);
    if (theirs.medianMs > 0 && theirs.p99Ms > 0 && theirs.floodMBps > 0)
        std::printf("%-28s %10.2f %10.2f %12.2f\n", "relay / websocketd", ours.medianMs / theirs.medianMs,
            ours.p99Ms / theirs.p99Ms, ours.floodMBps / theirs.floodMBps);

    ::kill(websocketd, SIGTERM);
    ::waitpid(websocketd, nullptr, 0);
    return 0;
}
