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
//   {"op": "busyAt", "call": C, "retryAfter": S, "count": N} -> {"armed": "busy"}; the next N calls
//        ("fetch" or "replySave") are answered busy, to be retried after S seconds
//   {"op": "status"}                  -> {"running", "primaryError"}: the mailbox's status, refreshed
//   {"op": "stop"}                    -> {"stopped": true} once the relay host stopped
// Events: "listening" {"port", "pin"}, "fetchStart", "saved" {"record", "to", "notify"}, "log" {"line"}.
#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Mailbox/AppEntitlements.h"
#include "VellumarMacCore/Mailbox/MacMailboxPushListener.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "VellumarMacCore/Relay/KeychainDeviceStorage.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "tests/MailboxRoad/drivers/DriverLines.h"
#include "tests/MovraneMailbox/ObservedMailboxStore.h"

#include <unicode/timezone.h>

#include <csignal>
#include <iostream>
#include <map>
#include <mutex>
#include <set>

namespace {

using namespace vellumar;
using vellumar::road::emitEvent;
using vellumar::road::textMember;

// What the test arms at the computer's store calls: the end of the process at one, as SIGKILL from
// outside would end it (no destructor, no flush, nothing an orderly exit would do), or busy answers
// with a retry-after for the next calls of one kind.
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

    void armBusy(std::string call, double retryAfter, int count)
    {
        std::lock_guard lock(m_lock);
        m_busy.insert_or_assign(std::move(call), Busy { retryAfter, count });
    }

    // Throws the busy answer armed for `call` while any is left.
    void busyAt(const std::string& call)
    {
        std::lock_guard lock(m_lock);
        auto busy = m_busy.find(call);
        if (busy != m_busy.end() && busy->second.count-- > 0)
            throw movrane::MailboxError::busy(busy->second.retryAfter);
    }

private:
    struct Busy {
        double retryAfter;
        int count;
    };

    std::mutex m_lock;
    std::set<std::string> m_kills;
    std::map<std::string, Busy> m_busy;
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

// The mailbox's set-up as the application makes it from its entitlements, logging to standard output.
std::optional<MacMailboxSetup> mailboxSetup(
    const std::filesystem::path& entitlements, const std::filesystem::path& data)
{
    return AppEntitlements::mailboxSetup(platform::Entitlements(entitlements),
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
}

// Puts the traps and the events between the mailbox and its cloud store and channel-state storage.
void trap(MacMailboxSetup& setup, std::shared_ptr<movrane::CloudKitMailboxStore> cloud,
    std::shared_ptr<CallTraps> traps)
{
    auto store = std::make_shared<movrane::ObservedMailboxStore>(cloud);
    store->beforeFetch([traps] {
        emitEvent("fetchStart");
        traps->busyAt("fetch");
    });
    store->afterSave([](const movrane::MailboxEnvelopeRecord& record) {
        emitEvent("saved",
            { { "record", record.name }, { "to", record.to },
                { "notify", JSON(movrane::rawValue(record.notify)) } });
    });
    store->beforeSave([traps] {
        traps->killAt("replySave");
        traps->busyAt("replySave");
    });
    setup.store = std::move(store);
    setup.storage = std::make_shared<KillableStateStorage>(setup.storage, traps);
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
    auto setup = mailboxSetup(argv[1], dataFolder);
    auto cloud = setup ? std::dynamic_pointer_cast<movrane::CloudKitMailboxStore>(setup->store) : nullptr;
    if (setup)
        trap(*setup, cloud, traps);
    auto host = makeHost(std::move(setup), data, runner);
    auto port = host->start(SubjectAltNames { { "127.0.0.1" }, {} });
    // The cloud database's pushes reach the mailbox as the application hands them on.
    std::unique_ptr<MacMailboxPushListener> pushes;
    if (const auto& mailbox = host->mailbox()) {
        pushes = std::make_unique<MacMailboxPushListener>(cloud->container().listenForPushes(), mailbox);
        mailbox->setPushRegistered(true);
    }
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
            const auto* retryAfter = command.subscript("retryAfter");
            const auto* count = command.subscript("count");
            traps->armBusy(textMember(command, "call"),
                retryAfter && retryAfter->numberValue() ? *retryAfter->numberValue() : 5,
                count && count->intValue() ? static_cast<int>(*count->intValue()) : 1);
            return { { "armed", "busy" } };
        }
        if (op == "status") {
            const auto& mailbox = host->mailbox();
            if (!mailbox)
                return { { "error", "no mailbox" } };
            mailbox->refreshStatus();
            auto status = mailbox->status();
            auto primary = status.primaryError();
            return { { "running", status.running },
                { "primaryError", primary ? JSON(primary->what()) : JSON() } };
        }
        if (op == "stop") {
            pushes.reset();
            host->stop();
            return { { "stopped", true } };
        }
        return { { "error", "unknown op" } };
    });
    pushes.reset();
    host->stop();
    return 0;
}
