// A relay host on a temporary support folder, a fake device storage and a runner the test holds, with
// curl as the phone.
#pragma once

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"
#include "VellumarMacCore/Reply/ReplyRunner.h"
#include "tests/support/FakeDeviceStorage.h"
#include "tests/support/LatchedFakeRunner.h"
#include "tests/support/TestSupport.h"

#include <unicode/timezone.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vellumar::test {

struct HostWorld {
    // `adjust` changes the configuration before the host is built.
    explicit HostWorld(std::function<void(RelayHost::Configuration&)> adjust = {},
        std::shared_ptr<ReplyRunner> replyRunner = std::make_shared<LatchedFakeRunner>(),
        std::shared_ptr<RelayData> relayData = {})
        : data(relayData ? std::move(relayData)
                         : std::make_shared<RelayData>(
                             RelayData::Options { .folder = folder / "data", .home = folder / "home" }))
        , runner(std::move(replyRunner))
    {
        std::filesystem::create_directories(folder / "home");
        RelayHost::Configuration configuration {
            .supportDirectory = folder / "support",
            .preferredPort = 0,
            .advertise = false,
            .macID = "mac-1",
            .macName =
                [this] {
                    std::lock_guard lock(nameLock);
                    return macName;
                },
            .deviceStorage = storage,
            .timeZone = [] { return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone("UTC")); },
            // A plain shell in a fresh folder, so that what it does depends on no one's profile.
            .terminalShell =
                [home = (folder / "home").string()] {
                    return ShellLaunch { "/bin/sh", { "sh" },
                        { { "PATH", "/usr/bin:/bin" }, { "HOME", home } }, home };
                },
        };
        if (adjust)
            adjust(configuration);
        host = std::make_unique<RelayHost>(std::move(configuration), data, runner);
    }

    void setMacName(std::string name)
    {
        std::lock_guard lock(nameLock);
        macName = std::move(name);
    }

    // curl against the running host's port on 127.0.0.1, the certificate pinned; the status code on
    // the last line of what it prints.
    PeerResult curl(const std::string& target, std::vector<std::string> extra = {}) const
    {
        std::vector<std::string> argv { "curl", "-sS", "--http1.1", "--max-time", "60", "-k",
            "--pinnedpubkey", "sha256//" + host->identity()->pins.publicKeyBase64, "-w", "\n%{http_code}",
            "https://127.0.0.1:" + std::to_string(*host->port()) + target };
        argv.insert(argv.end(), extra.begin(), extra.end());
        return runPeer(argv);
    }

    TemporaryFolder folder;
    std::shared_ptr<FakeDeviceStorage> storage = std::make_shared<FakeDeviceStorage>();
    std::mutex nameLock;
    std::string macName = "Studio";
    std::shared_ptr<RelayData> data;
    std::shared_ptr<ReplyRunner> runner;
    std::unique_ptr<RelayHost> host;
    SubjectAltNames names { { "127.0.0.1" }, {} };
};

}
