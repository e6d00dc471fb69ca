// Load driver for the cost of paired phones: wrk on /health through the router behind the TLS listener,
// one relay whose registry holds 20 paired phones against one whose registry holds 1, in alternating
// rounds so that load from elsewhere hits both; and, while wrk floods the relay with 20, how often the
// application's observer of the device list wakes the main thread.
// The relays run on SERVER_CPUS, wrk on CLIENT_CPUS.
//
// Usage: bench_relay_paired_devices [SERVER_CPUS [CLIENT_CPUS [DURATION [ROUNDS]]]]   (defaults "0,1",
// "2,3", "5s", 3)

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/PairingManager.h"
#include "VellumarMacCore/Relay/RelayListener.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/RelayRouter.h"
#include "VellumarMacCore/Relay/TLSIdentityStore.h"
#include "VellumarMacCore/Reply/ReplyRunner.h"
#include "Vellumar_for_Mac/Model/LatestOnMainThread.h"
#include "bench/RelayBenchSetup.h"
#include "bench/WrkLoad.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vellumar;
using namespace vellumar::bench;
namespace fs = std::filesystem;

// No job is submitted: only /health is asked for.
class IdleRunner final : public ReplyRunner {
public:
    ReplyOutput run(const JobSubmission&, std::shared_ptr<JobControl>, std::stop_token) override
    {
        return {};
    }
    ClearedConversation clearConversation(const std::string&, WorkFolder) override { return {}; }
    CompactedConversation compact(const CompactionRequest&, std::stop_token) override { return {}; }
};

// One relay with its own registry of `phones` paired phones, sharing everything else; the token is the
// last phone's, so a look-up that stopped early would not be faster here.
struct PairedRelay {
    PairedRelay(int phones, const fs::path& folder, const TLSIdentity& identity, JobManager& jobs,
        const std::shared_ptr<ReplyRunner>& runner, RelayData& data, RelayOptions& options,
        PairingManager& pairing)
        : devices(std::make_shared<MemoryDeviceStorage>(), [] { return std::chrono::system_clock::now(); })
        , router({ .pairing = pairing,
              .devices = devices,
              .jobs = jobs,
              .runner = runner,
              .data = data,
              .options = options,
              .timeZone = [] { return std::string("Europe/Berlin"); } })
        , listener(identity, { .maxUntrustedPerHost = 32 }, router.lanBodyPolicy(folder), router.lanHandler())
    {
        for (int phone = 0; phone < phones; ++phone)
            token = devices.add("Phone " + std::to_string(phone)).token;
        // The application's observer, counting what reaches the main thread.
        devices.observe(LatestOnMainThread<DeviceRegistry::Snapshot>(
            [this](DeviceRegistry::Snapshot) { deliveries.fetch_add(1); }));
        port = listener.start(0);
    }

    WrkFigures flood(const std::string& cpus, const std::string& duration)
    {
        return runWrk(cpus, duration, "https://127.0.0.1:" + std::to_string(port) + "/health",
            { "Authorization: Bearer " + token });
    }

    DeviceRegistry devices;
    RelayRouter router;
    RelayListener listener;
    std::string token;
    std::uint16_t port = 0;
    std::atomic<int> deliveries = 0;
};

// Runs `work` on a thread of its own while the main thread delivers events, as the application's would.
template <typename Work> auto whileMainThreadRuns(QCoreApplication& application, Work work)
{
    decltype(work()) result;
    std::thread worker([&] {
        result = work();
        QMetaObject::invokeMethod(
            &application, [&] { application.quit(); }, Qt::QueuedConnection);
    });
    application.exec();
    worker.join();
    return result;
}

}

int main(int argc, char** argv)
{
    LoadArguments arguments(argc, argv, "5s", 3);
    pinTo(arguments.serverCPUs);
    int qtArguments = 1;
    QCoreApplication application(qtArguments, argv);

    RelayBenchFolder made;
    auto runner = std::make_shared<IdleRunner>();
    JobManager jobs({ .runner = runner, .labels = {} });
    RelayOptions options;
    PairingManager pairing({});
    PairedRelay one(1, made.folder / "incoming-1", made.identity, jobs, runner, made.data, options, pairing);
    PairedRelay twenty(
        20, made.folder / "incoming-20", made.identity, jobs, runner, made.data, options, pairing);

    std::printf("wrk -t2 -c32 -d%s on /health, relays on CPUs %s, clients on CPUs %s, %d alternating "
                "rounds\n",
        arguments.duration.c_str(), arguments.serverCPUs.c_str(), arguments.clientCPUs.c_str(),
        arguments.rounds);
    double oneTotal = 0, twentyTotal = 0, flooded = 0;
    int twentyDeliveries = 0;
    // Untimed, so that the first timed round of each relay, like every other, follows one of the other's
    // rather than a start with nothing warm.
    for (PairedRelay* relay : { &one, &twenty })
        whileMainThreadRuns(application, [&] { return relay->flood(arguments.clientCPUs, "1s"); });
    for (int round = 0; round < arguments.rounds; ++round) {
        auto withOne = whileMainThreadRuns(
            application, [&] { return one.flood(arguments.clientCPUs, arguments.duration); });
        int before = twenty.deliveries.load();
        auto started = std::chrono::steady_clock::now();
        auto withTwenty = whileMainThreadRuns(
            application, [&] { return twenty.flood(arguments.clientCPUs, arguments.duration); });
        flooded += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        twentyDeliveries += twenty.deliveries.load() - before;
        std::printf("round %d\n", round + 1);
        print("1 paired phone", withOne);
        print("20 paired phones", withTwenty);
        oneTotal += withOne.requestsPerSecond;
        twentyTotal += withTwenty.requestsPerSecond;
    }
    if (oneTotal > 0)
        std::printf("20 phones / 1 phone   %12.2f   (target at least 0.9)\n", twentyTotal / oneTotal);
    std::printf("device lists reaching the main thread under the flood: %.1f per second (%.0f requests per "
                "second)\n",
        twentyDeliveries / flooded, twentyTotal / arguments.rounds);

    one.listener.stop();
    twenty.listener.stop();
    return 0;
}
