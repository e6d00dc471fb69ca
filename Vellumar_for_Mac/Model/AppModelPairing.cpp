// The pairing session the pairing window shows.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "VellumarMacCore/RelayHost/RelayHost.h"

namespace vellumar {

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
