// Start-up: the Mac's addresses, kept current as networks change, and the relay host started with the
// names its certificate carries.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/TLSIdentityError.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"

#include <algorithm>

namespace vellumar {

void AppModel::start()
{
    if (std::exchange(m_started, true))
        return;
    refreshAddresses();
    try {
        m_pathMonitor = std::make_unique<platform::NetworkPath>(
            [model = QPointer<AppModel>(this)] {
                onMainThread(model, [](AppModel& self) { self.refreshAddresses(); });
            },
            m_pathOptions);
    } catch (const std::exception& error) {
        // The relay still serves; the addresses are then refreshed only when the menu or the pairing
        // window asks.
        platform::logError(std::string("network path monitor not started: ") + error.what());
    }
    observeCore();
    startMailboxWiring();
    checkClaude();

    auto names = certificateNames(
        m_lanAddress, m_tailscaleAddress, m_interfaceAddresses(), NetworkAddresses::localHostName());
    try {
        publish<ServerState>(
            m_serverState, ServerRunning { m_host->start(names) }, &AppModel::serverStateChanged);
    } catch (const std::exception& error) {
        publish<ServerState>(
            m_serverState, ServerFailed { startErrorText(error) }, &AppModel::serverStateChanged);
    }
}

SubjectAltNames AppModel::certificateNames(const std::optional<std::string>& lanAddress,
    const std::optional<std::string>& tailscaleAddress, const std::vector<InterfaceAddress>& interfaces,
    const std::optional<std::string>& localHostName)
{
    SubjectAltNames names;
    for (const auto* published : { &lanAddress, &tailscaleAddress })
        if (*published)
            names.ipAddresses.push_back(**published);
    for (const auto& entry : interfaces)
        if (!NetworkAddresses::isLoopback(entry) && !NetworkAddresses::isLinkLocal(entry))
            names.ipAddresses.push_back(entry.address);
    std::sort(names.ipAddresses.begin(), names.ipAddresses.end());
    names.ipAddresses.erase(
        std::unique(names.ipAddresses.begin(), names.ipAddresses.end()), names.ipAddresses.end());
    if (localHostName)
        names.dnsNames.push_back(*localHostName);
    return names;
}

std::string AppModel::startErrorText(const std::exception& error)
{
    const auto* identity = dynamic_cast<const TLSIdentityError*>(&error);
    if (!identity)
        return error.what();
    switch (identity->kind()) {
    case TLSIdentityError::Kind::opensslMissing:
        return "openssl is missing";
    case TLSIdentityError::Kind::generationFailed:
        return "certificate could not be made";
    case TLSIdentityError::Kind::unreadableCertificate:
        return "certificate is unreadable";
    case TLSIdentityError::Kind::insecureFolder:
        return "settings folder is not private";
    case TLSIdentityError::Kind::importFailed:
        return "certificate could not be loaded (" + std::to_string(identity->status()) + ")";
    }
    return error.what();
}

void AppModel::refreshAddresses()
{
    auto addresses = m_interfaceAddresses();
    publish(m_lanAddress, NetworkAddresses::lanAddress(addresses), &AppModel::lanAddressChanged);
    publish(m_tailscaleAddress, NetworkAddresses::sharedRangeAddress(addresses),
        &AppModel::tailscaleAddressChanged);
    auto name = NetworkAddresses::computerName(m_machineInfo);
    if (name != m_computerName) {
        m_computerName = std::move(name);
        m_host->updateAdvertisement();
    }
}

}
