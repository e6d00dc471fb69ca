// Removing a paired phone, from the menu after the user confirms or from the reused-code alert.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "Platform/Log.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"

namespace vellumar {

void AppModel::revoke(const PairedDevice& device)
{
    auto chosen = showAlert({
        .style = Alert::Style::warning,
        .message = m_texts.text("mac.revoke.title", { QString::fromStdString(device.name) }).toStdString(),
        .information = m_texts.text("mac.revoke.message").toStdString(),
        .buttons = { m_texts.text("mac.revoke.confirm").toStdString(),
            m_texts.text("mac.common.cancel").toStdString() },
    });
    if (chosen == 0u)
        removeDevice(device);
}

void AppModel::removeDevice(const PairedDevice& device)
{
    std::optional<std::string> failure;
    try {
        m_host->removeDevice(device.id);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (m_lastAdded && m_lastAdded->id == device.id)
        publish(m_lastAdded, std::optional<PairedDevice>(), &AppModel::lastAddedChanged);
    if (failure) {
        showAlert({
            .style = Alert::Style::warning,
            .message
            = m_texts.text("mac.revoke.error", { QString::fromStdString(device.name) }).toStdString(),
            .information = *failure,
        });
    }
}

std::optional<std::size_t> AppModel::showAlert(const Alert& alert)
{
    if (m_presentAlert)
        return m_presentAlert(alert);
    platform::logError(alert.message + ": " + alert.information);
    return std::nullopt;
}

}
