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
//   {"op": "stop"}                    -> {"stopped": true} once the relay host stopped
// Events: "listening" {"port", "pin"}, "fetchStart", "saved" {"record", "to", "notify"}, "log" {"line"}.
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

// The calls at which the process may be told to end.
class KillSwitch {
public:
    void arm(std::string call)
    {
        std::lock_guard lock(m_lock);
        m_armed.insert(std::move(call));
    }

    // Ends the process at once, as SIGKILL from outside would, when `call` is armed: no destructor,
    // no flush, nothing the process would do on an orderly exit.
    void at(const std::string& call)
    {
        std::lock_guard lock(m_lock);
        if (m_armed.contains(call))
            std::raise(SIGKILL);
    }

private:
    std::mutex m_lock;
    std::set<std::string> m_armed;
};

// The channel states of opened envelopes are the ones saved with `save`; everything else is stored.
class KillableStateStorage final : public movrane::MailboxStateStorage {
public:
    KillableStateStorage(
        std::shared_ptr<movrane::MailboxStateStorage> storage, std::shared_ptr<KillSwitch> kill)
        : m_storage(std::move(storage))
        , m_kill(std::move(kill))
    {
    }

    std::optional<movrane::MailboxBytes> load(std::string_view key) override { return m_storage->load(key); }
    void store(const std::optional<movrane::MailboxBytes>& bytes, std::string_view key) override
    {
        m_storage->store(bytes, key);
    }
    void save(const movrane::MailboxBytes& bytes, std::string_view key) override
    {
        m_kill->at("stateSave");
        m_storage->save(bytes, key);
        m_kill->at("afterStateSave");
    }

private:
    std::shared_ptr<movrane::MailboxStateStorage> m_storage;
    std::shared_ptr<KillSwitch> m_kill;
};

std::optional<MacMailboxSetup> killableMailbox(const std::filesystem::path& entitlements,
    const std::filesystem::path& data, std::shared_ptr<KillSwitch> kill)
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
    store->beforeSave([kill] { kill->at("replySave"); });
    setup->store = std::move(store);
    setup->storage = std::make_shared<KillableStateStorage>(setup->storage, kill);
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
    auto kill = std::make_shared<KillSwitch>();
    auto home = std::getenv("HOME") ? std::filesystem::path(std::getenv("HOME")) : dataFolder;
    auto data = std::make_shared<RelayData>(RelayData::Options { .folder = dataFolder, .home = home });
    auto runner = std::make_shared<ClaudeReplyRunner>(*data,
        ClaudeReplyRunner::Options {
            .locate = [claude] { return std::optional(claude); },
            .path = [] { return std::string("/usr/local/bin:/usr/bin:/bin"); },
            .baseEnvironment = { { "HOME", home.string() } },
            .permissionHelper = PermissionHelper { argv[4], { std::string(PermissionMCPServer::flag) } },
        });
    auto host = makeHost(killableMailbox(argv[1], dataFolder, kill), data, runner);
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
            kill->arm(textMember(command, "call"));
            return { { "armed", textMember(command, "call") } };
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
