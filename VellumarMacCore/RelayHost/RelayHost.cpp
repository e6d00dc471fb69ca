#include "VellumarMacCore/RelayHost/RelayHost.h"

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/DeviceRemoval.h"
#include "VellumarMacCore/Relay/RelayListener.h"
#include "VellumarMacCore/Relay/RelayRouter.h"
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

    std::size_t utf8SequenceLength(unsigned char lead)
    {
        if (lead >= 0xF0)
            return 4;
        if (lead >= 0xE0)
            return 3;
        if (lead >= 0xC0)
            return 2;
        return 1;
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
    , m_terminals(TerminalSessions::make(m_configuration.terminalShell))
{
}

RelayHost::~RelayHost() { stop(); }

std::string RelayHost::serviceName(std::string_view name)
{
    std::string result;
    for (std::size_t at = 0; at < name.size();) {
        auto length = std::min(utf8SequenceLength(static_cast<unsigned char>(name[at])), name.size() - at);
        // A character that does not fit is left out; a shorter one after it may still fit.
        if (result.size() + length <= kMaxServiceNameBytes)
            result.append(name.substr(at, length));
        at += length;
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
        .terminals = m_terminals.get(),
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

std::uint16_t RelayHost::start(const SubjectAltNames& names)
{
    auto macName = m_configuration.macName();
    std::lock_guard lock(m_lock);
    if (m_listener)
        throw RelayAlreadyRunning();
    ensurePrivateDirectory(m_configuration.supportDirectory);
    m_identity = TLSIdentityStore::loadOrCreate(
        m_configuration.supportDirectory / kTLSFolderName, names, m_configuration.openssl);
    auto incoming = m_data->incomingFolder();
    ensurePrivateDirectory(incoming);
    m_data->sweepIncoming();

    auto router = makeRouter();
    auto listener = std::make_unique<RelayListener>(*m_identity, m_configuration.listenerLimits,
        router->lanBodyPolicy(incoming), router->lanHandler(),
        RelayListener::Hooks { .webSocket = relayWebSocketFactory() });
    std::uint16_t port = listen(*listener);
    if (m_configuration.advertise) {
        m_discovery = std::make_unique<platform::ServiceDiscovery>();
        m_discovery->publish(makeService(macName, *m_identity, port));
    }
    m_router = std::move(router);
    m_listener = std::move(listener);
    m_port = port;
    // FIXME: the iCloud mailbox, once it exists, is connected to the routines and started here.
    return port;
}

void RelayHost::stop() noexcept
{
    m_terminals->closeAll(kStoppedCloseCode, std::string(kStoppedReason));
    std::unique_ptr<RelayListener> listener;
    std::unique_ptr<RelayRouter> router;
    std::unique_ptr<platform::ServiceDiscovery> discovery;
    {
        std::lock_guard lock(m_lock);
        if (m_listener)
            m_listener->stop();
        m_port.reset();
        listener = std::move(m_listener);
        router = std::move(m_router);
        discovery = std::move(m_discovery);
    }
    // FIXME: the iCloud mailbox, once it exists, is stopped here, before the jobs end.
    m_jobs->cancelAll();
    // The listener's threads end here, after the jobs, so that no long poll of a running job keeps
    // them; then the router they served may go.
    listener.reset();
    router.reset();
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
    // FIXME: a removed device's iCloud mailbox pairing, once there is a mailbox, is forgotten here.
    removeDeviceClosingTerminals(m_devices, m_terminals.get(), deviceID);
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
    if (m_identity && m_configuration.advertise && m_listener && m_discovery)
        m_discovery->publish(makeService(macName, *m_identity, *m_port));
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
