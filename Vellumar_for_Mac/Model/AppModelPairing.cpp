// Start-up as far as pairing needs it, the Mac's addresses, and the pairing session the pairing
// window shows.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "VellumarMacCore/RelayHost/RelayHost.h"

#include <algorithm>
#include <exception>

namespace vellumar {

void AppModel::start()
{
    // FIXME: the path monitor joins the start-up with the rest of it.
    refreshAddresses();
    observeCore();
    startMailboxWiring();
    checkClaude();

    SubjectAltNames names;
    for (const auto* published : { &m_lanAddress, &m_tailscaleAddress })
        if (*published)
            names.ipAddresses.push_back(**published);
    for (const auto& entry : m_interfaceAddresses())
        if (!NetworkAddresses::isLoopback(entry) && !NetworkAddresses::isLinkLocal(entry))
            names.ipAddresses.push_back(entry.address);
    std::sort(names.ipAddresses.begin(), names.ipAddresses.end());
    names.ipAddresses.erase(
        std::unique(names.ipAddresses.begin(), names.ipAddresses.end()), names.ipAddresses.end());
    if (auto local = NetworkAddresses::localHostName())
        names.dnsNames.push_back(*local);

    try {
        publish<ServerState>(
            m_serverState, ServerRunning { m_host->start(names) }, &AppModel::serverStateChanged);
    } catch (const std::exception& error) {
        publish<ServerState>(m_serverState, ServerFailed { error.what() }, &AppModel::serverStateChanged);
    }
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

void AppModel::startPairing()
{
    refreshAddresses();
    publish(m_justPaired, std::optional<PairedDevice>(), &AppModel::justPairedChanged);
    auto fail = [this](PairingProblem problem) {
        publish(m_pairing, std::optional<PairingSession>(), &AppModel::pairingChanged);
        publish(m_pairingProblem, std::optional(problem), &AppModel::pairingProblemChanged);
    };
    if (!std::holds_alternative<ServerRunning>(m_serverState))
        return fail(PairingProblem::notReady);
    auto host = m_useTailscale && m_tailscaleAddress ? m_tailscaleAddress
        : m_lanAddress                               ? m_lanAddress
                                                     : m_tailscaleAddress;
    if (!host)
        return fail(PairingProblem::noAddress);

    auto offer = m_host->makePairingOffer(*host);
    if (!offer) {
        // A session still on screen stays: the relay left its offer untouched.
        publish(m_pairingProblem, std::optional(PairingProblem::notReady), &AppModel::pairingProblemChanged);
        return;
    }
    auto identity = m_host->identity();
    PairingSession session {
        .payload = std::move(offer->payload),
        .expiresAt = offer->expiresAt,
        .usesTailscale = m_tailscaleAddress == host,
        .pinSummary = identity ? identity->pins.abbreviatedPin() : std::string(),
    };
    publish(m_pairingProblem, std::optional<PairingProblem>(), &AppModel::pairingProblemChanged);
    publish(m_pairing, std::optional(std::move(session)), &AppModel::pairingChanged);
}

void AppModel::endPairing()
{
    publish(m_pairing, std::optional<PairingSession>(), &AppModel::pairingChanged);
    // At once rather than later: a window reopened right after must not lose its new offer to this.
    m_host->pairing().cancelOffer();
}

void AppModel::devicePaired(const PairedDevice& device)
{
    publish(m_lastAdded, std::optional(device), &AppModel::lastAddedChanged);
    if (!m_pairing)
        return;
    publish(m_justPaired, std::optional(device), &AppModel::justPairedChanged);
    publish(m_pairing, std::optional<PairingSession>(), &AppModel::pairingChanged);
}

}
