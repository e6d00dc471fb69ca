// The iCloud mailbox as the menu shows it: the status mirror, pushes, the push registration's answer,
// account changes, and the texts of the iCloud lines and of each device's way to the Mac.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "Platform/Log.h"
#include "Vellumar_for_Mac/Model/PushRelay.h"

#include <QDesktopServices>
#include <QGuiApplication>

namespace vellumar {

namespace {

    using movrane::MailboxAccountState;
    using ErrorKind = movrane::MailboxError::Kind;

    const MailboxAccountState* accountOf(const std::optional<MacMailboxStatus>& status)
    {
        return status ? std::get_if<MailboxAccountState>(&status->availability) : nullptr;
    }

    QString availabilityKey(const MacMailboxStatus::Availability& availability)
    {
        if (std::holds_alternative<MacMailboxStatus::Checking>(availability))
            return QStringLiteral("mac.icloud.checking");
        if (std::holds_alternative<MacMailboxStatus::KeyUnavailable>(availability))
            return QStringLiteral("mac.icloud.keyError");
        switch (std::get<MailboxAccountState>(availability)) {
        case MailboxAccountState::available:
            return QStringLiteral("mac.icloud.ready");
        case MailboxAccountState::noAccount:
            return QStringLiteral("mac.icloud.noAccount");
        case MailboxAccountState::restricted:
            return QStringLiteral("mac.icloud.restricted");
        case MailboxAccountState::temporarilyUnavailable:
        case MailboxAccountState::couldNotDetermine:
            return QStringLiteral("mac.icloud.unavailable");
        }
        return QStringLiteral("mac.icloud.unavailable");
    }

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

void AppModel::startMailboxWiring()
{
    if (!m_mailbox)
        return;
    std::shared_ptr<MacMailboxControls> mailbox = m_mailbox;
    mailbox->observe([model = QPointer<AppModel>(this)](const MacMailboxStatus& status) {
        onMainThread(model, [status](AppModel& self) {
            self.publish(self.m_mailboxStatus, std::optional(status), &AppModel::mailboxStatusChanged);
        });
    });
    // The closures below hold the mailbox and never the model: they outlive it in the relay.
    if (m_observeAccountChanges)
        m_observeAccountChanges([mailbox] { mailbox->accountChanged(); });
    PushRelay& relay = PushRelay::shared();
    relay.onPush = [mailbox] { mailbox->handlePush(); };
    relay.onRegistration = [mailbox](bool registered) { mailbox->setPushRegistered(registered); };
    // The system may have answered before the model existed.
    if (relay.registered)
        mailbox->setPushRegistered(*relay.registered);
}

QString AppModel::iCloudStatusText() const
{
    if (!m_mailboxStatus)
        return m_texts.text(
            m_mailbox ? QStringLiteral("mac.icloud.checking") : QStringLiteral("mac.icloud.notInBuild"));
    return m_texts.text(availabilityKey(m_mailboxStatus->availability));
}

std::optional<QString> AppModel::iCloudProblemText() const
{
    const MailboxAccountState* account = accountOf(m_mailboxStatus);
    if (!account || *account != MailboxAccountState::available)
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

bool AppModel::needsICloudSettings() const
{
    const MailboxAccountState* account = accountOf(m_mailboxStatus);
    return account
        && (*account == MailboxAccountState::noAccount || *account == MailboxAccountState::restricted);
}

std::optional<QString> AppModel::iCloudViaText() const
{
    if (!m_mailboxStatus || m_mailboxStatus->recentDevices.empty())
        return std::nullopt;
    QStringList names;
    for (const auto& device : m_devices)
        if (m_mailboxStatus->recentDevices.contains(device.id))
            names.append(QString::fromStdString(device.name));
    if (names.isEmpty())
        return std::nullopt;
    return m_texts.text(QStringLiteral("mac.icloud.via"), { names.join(QStringLiteral(", ")) });
}

QString AppModel::deviceTransportText(const PairedDevice& device) const
{
    if (!m_mailboxStatus)
        return m_texts.text(QStringLiteral("mac.menu.device.lanOnly"));
    return m_texts.text(std::visit(DeviceStateKey {}, m_mailboxStatus->state(device)));
}

void AppModel::openICloudSettings() const
{
    // The desktop services need a GUI application; a desktop without account settings has no page.
    if (!m_accountSettingsURL || !qobject_cast<QGuiApplication*>(QCoreApplication::instance())
        || !QDesktopServices::openUrl(QUrl(QString::fromStdString(*m_accountSettingsURL)))) {
        platform::logInfo("iCloud settings: this desktop has no account settings to open");
    }
}

}
