// The composition root of the relay server: builds everything the phone talks to from one
// configuration, starts it on its port with its Bonjour service, offers pairing, and stops it in order.
#pragma once

#include "Platform/ServiceDiscovery.h"
#include "VellumarMacCore/Jobs/ActivityKind.h"
#include "VellumarMacCore/Mailbox/MacMailbox.h"
#include "VellumarMacCore/RelayHost/CallGate.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/PairedHandlers.h"
#include "VellumarMacCore/Relay/PairingManager.h"
#include "VellumarMacCore/Relay/PairingPayload.h"
#include "VellumarMacCore/Relay/RelayListenerLimits.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/TLSIdentityStore.h"
#include "VellumarMacCore/Routines/RoutineManager.h"
#include "VellumarMacCore/Terminal/ShellLaunch.h"
#include "VellumarMacCore/Terminal/TerminalSessions.h"

#include <unicode/timezone.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace vellumar {

class JobManager;
class RelayData;
class RelayListener;
class RelayRouter;
class ReplyRunner;

// Thrown by a start while the relay is already listening; nothing has changed then.
struct RelayAlreadyRunning : std::logic_error {
    RelayAlreadyRunning()
        : std::logic_error("The relay is already running.")
    {
    }
};

class RelayHost {
public:
    static constexpr std::uint16_t kDefaultPort = 48788;
    static constexpr std::string_view kServiceType = "_vellumar._tcp";
    // The most UTF-8 bytes a Bonjour instance name may have.
    static constexpr std::size_t kMaxServiceNameBytes = 63;
    // The WebSocket close codes and reasons terminals get from the host.
    static constexpr std::uint16_t kStoppedCloseCode = 1001;
    static constexpr std::string_view kStoppedReason = "Vellumar for Mac stopped.";
    static constexpr std::uint16_t kTerminalOffCloseCode = 4000;
    static constexpr std::string_view kTerminalOffReason = "The terminal was turned off on the Mac.";

    struct Configuration {
        // Holds the TLS identity in "tls".
        std::filesystem::path supportDirectory;
        std::uint16_t preferredPort = kDefaultPort;
        // Whether a failed listen on the preferred port is tried once more on any free port.
        bool allowPortFallback = true;
        bool advertise = true;
        // Makes the advertiser of each start; empty for the Avahi one.
        std::function<std::unique_ptr<platform::ServiceDiscovery>()> serviceDiscovery;
        // This Mac's stable id, in the Bonjour record and the pairing payload.
        std::string macID;
        // Any thread: the Mac's display name at the moment of the call.
        std::function<std::string()> macName;
        std::shared_ptr<DeviceStorage> deviceStorage;
        ActivityLabels labels;
        std::filesystem::path openssl = TLSIdentityStore::defaultOpenSSL;
        RelayListenerLimits listenerLimits;
        // Any thread: the Mac's time zone at the moment of the call.
        std::function<std::unique_ptr<icu::TimeZone>()> timeZone;
        // Any thread: how each new terminal's login shell is launched.
        std::function<ShellLaunch()> terminalShell;
        // Told, on the listener's thread, the error that stopped a running listener; the relay is not
        // running from then on, and a start may follow. May be empty.
        std::function<void(std::error_code)> listenerFailed;
        // The iCloud mailbox's set-up; none when the entitlements do not allow it, and the relay then
        // serves every phone on the local network alone.
        std::optional<MacMailboxSetup> mailbox;
    };

    struct PairingOffer {
        PairingPayload payload;
        PairingManager::TimePoint expiresAt;
    };

    // Builds every service; nothing listens yet, and no routine runs. A Claude Code runner is given the
    // routines' directory. Never throws for a configuration it was given.
    RelayHost(
        Configuration configuration, std::shared_ptr<RelayData> data, std::shared_ptr<ReplyRunner> runner);
    // Stops what start started.
    ~RelayHost();
    RelayHost(const RelayHost&) = delete;
    RelayHost& operator=(const RelayHost&) = delete;

    // Makes the support folder private, loads or makes the TLS identity for `names`, clears the spool
    // folder, listens (on any free port when the preferred one fails and fallback is allowed),
    // advertises the service, starts the routine scheduler and then the Mac mailbox, whose own failures
    // show in its status and never fail the start. Answers the bound port. Throws the error of the step
    // that failed (the last listen attempt's std::system_error for the port), leaving nothing
    // listening; throws RelayAlreadyRunning while the relay runs. May follow a stop, or a listener that
    // failed.
    std::uint16_t start(const SubjectAltNames& names);
    // Closes the terminals with 1001, stops listening and closes every connection, withdraws the
    // service, stops the Mac mailbox and the routine scheduler and cancels every job; returns once the
    // jobs' runs and the threads start made have ended, which waits for requests still inside the
    // router. Before a start it only closes and cancels. Never throws.
    void stop() noexcept;

    // A new one-time pairing code for a phone that is to call `host`, replacing any earlier offer;
    // none (and the earlier offer untouched) while the relay is not running.
    std::optional<PairingOffer> makePairingOffer(const std::string& host);
    // Unpairs the device and closes its terminals with 4001, also when the registry's save fails,
    // whose error then goes on; after a save, the mailbox forgets the device's pairing and its zone.
    void removeDevice(const std::string& deviceID);
    // Switching it off closes every terminal with 4000.
    void setTerminalEnabled(bool enabled);
    // Any thread; handlers run on the thread of the pairing request.
    void onPaired(PairedHandlers::Handler handler);
    void onCodeReused(PairedHandlers::Handler handler);
    // Publishes the service anew with the current name, when the relay runs and advertises.
    void updateAdvertisement();

    // The Bonjour instance name for a computer name: its characters in order, leaving out each one
    // that would take the result past 63 bytes; "mac" when none fits.
    static std::string serviceName(std::string_view name);

    const Configuration& configuration() const noexcept { return m_configuration; }
    RelayData& data() noexcept { return *m_data; }
    PairingManager& pairing() noexcept { return m_pairing; }
    DeviceRegistry& devices() noexcept { return m_devices; }
    JobManager& jobs() noexcept { return *m_jobs; }
    RoutineManager& routines() noexcept { return *m_routines; }
    RelayOptions& options() noexcept { return m_options; }
    // Where the application registers its observer of open terminals.
    TerminalSessions& terminals() noexcept { return *m_terminals; }
    // The Mac's end of the iCloud mailbox; none without a mailbox set-up.
    const std::shared_ptr<MacMailbox>& mailbox() const noexcept { return m_mailbox; }
    // The bound port while the relay runs.
    std::optional<std::uint16_t> port() const;
    // Kept after a stop.
    std::optional<TLSIdentity> identity() const;

private:
    platform::ServiceAdvertisement makeService(
        const std::string& macName, const TLSIdentity& identity, std::uint16_t port) const;
    std::unique_ptr<RelayRouter> makeRouter();
    void setRoutineDirectory(std::shared_ptr<RoutineDirectory> directory);
    // Listens on the preferred port, then on any port when that fails and fallback is allowed.
    std::uint16_t listen(RelayListener& listener) const;
    // On the listener's thread: the relay no longer runs.
    void listenerStopped(std::error_code error);

    // What start makes and stop (or a failed listener) ends.
    struct Serving {
        std::unique_ptr<RelayRouter> router;
        std::unique_ptr<RelayListener> listener;
        std::unique_ptr<platform::ServiceDiscovery> discovery;
        Serving();
        Serving(Serving&&) noexcept;
        Serving& operator=(Serving&& other) noexcept;
        ~Serving();
        // Joins the listener's threads, which must not wait for the host's lock meanwhile, then lets
        // the router go and withdraws the service.
        void end() noexcept;
    };

    const Configuration m_configuration;
    RelayOptions m_options;
    PairedHandlers m_pairedHandlers;
    PairedHandlers m_reusedHandlers;
    const std::shared_ptr<RelayData> m_data;
    const std::shared_ptr<ReplyRunner> m_runner;
    PairingManager m_pairing;
    DeviceRegistry m_devices;
    std::shared_ptr<JobManager> m_jobs;
    // Runs the jobs' observer and holds the job manager: it goes before them.
    const std::shared_ptr<RoutineManager> m_routines;
    const std::shared_ptr<TerminalSessions> m_terminals;
    // Asks the registry for the phones' mailbox pairings: it goes before the registry.
    const std::shared_ptr<MacMailbox> m_mailbox;
    // The mailbox's requests pass it on their way into the router; stop waits for them before the
    // router goes. Shared with the handler the mailbox holds, which may outlive the host.
    const std::shared_ptr<CallGate> m_mailboxRequests = std::make_shared<CallGate>();

    // Guards what start sets and stop clears, so that the menu's calls never see half a start. The
    // configuration's closures are called before it is taken.
    mutable std::mutex m_lock;
    std::optional<TLSIdentity> m_identity;
    // Set only while the listener runs.
    std::optional<std::uint16_t> m_port;
    Serving m_serving;
};

}
