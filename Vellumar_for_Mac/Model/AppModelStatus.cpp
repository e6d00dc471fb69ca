// The Claude Code check, the menu's server and terminal lines, finishing onboarding and launch at
// login.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "Platform/LoginItem.h"

#include <exception>

namespace vellumar {

void AppModel::checkClaude()
{
    if (m_checkingClaude)
        return;
    publish(m_checkingClaude, true, &AppModel::checkingClaudeChanged);
    // The last probe has published, so its thread is at its end.
    if (m_claudeProbe.joinable())
        m_claudeProbe.join();
    m_claudeProbe = std::jthread([model = QPointer<AppModel>(this), box = m_loginPath, locator = m_locator] {
        auto path = box->stored();
        if (!path)
            path = locator.loginShellPATH();
        box->store(path);
        ClaudeCodeStatus status = ClaudeCodeStatus::check(path, std::nullopt, locator);
        onMainThread(model, [status = std::move(status)](AppModel& self) {
            self.publish(self.m_claudeStatus, std::optional(status), &AppModel::claudeStatusChanged);
            self.m_lastClaudeCheck = std::chrono::system_clock::now();
            self.publish(self.m_checkingClaude, false, &AppModel::checkingClaudeChanged);
        });
    });
}

QString AppModel::serverStatusText() const
{
    if (std::holds_alternative<ServerStarting>(m_serverState))
        return m_texts.text(QStringLiteral("mac.menu.starting"));
    if (const auto* failed = std::get_if<ServerFailed>(&m_serverState))
        return m_texts.text(QStringLiteral("mac.menu.failed"), { QString::fromStdString(failed->text) });
    const QString port = QString::number(std::get<ServerRunning>(m_serverState).port);
    auto address = m_useTailscale && m_tailscaleAddress ? m_tailscaleAddress
        : m_lanAddress                                  ? m_lanAddress
                                                        : m_tailscaleAddress;
    if (!address)
        return m_texts.text(QStringLiteral("mac.menu.listeningPortOnly"), { port });
    return m_texts.text(
        QStringLiteral("mac.menu.listening"), { QString::fromStdString(*address) + u':' + port });
}

std::optional<QString> AppModel::terminalsText() const
{
    if (m_terminals.empty())
        return std::nullopt;
    QStringList pieces;
    for (const auto& summary : m_terminals) {
        QString piece = QString::fromStdString(summary.deviceName);
        if (summary.count >= 2)
            piece += QStringLiteral(" (%1)").arg(summary.count);
        pieces.append(piece);
    }
    return m_texts.text(QStringLiteral("mac.menu.terminal.active"), { pieces.join(QStringLiteral(", ")) });
}

void AppModel::completeOnboarding(bool launchAtLogin)
{
    if (launchAtLogin != m_launchAtLogin)
        setLaunchAtLogin(launchAtLogin);
    publish(m_onboardingCompleted, true, &AppModel::onboardingCompletedChanged);
    m_defaults.setBoolean(kOnboardingCompletedKey, true);
}

void AppModel::setLaunchAtLogin(bool enabled)
{
    try {
        if (enabled)
            platform::registerLoginItem(m_executable, m_loginItemFile);
        else
            platform::unregisterLoginItem(m_loginItemFile);
    } catch (const std::exception& error) {
        m_alerts->present({
            .message = m_texts.text(QStringLiteral("mac.loginItem.error")),
            .informativeText = QString::fromLocal8Bit(error.what()),
        });
    }
    publish(m_launchAtLogin, platform::loginItemEnabled(m_loginItemFile), &AppModel::launchAtLoginChanged);
}

}
