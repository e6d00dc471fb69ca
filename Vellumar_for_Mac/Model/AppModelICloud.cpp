// The iCloud side as the menu and the onboarding window word it.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "Platform/Log.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"

namespace vellumar {

bool AppModel::hasMailbox() const noexcept { return m_host->configuration().mailbox.has_value(); }

void AppModel::setMailboxStatus(MacMailboxStatus status)
{
    m_mailboxStatus = std::move(status);
    emit mailboxStatusChanged();
}

QString AppModel::iCloudStatusText() const
{
    if (!m_mailboxStatus)
        return m_texts.text(hasMailbox() ? "mac.icloud.checking" : "mac.icloud.notInBuild");
    const auto& availability = m_mailboxStatus->availability;
    if (std::holds_alternative<MacMailboxStatus::Checking>(availability))
        return m_texts.text("mac.icloud.checking");
    if (std::holds_alternative<MacMailboxStatus::KeyUnavailable>(availability))
        return m_texts.text("mac.icloud.keyError");
    switch (std::get<movrane::MailboxAccountState>(availability)) {
    case movrane::MailboxAccountState::available:
        return m_texts.text("mac.icloud.ready");
    case movrane::MailboxAccountState::noAccount:
        return m_texts.text("mac.icloud.noAccount");
    case movrane::MailboxAccountState::restricted:
        return m_texts.text("mac.icloud.restricted");
    case movrane::MailboxAccountState::temporarilyUnavailable:
    case movrane::MailboxAccountState::couldNotDetermine:
        break;
    }
    return m_texts.text("mac.icloud.unavailable");
}

bool AppModel::iCloudNeedsSettings() const
{
    if (!m_mailboxStatus)
        return false;
    const auto* state = std::get_if<movrane::MailboxAccountState>(&m_mailboxStatus->availability);
    return state
        && (*state == movrane::MailboxAccountState::noAccount
            || *state == movrane::MailboxAccountState::restricted);
}

QString AppModel::deviceTransportText(const PairedDevice&) const
{
    // FIXME: each phone's own mailbox state (on, recent, paused, a problem, a refused pairing) is
    // worded here once the Mac mailbox reports it per device; until then every phone is one that
    // reaches the Mac on the local network only.
    return m_texts.text("mac.menu.device.lanOnly");
}

void AppModel::openICloudSettings()
{
    // Linux has no system-wide account pane; the bundle may name the desktop's own settings.
    if (!m_accountSettingsURL) {
        platform::logInfo("iCloud settings: this build names no account settings to open");
        return;
    }
    openURL(QUrl(QString::fromStdString(*m_accountSettingsURL)));
}

}
