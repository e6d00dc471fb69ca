// The relay of a Mac with the terminal on: one paired phone, the router with the terminal sessions,
// and the TLS listener on a free port switching GET /v1/terminal to WebSocket. The shell is /bin/sh
// in a fresh folder, so what it prints depends on no one's profile.
#pragma once

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/PairingManager.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/RelayRouter.h"
#include "VellumarMacCore/Terminal/RelayWebSocket.h"
#include "VellumarMacCore/Terminal/TerminalSessions.h"
#include "tests/Relay/RelayServer.h"
#include "tests/support/LatchedFakeRunner.h"
#include "tests/support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::test {

// A member of a phone's report as JSON text; "absent" when the report lacks it, as it does when the
// phone failed before it could say.
inline std::string reported(const JSON& report, std::string_view key)
{
    const JSON* member = report.subscript(key);
    return member ? member->encoded() : "absent";
}

class TerminalRelay {
public:
    TerminalRelay()
    {
        sessions->observe([observed = m_observed](const std::vector<TerminalSessions::Summary>& summaries) {
            std::function<void()> hook;
            {
                std::lock_guard guard(observed->lock);
                observed->count = 0;
                for (const auto& summary : summaries)
                    observed->count += summary.count;
                hook = observed->onChange;
                observed->changed.notify_all();
            }
            if (hook)
                hook();
        });
    }

    // The listener goes first; its sockets' ends hang up every shell, and the bridges have all ended
    // before anything they report to goes. A bridge still running when the wait gives up reports only
    // to what it shares, and calls no test's hook.
    ~TerminalRelay()
    {
        onChange(nullptr);
        server.listener.reset();
        waitForCount(0);
    }
    TerminalRelay(const TerminalRelay&) = delete;
    TerminalRelay& operator=(const TerminalRelay&) = delete;

    ShellLaunch shell() const
    {
        return { shellMissing ? "/nonexistent/sh" : "/bin/sh", { "sh" },
            { { "PATH", "/usr/bin:/bin" }, { "HOME", folder.path().string() }, { "TERM", "xterm-256color" } },
            folder.path().string() };
    }

    // The peer's JSON report of one scenario of tests/peers/terminal_phone.py.
    JSON phone(const std::string& scenario, const std::vector<std::string>& arguments = {}) const
    {
        std::vector<std::string> argv { "/usr/bin/python3",
            (sourceDir() / "tests/peers/terminal_phone.py").string(),
            "wss://127.0.0.1:" + std::to_string(server.port) + "/v1/terminal?cols=80&rows=24",
            testCertificateFile().string(), paired.token, scenario };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const auto result = runPeer(argv);
        return JSON::decode(result.output).value_or(JSON());
    }

    // Whether the terminals reached `count` within the test's patience.
    bool waitForCount(int count)
    {
        std::unique_lock lock(m_observed->lock);
        return m_observed->changed.wait_for(
            lock, std::chrono::seconds(60), [&] { return m_observed->count == count; });
    }
    // Run on the thread of each change, after the count is updated.
    void onChange(std::function<void()> hook)
    {
        std::lock_guard guard(m_observed->lock);
        m_observed->onChange = std::move(hook);
    }
    std::vector<std::shared_ptr<WebSocketConnection>> sockets()
    {
        std::lock_guard guard(m_observed->lock);
        return m_observed->sockets;
    }

private:
    // What the terminals' observer and the WebSocket hook report to, shared with them.
    struct Observed {
        std::mutex lock;
        std::condition_variable changed;
        int count = 0;
        std::function<void()> onChange;
        std::vector<std::shared_ptr<WebSocketConnection>> sockets;
    };
    const std::shared_ptr<Observed> m_observed = std::make_shared<Observed>();

public:
    TemporaryFolder folder;
    std::atomic<int> launches = 0;
    std::atomic<bool> shellMissing = false;
    std::shared_ptr<TerminalSessions> sessions = TerminalSessions::make([this] {
        ++launches;
        return shell();
    });
    RelayData data { { .folder = folder / "data", .home = folder / "home" } };
    std::shared_ptr<LatchedFakeRunner> runner = std::make_shared<LatchedFakeRunner>();
    DeviceRegistry devices { std::make_shared<MemoryDeviceStorage>(),
        [] { return std::chrono::system_clock::now(); } };
    DeviceRegistry::Pairing paired = devices.add("Phone");
    JobManager jobs { { .runner = runner, .labels = {}, .clock = JobClock::system() } };
    RelayOptions options;
    PairingManager pairing { {} };
    RelayRouter router { { .pairing = pairing,
        .devices = devices,
        .jobs = jobs,
        .runner = runner,
        .data = data,
        .options = options,
        .macID = "mac-1",
        .macName = [] { return std::string("Studio"); },
        .timeZone = [] { return std::string("Europe/Berlin"); },
        .terminals = sessions.get() } };

    // Last: the listener stops first, while what its terminals report to is still there.
    RelayServer server { router.lanHandler(), {}, router.lanBodyPolicy(folder / "incoming"),
        { .webSocket = [observed = m_observed, make = relayWebSocketFactory()](auto queue, auto connection,
                           std::string received, std::function<void()> onFinish) {
            auto handOff
                = make(std::move(queue), std::move(connection), std::move(received), std::move(onFinish));
            std::lock_guard guard(observed->lock);
            observed->sockets.push_back(handOff.webSocket);
            return handOff;
        } } };
};

}
