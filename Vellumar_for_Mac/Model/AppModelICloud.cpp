// The iCloud side as the menu and the onboarding window word it.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "Platform/Log.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"

namespace vellumar {

namespace {

    using ErrorKind = movrane::MailboxError::Kind;

    QString lanOnlyKey(const std::optional<DeviceMailboxState::Reason>& reason)
    {
        if (!reason)
            return QStringLiteral("mac.menu.device.lanOnly");
        switch (*reason) {
        case DeviceMailboxState::Reason::differentAccount:
            return QStringLiteral("mac.menu.device.lanOnly.differentAccount");
        case DeviceMailboxState::Reason::deviceNoICloud:
            return QStringLiteral("mac.menu.device.lanOnly.deviceNoICloud");
        case DeviceMailboxState::Reason::macNoICloud:
            return QStringLiteral("mac.menu.device.lanOnly.macNoICloud");
        case DeviceMailboxState::Reason::macICloudUnavailable:
            return QStringLiteral("mac.menu.device.lanOnly.macUnavailable");
        case DeviceMailboxState::Reason::unsupportedVersion:
            return QStringLiteral("mac.menu.device.lanOnly.unsupported");
        }
        return QStringLiteral("mac.menu.device.lanOnly");
    }

    struct DeviceStateKey {
        QString operator()(const DeviceMailboxState::LanOnly& state) const
        {
            return lanOnlyKey(state.reason);
        }
        QString operator()(const DeviceMailboxState::On& state) const
        {
            return state.recent ? QStringLiteral("mac.menu.device.mailbox.recent")
                                : QStringLiteral("mac.menu.device.mailbox.on");
        }
        QString operator()(const DeviceMailboxState::Problem& state) const
        {
            return state.error.kind() == ErrorKind::quotaExceeded
                ? QStringLiteral("mac.menu.device.mailbox.quota")
                : QStringLiteral("mac.menu.device.mailbox.problem");
        }
        QString operator()(const DeviceMailboxState::Paused&) const
        {
            return QStringLiteral("mac.menu.device.mailbox.paused");
        }
        QString operator()(const DeviceMailboxState::NeedsSameWiFi&) const
        {
            return QStringLiteral("mac.menu.device.mailbox.needsWiFi");
        }
    };

}

bool AppModel::hasMailbox() const noexcept { return m_mailbox != nullptr; }

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

std::optional<QString> AppModel::iCloudProblemText() const
{
    const auto* account = m_mailboxStatus
        ? std::get_if<movrane::MailboxAccountState>(&m_mailboxStatus->availability)
        : nullptr;
    if (!account || *account != movrane::MailboxAccountState::available)
        return std::nullopt;
    auto error = m_mailboxStatus->primaryError();
    if (!error)
        return std::nullopt;
    switch (error->kind()) {
    case ErrorKind::quotaExceeded:
        return m_texts.text(QStringLiteral("mac.icloud.quota"));
    case ErrorKind::misconfigured:
        return m_texts.text(QStringLiteral("mac.icloud.setupError"));
    case ErrorKind::busy:
        return m_texts.text(QStringLiteral("mac.icloud.busy"));
    case ErrorKind::network:
        return m_texts.text(QStringLiteral("mac.icloud.network"));
    default:
        return std::nullopt;
    }
}

std::optional<QString> AppModel::iCloudViaText() const
{
    if (!m_mailboxStatus || m_mailboxStatus->recentDevices.empty())
        return std::nullopt;
    QStringList names;
    for (const auto& device : *m_devices)
        if (m_mailboxStatus->recentDevices.contains(device.id))
            names.append(QString::fromStdString(device.name));
    if (names.isEmpty())
        return std::nullopt;
    return m_texts.text(QStringLiteral("mac.icloud.via"), { names.join(QStringLiteral(", ")) });
}

QString AppModel::deviceTransportText(const PairedDevice& device) const
{
    if (!m_mailboxStatus)
        return m_texts.text("mac.menu.device.lanOnly");
    return m_texts.text(std::visit(DeviceStateKey {}, m_mailboxStatus->state(device)));
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
