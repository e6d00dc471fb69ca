// Load driver for the router behind the TLS listener, in one run on one listener:
//  - the time from a job's completion to the last of 32 long polls of it answered, each poll on a
//    connection of its own, over many rounds;
//  - wrk on /health through the router (path rules, bearer token, the health object) against wrk on a
//    handler that only echoes the same bytes, printed as a ratio of requests per second.
// The relay runs on SERVER_CPUS, the pollers and wrk on CLIENT_CPUS.
//
// Usage: bench_relay_router [SERVER_CPUS [CLIENT_CPUS [DURATION [ROUNDS]]]]   (defaults "0,1", "2,3", "10s",
// 200)

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/PairingManager.h"
#include "VellumarMacCore/Relay/RelayListener.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/RelayRouter.h"
#include "VellumarMacCore/Relay/TLSIdentityStore.h"
#include "VellumarMacCore/Reply/ReplyRunner.h"
#include "bench/RelayBenchSetup.h"
#include "bench/WrkLoad.h"
#include "tests/support/TLSTestClient.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vellumar;
using namespace vellumar::bench;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kPollers = 32;

// Each run waits until the driver ends it and notes when that was.
class GatedRunner final : public ReplyRunner {
public:
    ReplyOutput run(const JobSubmission&, std::shared_ptr<JobControl>, std::stop_token stop) override
    {
        std::unique_lock lock(m_lock);
        m_running = true;
        m_changed.notify_all();
        m_changed.wait(lock, stop, [this] { return m_released; });
        m_running = m_released = false;
        if (stop.stop_requested())
            throw CancellationError();
        return { .reply = "Done." };
    }
    ClearedConversation clearConversation(const std::string&, WorkFolder) override { return {}; }
    CompactedConversation compact(const CompactionRequest&, std::stop_token) override { return {}; }

    void awaitRunning()
    {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [this] { return m_running; });
    }
    // The moment of the release.
    Clock::time_point release()
    {
        std::lock_guard guard(m_lock);
        m_released = true;
        m_changed.notify_all();
        return Clock::now();
    }

private:
    std::mutex m_lock;
    std::condition_variable_any m_changed;
    bool m_running = false;
    bool m_released = false;
};

// The computer's clock, counting the long polls parked in it so that a job ends only once every poll
// is waiting for it. A poll holds the manager's lock from its count until it waits, so no ending slips
// in between.
class CountingClock final : public JobClock {
public:
    TimePoint now() const override { return std::chrono::system_clock::now(); }
    void waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock,
        TimePoint deadline) const override
    {
        change(+1);
        condition.wait_until(lock, deadline);
        change(-1);
    }
    void awaitParked(int count) const
    {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [&] { return m_parked >= count; });
    }

private:
    void change(int by) const
    {
        std::lock_guard guard(m_lock);
        m_parked += by;
        m_changed.notify_all();
    }

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    mutable int m_parked = 0;
};

std::string request(const std::string& target, const std::string& token)
{
    return "GET " + target + " HTTP/1.1\r\nHost: relay\r\nAuthorization: Bearer " + token + "\r\n\r\n";
}

double microseconds(Clock::duration span) { return std::chrono::duration<double, std::micro>(span).count(); }

}

int main(int argc, char** argv)
{
    LoadArguments arguments(argc, argv, "10s", 200);
    pinTo(arguments.serverCPUs);

    RelayBenchFolder made;
    auto runner = std::make_shared<GatedRunner>();
    auto clock = std::make_shared<CountingClock>();
    DeviceRegistry devices(std::make_shared<MemoryDeviceStorage>(), [clock] { return clock->now(); });
    auto token = devices.add("Phone").token;
    JobManager jobs({ .runner = runner, .labels = {}, .clock = clock });
    RelayOptions options;
    PairingManager pairing({});
    RelayRouter router({ .pairing = pairing,
        .devices = devices,
        .jobs = jobs,
        .runner = runner,
        .data = made.data,
        .options = options,
        .timeZone = [] { return std::string("Europe/Berlin"); } });

    // The echo answers with the health object's own bytes, so both sides send the same response.
    auto health
        = router.respond(HTTPRequest("GET", "/health", { { "authorization", "Bearer " + token } }, "", true),
            RequestOrigin::lan());
    auto routed = router.lanHandler();
    // wrk opens its 32 connections before any is answered: let them all in, as 32 phones would be.
    RelayListener relay(made.identity, { .maxUntrustedPerHost = kPollers },
        router.lanBodyPolicy(made.folder / "incoming"),
        [&](HTTPRequest request) { return request.path() == "/echo" ? health : routed(std::move(request)); });
    auto port = relay.start(0);

    std::vector<std::unique_ptr<test::TLSTestClient>> pollers;
    for (int index = 0; index < kPollers; ++index) {
        pollers.push_back(std::make_unique<test::TLSTestClient>(port));
        if (!pollers.back()->handshake() || !pollers.back()->send(request("/health", token))
            || test::statusOf(pollers.back()->readResponse().value_or("")) != 200) {
            std::fprintf(stderr, "poller %d could not reach the relay\n", index);
            return 1;
        }
    }
    std::vector<double> answered; // microseconds from completion to the last poll answered
    for (int round = 0; round < arguments.rounds; ++round) {
        auto status = jobs.submit({ .conversationID = "ios-bench", .botID = "main", .message = "Hi" });
        auto jobID = *status.subscript("jobId")->stringValue();
        runner->awaitRunning();
        auto target
            = "/v1/jobs/" + jobID + "?wait=25&since=" + jobs.status(jobID)->subscript("version")->encoded();
        std::vector<Clock::time_point> arrivals(kPollers);
        std::vector<std::jthread> readers;
        for (int index = 0; index < kPollers; ++index) {
            pollers[index]->send(request(target, token));
            readers.emplace_back([&, index] {
                pinTo(arguments.clientCPUs);
                auto response = pollers[index]->readResponse().value_or("");
                arrivals[index] = response.find("\"done\"") == std::string::npos ? Clock::time_point::max()
                                                                                 : Clock::now();
            });
        }
        clock->awaitParked(kPollers);
        auto completed = runner->release();
        readers.clear();
        auto last = *std::max_element(arrivals.begin(), arrivals.end());
        if (last == Clock::time_point::max()) {
            std::fprintf(stderr, "round %d: a poll was not answered with the finished job\n", round);
            return 1;
        }
        answered.push_back(microseconds(last - completed));
    }
    std::sort(answered.begin(), answered.end());
    auto at = [&](double share) { return answered[static_cast<std::size_t>(share * (answered.size() - 1))]; };
    std::printf("job completion to %d long polls answered over TLS, %d arguments.rounds: median %.0f us, p90 "
                "%.0f us, "
                "max %.0f us\n",
        kPollers, arguments.rounds, at(0.5), at(0.9), answered.back());

    // wrk needs the 32 places the pollers hold.
    pollers.clear();
    while (relay.connectionCount() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    auto url = "https://127.0.0.1:" + std::to_string(port);
    std::vector<std::string> headers { "Authorization: Bearer " + token };
    auto routedFigures = runWrk(arguments.clientCPUs, arguments.duration, url + "/health", headers);
    auto echoFigures = runWrk(arguments.clientCPUs, arguments.duration, url + "/echo", headers);
    std::printf("wrk -t2 -c32 -d%s, relay on CPUs %s, clients on CPUs %s, body %zu bytes\n",
        arguments.duration.c_str(), arguments.serverCPUs.c_str(), arguments.clientCPUs.c_str(),
        health.body().size());
    print("router /health", routedFigures);
    print("echo", echoFigures);
    if (routedFigures.requestsPerSecond > 0 && echoFigures.requestsPerSecond > 0) {
        std::printf("router / echo          %12.2f\n",
            routedFigures.requestsPerSecond / echoFigures.requestsPerSecond);
        std::printf("routing and authentication add %.2f us per request at full load\n",
            (1 / routedFigures.requestsPerSecond - 1 / echoFigures.requestsPerSecond) * 1e6);
    }

    relay.stop();
    return 0;
}
