#include "VellumarMacCore/RelayHost/RelayHost.h"

#include "Platform/Log.h"
#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Mailbox/MacMailboxBridge.h"
#include "VellumarMacCore/Relay/DeviceRemoval.h"
#include "VellumarMacCore/Relay/RelayListener.h"
#include "VellumarMacCore/Relay/RelayRouter.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "VellumarMacCore/Routines/RoutineDirectoryAdapter.h"
#include "VellumarMacCore/Schedule/ZonedCalendar.h"
#include "VellumarMacCore/Terminal/RelayWebSocket.h"

#include <system_error>
#include <utility>

namespace vellumar {

namespace {

    constexpr std::string_view kTLSFolderName = "tls";
    constexpr int kMaxRunningJobs = 2;
    constexpr double kFinishedJobRetentionSeconds = 86'400;
    constexpr double kQuestionLifetimeSeconds = 600;

    // Once `gate` is closed, the phone hears that the Mac is not running instead of reaching `handler`.
    MacMailbox::Handler gated(std::shared_ptr<CallGate> gate, MacMailbox::Handler handler)
    {
        return [gate = std::move(gate), handler = std::move(handler)](
                   const movrane::MailboxInboundRequest& request) {
            return gate->pass([&] { return handler(request); },
                [] {
                    return movrane::MailboxRelayResponse::error(
                        503, "unavailable", "Vellumar for Mac is not running.", std::nullopt);
                });
        };
    }

}

RelayHost::RelayHost(
    Configuration configuration, std::shared_ptr<RelayData> data, std::shared_ptr<ReplyRunner> runner)
    : m_configuration(std::move(configuration))
    , m_data(std::move(data))
    , m_runner(std::move(runner))
    , m_pairing({})
    , m_devices(m_configuration.deviceStorage, [] { return std::chrono::system_clock::now(); })
    , m_jobs(std::make_shared<JobManager>(JobManager::Options {
          .runner = m_runner,
          .labels = m_configuration.labels,
          .maxRunning = kMaxRunningJobs,
          .retention = kFinishedJobRetentionSeconds,
          .questionLifetime = kQuestionLifetimeSeconds,
      }))
    , m_routines(std::make_shared<RoutineManager>(RoutineManager::Options {
          .file = m_data->routinesFile(),
          .jobs = *m_jobs,
          .sessions = m_data->sessions,
          .routinesEnabled = [this] { return m_options.routines(); },
          .clock = JobClock::system(),
          .timeZone = m_configuration.timeZone,
      }))
    , m_terminals(TerminalSessions::make(m_configuration.terminalShell))
    , m_mailbox(m_configuration.mailbox
              ? MacMailbox::make(*m_configuration.mailbox, [this] { return m_devices.mailboxPairings(); })
              : nullptr)
{
    setRoutineDirectory(std::make_shared<RoutineDirectoryAdapter>(
        m_routines, [this] { return m_options.routines(); }, m_configuration.timeZone));
}

RelayHost::~RelayHost()
{
    stop();
    // The runner outlives the host; the directory reads the host's switch.
    setRoutineDirectory(nullptr);
}

void RelayHost::setRoutineDirectory(std::shared_ptr<RoutineDirectory> directory)
{
    // How another kind of runner would learn of the routines is not settled; it learns nothing.
    if (auto claude = std::dynamic_pointer_cast<ClaudeReplyRunner>(m_runner))
        claude->setRoutineDirectory(std::move(directory));
}

std::string RelayHost::serviceName(std::string_view name)
{
    std::string result;
    // Whole characters as a reader sees them, so a letter never loses its accent to the cut. One that
    // does not fit is left out; a shorter one after it may still fit.
    for (std::string_view character : characters(name)) {
        if (result.size() + character.size() <= kMaxServiceNameBytes)
            result.append(character);
    }
    return result.empty() ? "mac" : result;
}

platform::ServiceAdvertisement RelayHost::makeService(
    const std::string& macName, const TLSIdentity& identity, std::uint16_t port) const
{
    return {
        .name = serviceName(macName),
        .type = std::string(kServiceType),
        .text = { { "v", "1" }, { "id", m_configuration.macID }, { "pin", identity.pins.publicKeyBase64 } },
        .port = port,
    };
}

std::unique_ptr<RelayRouter> RelayHost::makeRouter()
{
    return std::make_unique<RelayRouter>(RelayRouter::Members {
        .pairing = m_pairing,
        .devices = m_devices,
        .jobs = *m_jobs,
        .runner = m_runner,
        .data = *m_data,
        .options = m_options,
        .macID = m_configuration.macID,
        .macName = m_configuration.macName,
        .timeZone = [zone = m_configuration.timeZone] { return timeZoneIdentifier(*zone()); },
        .onPaired = [this](const PairedDevice& device) { m_pairedHandlers.notify(device); },
        .onCodeReused = [this](const PairedDevice& device) { m_reusedHandlers.notify(device); },
        .routines = m_routines.get(),
        .terminals = m_terminals.get(),
        .mailbox = m_mailbox.get(),
    });
}

std::uint16_t RelayHost::listen(RelayListener& listener) const
{
    try {
        return listener.start(m_configuration.preferredPort);
    } catch (const std::system_error&) {
        if (!m_configuration.allowPortFallback || m_configuration.preferredPort == 0)
            throw;
    }
    return listener.start(0);
}

RelayHost::Serving::Serving() = default;
RelayHost::Serving::Serving(Serving&&) noexcept = default;

RelayHost::Serving& RelayHost::Serving::operator=(Serving&& other) noexcept
{
    end();
    router = std::move(other.router);
    listener = std::move(other.listener);
    discovery = std::move(other.discovery);
    return *this;
}

RelayHost::Serving::~Serving() { end(); }

void RelayHost::Serving::end() noexcept
{
    // The listener's threads serve the router; they end first.
    listener.reset();
    router.reset();
    discovery.reset();
}

std::uint16_t RelayHost::start(const SubjectAltNames& names)
{
    auto macName = m_configuration.macName();
    std::unique_lock lock(m_lock);
    if (m_port)
        throw RelayAlreadyRunning();
    if (m_serving.listener) {
        // A listener whose socket failed: its threads end outside the lock, which its report takes.
        Serving failed = std::exchange(m_serving, {});
        lock.unlock();
        // The mailbox's requests still inside the failed router leave it before it goes.
        m_mailboxRequests->close();
        m_mailboxRequests->waitUntilIdle();
        failed.end();
        lock.lock();
        if (m_serving.listener)
            throw RelayAlreadyRunning();
    }
    ensurePrivateDirectory(m_configuration.supportDirectory);
    m_identity = TLSIdentityStore::loadOrCreate(
        m_configuration.supportDirectory / kTLSFolderName, names, m_configuration.openssl);
    auto incoming = m_data->incomingFolder();
    ensurePrivateDirectory(incoming);
    m_data->sweepIncoming();

    Serving serving;
    serving.router = makeRouter();
    serving.listener = std::make_unique<RelayListener>(*m_identity, m_configuration.listenerLimits,
        serving.router->lanBodyPolicy(incoming), serving.router->lanHandler(),
        RelayListener::Hooks { .webSocket = relayWebSocketFactory(),
            .failed = [this](std::error_code error) { listenerStopped(error); },
            .answerAtOnce = [router = serving.router.get()](
                                const HTTPRequest& request) { return router->answerAtOnce(request); } });
    std::uint16_t port = listen(*serving.listener);
    if (m_configuration.advertise) {
        serving.discovery = m_configuration.serviceDiscovery ? m_configuration.serviceDiscovery()
                                                             : std::make_unique<platform::ServiceDiscovery>();
        serving.discovery->publish(makeService(macName, *m_identity, port));
    }
    m_serving = std::move(serving);
    m_port = port;
    m_routines->start();
    if (m_mailbox) {
        m_mailbox->connectRoutines(*m_routines);
        m_mailboxRequests->open();
        m_mailbox->start(gated(m_mailboxRequests, mailboxRequestHandler(*m_serving.router, incoming)));
    }
    return port;
}

void RelayHost::listenerStopped(std::error_code error)
{
    platform::logError("The relay stopped listening: " + error.message() + ".");
    std::unique_ptr<platform::ServiceDiscovery> discovery;
    {
        std::lock_guard lock(m_lock);
        m_port.reset();
        discovery = std::move(m_serving.discovery);
    }
    discovery.reset();
    if (m_configuration.listenerFailed)
        m_configuration.listenerFailed(error);
}

void RelayHost::stop() noexcept
{
    m_terminals->closeAll(kStoppedCloseCode, std::string(kStoppedReason));
    Serving serving;
    {
        std::lock_guard lock(m_lock);
        if (m_serving.listener)
            m_serving.listener->stop();
        m_port.reset();
        serving = std::exchange(m_serving, {});
    }
    // Before the jobs end, so that no job watch of the mailbox sees them cancelled.
    if (m_mailbox) {
        m_mailboxRequests->close();
        m_mailbox->stop();
    }
    m_routines->stop();
    // A run ends its Claude Code and then removes the placeholders it holds in the user's folders.
    m_jobs->cancelAllAndWait();
    // Mailbox requests still in the router end with the jobs they wait for; the router goes after them.
    m_mailboxRequests->waitUntilIdle();
    // `serving` ends after the jobs, so that no long poll of a running job keeps the listener's threads.
}

std::optional<RelayHost::PairingOffer> RelayHost::makePairingOffer(const std::string& host)
{
    auto macName = m_configuration.macName();
    std::lock_guard lock(m_lock);
    if (!m_identity || !m_port)
        return std::nullopt;
    auto offer = m_pairing.makeOffer();
    return PairingOffer {
        .payload = { .host = host,
            .port = *m_port,
            .publicKeyPin = m_identity->pins.publicKeyBase64,
            .code = offer.code,
            .macID = m_configuration.macID,
            .macName = macName },
        .expiresAt = offer.expiresAt,
    };
}

void RelayHost::removeDevice(const std::string& deviceID)
{
    forgetMailboxPairing(m_mailbox.get(),
        removeDeviceClosingTerminals(m_devices, m_terminals.get(), deviceID),
        MailboxRegistrar::ForgetTiming::now);
}

void RelayHost::setTerminalEnabled(bool enabled)
{
    m_options.setTerminal(enabled);
    if (!enabled)
        m_terminals->closeAll(kTerminalOffCloseCode, std::string(kTerminalOffReason));
}

void RelayHost::onPaired(PairedHandlers::Handler handler) { m_pairedHandlers.append(std::move(handler)); }

void RelayHost::onCodeReused(PairedHandlers::Handler handler) { m_reusedHandlers.append(std::move(handler)); }

void RelayHost::updateAdvertisement()
{
    auto macName = m_configuration.macName();
    std::lock_guard lock(m_lock);
    if (m_identity && m_port && m_serving.discovery)
        m_serving.discovery->publish(makeService(macName, *m_identity, *m_port));
}

std::optional<std::uint16_t> RelayHost::port() const
{
    std::lock_guard lock(m_lock);
    return m_port;
}

std::optional<TLSIdentity> RelayHost::identity() const
{
    std::lock_guard lock(m_lock);
    return m_identity;
}

}
