// Load driver: wrk against the relay's listener serving a small JSON reply, and against nginx serving
// a static JSON file of the same size over TLS with the same certificate, in the same run. Both
// servers share the same CPUs and wrk runs on two others. Prints requests per second (and their
// ratio) and the 99th percentile latency of each.
//
// Usage: bench_relay_listener [SERVER_CPUS [WRK_CPUS [DURATION]]]   (defaults "0,1", "2,3", "10s")

#include "bench/LocalServers.h"
#include "bench/WrkLoad.h"
#include "VellumarMacCore/Relay/RelayListener.h"
#include "VellumarMacCore/Relay/TLSIdentityStore.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vellumar;
using namespace vellumar::bench;
namespace fs = std::filesystem;

const std::string kBody = R"({"ok":true,"service":"vellumar","version":"1.0","uptimeSeconds":12345})";

pid_t startNginx(const fs::path& folder, const std::string& cpus, std::uint16_t port)
{
    fs::create_directories(folder / "www");
    // nginx's workers drop to an unprivileged user that must reach the file; the key stays private.
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::create_directories(folder / "logs");
    std::ofstream(folder / "www/health") << kBody;
    std::ofstream(folder / "nginx.conf")
        << "worker_processes 2;\npid " << (folder / "nginx.pid").string() << ";\n"
        << "error_log " << (folder / "logs/error.log").string() << ";\n"
        << "events { worker_connections 1024; }\n"
        << "http {\n  access_log off;\n  keepalive_requests 10000000;\n"
        << "  client_body_temp_path " << (folder / "logs").string() << ";\n"
        << "  server {\n    listen 127.0.0.1:" << port << " ssl;\n"
        << "    ssl_certificate " << (folder / "tls/cert.pem").string() << ";\n"
        << "    ssl_certificate_key " << (folder / "tls/key.pem").string() << ";\n"
        << "    ssl_protocols TLSv1.2 TLSv1.3;\n"
        << "    location / { root " << (folder / "www").string()
        << "; default_type \"application/json; charset=utf-8\"; }\n  }\n}\n";
    return startOnCPUs(cpus,
        { "nginx", "-p", folder.string(), "-c", (folder / "nginx.conf").string(), "-g", "daemon off;" });
}

}

int main(int argc, char** argv)
{
    std::string serverCPUs = argc > 1 ? argv[1] : "0,1";
    std::string wrkCPUs = argc > 2 ? argv[2] : "2,3";
    std::string duration = argc > 3 ? argv[3] : "10s";
    // Every thread started from here on (queue, workers) inherits the servers' CPUs.
    pinTo(serverCPUs);

    char folderTemplate[] = "/tmp/vellumar-bench-XXXXXX";
    fs::path folder = ::mkdtemp(folderTemplate);
    auto identity = TLSIdentityStore::loadOrCreate(
        folder / "tls", { { "127.0.0.1" }, {} }, TLSIdentityStore::defaultOpenSSL);

    // wrk opens all 32 connections from one address before any is answered: let them all in, as 32
    // phones would be.
    RelayListenerLimits limits { .maxUntrustedPerHost = 32 };
    RelayListener relay(identity, limits, {}, [](const HTTPRequest&) {
        return HTTPResponse(200, { { "Content-Type", "application/json; charset=utf-8" } }, kBody);
    });
    auto relayPort = relay.start(0);

    auto nginxPort = freePort();
    pid_t nginx = startNginx(folder, serverCPUs, nginxPort);
    if (nginx < 0 || !waitListening(nginxPort)) {
        std::fprintf(stderr, "nginx did not start; see %s\n", (folder / "logs/error.log").c_str());
        return 1;
    }

    std::printf("wrk -t2 -c32 -d%s, servers on CPUs %s, wrk on CPUs %s, body %zu bytes\n", duration.c_str(),
        serverCPUs.c_str(), wrkCPUs.c_str(), kBody.size());
    auto relayFigures
        = runWrk(wrkCPUs, duration, "https://127.0.0.1:" + std::to_string(relayPort) + "/health");
    auto nginxFigures
        = runWrk(wrkCPUs, duration, "https://127.0.0.1:" + std::to_string(nginxPort) + "/health");
    print("relay listener", relayFigures);
    print("nginx (static file)", nginxFigures);
    if (nginxFigures.requestsPerSecond > 0)
        std::printf("relay / nginx          %12.2f\n",
            relayFigures.requestsPerSecond / nginxFigures.requestsPerSecond);

    ::kill(nginx, SIGTERM);
    ::waitpid(nginx, nullptr, 0);
    relay.stop();
    fs::remove_all(folder);
    return 0;
}
