// vellumar-road-mac: the computer's end of the two-process mailbox tests, the core as the application
// builds it (relay host, reply runner, job manager and the mailbox its entitlements allow) with the
// mailbox store and channel-state storage wrapped so that the test can end the process, as kill -9
// would, at a chosen call.
//
//   vellumar-road-mac ENTITLEMENTS DATA-FOLDER CLAUDE PERMISSION-HELPER
//
// The cloud database and the keychain live under XDG_DATA_HOME, as the application's do; the test sets
// it. `CLAUDE` is the claude executable the runner starts; `PERMISSION-HELPER` the executable of the
// permission sub-mode.
//
// Commands (JSON lines, see DriverLines.h):
//   {"op": "offer"}                   -> {"code", "macId"}: a one-time pairing code
//   {"op": "killAt", "call": C}       -> {"armed": C}; the process then ends at the next such call:
//        "stateSave" before the channel state of an opened envelope is saved, "afterStateSave" right
//        after that save returns, "replySave" before the next envelope the computer writes
//   {"op": "busyAt", "retryAfter": S} -> {"armed": "busy"}; the next envelope the computer writes meets
//        a busy store that asks it to retry after S seconds
//   {"op": "stop"}                    -> {"stopped": true} once the relay host stopped
// Events: "listening" {"port", "pin"}, "fetchStart", "saved" {"record", "to", "notify"}, "log" {"line"}.
#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Mailbox/AppEntitlements.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "VellumarMacCore/Relay/KeychainDeviceStorage.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "tests/MailboxRoad/drivers/DriverLines.h"
#include "tests/MovraneMailbox/ObservedMailboxStore.h"

#include <unicode/timezone.h>

#include <csignal>
#include <iostream>
#include <mutex>
#include <set>

namespace {

using namespace vellumar;
using vellumar::road::emitEvent;
using vellumar::road::textMember;

// What the test arms at the computer's store calls: the end of the process at one, as SIGKILL from
// outside would end it (no destructor, no flush, nothing an orderly exit would do), or a busy answer
// queued in the cloud database for the next envelope the computer writes.
class CallTraps {
public:
    void armKill(std::string call)
    {
        std::lock_guard lock(m_lock);
        m_kills.insert(std::move(call));
    }

    void killAt(const std::string& call)
    {
        std::lock_guard lock(m_lock);
        if (m_kills.contains(call))
            std::raise(SIGKILL);
    }

    void armBusy(double retryAfter)
    {
        std::lock_guard lock(m_lock);
        m_busy = retryAfter;
    }

    std::optional<double> takeBusy()
    {
        std::lock_guard lock(m_lock);
        return std::exchange(m_busy, std::nullopt);
    }

private:
    std::mutex m_lock;
    std::set<std::string> m_kills;
    std::optional<double> m_busy;
};

// The channel states of opened envelopes are the ones saved with `save`; everything else is stored.
class KillableStateStorage final : public movrane::MailboxStateStorage {
public:
    KillableStateStorage(
        std::shared_ptr<movrane::MailboxStateStorage> storage, std::shared_ptr<CallTraps> traps)
        : m_storage(std::move(storage))
        , m_traps(std::move(traps))
    {
    }

    std::optional<movrane::MailboxBytes> load(std::string_view key) override { return m_storage->load(key); }
    void store(const std::optional<movrane::MailboxBytes>& bytes, std::string_view key) override
    {
        m_storage->store(bytes, key);
    }
    void save(const movrane::MailboxBytes& bytes, std::string_view key) override
    {
        m_traps->killAt("stateSave");
        m_storage->save(bytes, key);
        m_traps->killAt("afterStateSave");
    }

private:
    std::shared_ptr<movrane::MailboxStateStorage> m_storage;
    std::shared_ptr<CallTraps> m_traps;
};

std::optional<MacMailboxSetup> trappedMailbox(const std::filesystem::path& entitlements,
    const std::filesystem::path& data, std::shared_ptr<CallTraps> traps)
{
    auto setup = AppEntitlements::mailboxSetup(platform::Entitlements(entitlements),
        {
            .stateDirectory = data / "mailbox",
            .temporaryDirectory = data / "incoming",
            .appVersion = "1.0",
            .macName = [] { return std::string("Road Mac"); },
            .log =
                [](std::string_view line) {
                    emitEvent("log", { { "line", JSON(line) } });
                },
        });
    if (!setup)
        return std::nullopt;
    auto store = std::make_shared<movrane::ObservedMailboxStore>(setup->store);
    store->beforeFetch([] { emitEvent("fetchStart"); });
    store->afterSave([](const movrane::MailboxEnvelopeRecord& record) {
        emitEvent("saved",
            { { "record", record.name }, { "to", record.to },
                { "notify", JSON(movrane::rawValue(record.notify)) } });
    });
    auto cloud = std::dynamic_pointer_cast<movrane::CloudKitMailboxStore>(setup->store);
    store->beforeSave([traps, cloud] {
        traps->killAt("replySave");
        if (auto retryAfter = traps->takeBusy()) {
            cloud->container().queueFailure(
                { "saveEnvelope", platform::CloudErrorCode::requestRateLimited, *retryAfter, 1 });
        }
    });
    setup->store = std::move(store);
    setup->storage = std::make_shared<KillableStateStorage>(setup->storage, traps);
    return setup;
}

std::unique_ptr<RelayHost> makeHost(std::optional<MacMailboxSetup> mailbox, std::shared_ptr<RelayData> data,
    std::shared_ptr<ReplyRunner> runner)
{
    auto keychain = platform::Keychain(platform::Keychain::defaultFolder());
    RelayHost::Configuration configuration {
        .supportDirectory = data->folder,
        .preferredPort = 0,
        .advertise = false,
        .macID = "mac-road",
        .macName = [] { return std::string("Road Mac"); },
        .deviceStorage
        = std::make_shared<KeychainDeviceStorage>(std::string(KeychainDeviceStorage::applicationService),
            std::string(KeychainDeviceStorage::applicationAccount), keychain),
        .timeZone = [] { return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone("UTC")); },
        .terminalShell =
            [] {
                return ShellLaunch { "/bin/sh", { "sh" }, {}, "/" };
            },
        .mailbox = std::move(mailbox),
    };
    return std::make_unique<RelayHost>(std::move(configuration), std::move(data), std::move(runner));
}

}

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::cerr << "usage: vellumar-road-mac ENTITLEMENTS DATA-FOLDER CLAUDE PERMISSION-HELPER\n";
        return 2;
    }
    const std::filesystem::path dataFolder = argv[2];
    const std::filesystem::path claude = argv[3];
    auto traps = std::make_shared<CallTraps>();
    auto home = std::getenv("HOME") ? std::filesystem::path(std::getenv("HOME")) : dataFolder;
    auto data = std::make_shared<RelayData>(RelayData::Options { .folder = dataFolder, .home = home });
    auto runner = std::make_shared<ClaudeReplyRunner>(*data,
        ClaudeReplyRunner::Options {
            .locate = [claude] { return std::optional(claude); },
            .path = [] { return std::string("/usr/local/bin:/usr/bin:/bin"); },
            .baseEnvironment = { { "HOME", home.string() } },
            .permissionHelper = PermissionHelper { argv[4], { std::string(PermissionMCPServer::flag) } },
        });
    auto host = makeHost(trappedMailbox(argv[1], dataFolder, traps), data, runner);
    auto port = host->start(SubjectAltNames { { "127.0.0.1" }, {} });
    emitEvent("listening", { { "port", port }, { "pin", host->identity()->pins.publicKeyBase64 } });

    road::serveCommands([&](const JSON& command) -> JSON::Object {
        auto op = textMember(command, "op");
        if (op == "offer") {
            auto offer = host->makePairingOffer("127.0.0.1");
            if (!offer)
                return { { "error", "not running" } };
            return { { "code", offer->payload.code }, { "macId", host->configuration().macID } };
        }
        if (op == "killAt") {
            traps->armKill(textMember(command, "call"));
            return { { "armed", textMember(command, "call") } };
        }
        if (op == "busyAt") {
            auto retryAfter = command.subscript("retryAfter");
            traps->armBusy(retryAfter && retryAfter->numberValue() ? *retryAfter->numberValue() : 5);
            return { { "armed", "busy" } };
        }
        if (op == "stop") {
            host->stop();
            return { { "stopped", true } };
        }
        return { { "error", "unknown op" } };
    });
    host->stop();
    return 0;
}
