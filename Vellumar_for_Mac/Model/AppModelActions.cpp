// What the windows and the menu ask of the model: the Claude Code check, finishing onboarding, the
// login item, and removing a phone.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "Platform/LoginItem.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"

#include <QDateTime>

#include <thread>

namespace vellumar {

namespace {

    constexpr auto kOnboardingCompleted = "onboardingCompleted";

}

void AppModel::checkClaude()
{
    if (m_checkingClaude)
        return;
    m_checkingClaude = true;
    emit checkingClaudeChanged();
    // The probe runs programs for up to about 35 seconds; the thread holds its own copies and
    // reaches the model only through the hop, which drops the result once the model is gone.
    std::thread([self = QPointer<AppModel>(this), box = m_loginPath, locator = m_locator,
                    probe = m_claudeProbe] {
        auto path = box->stored();
        if (!path) {
            path = locator.loginShellPATH();
            box->store(path);
        }
        ClaudeCodeStatus status = probe(path, locator);
        onMainThread(self, [status](AppModel& model) {
            model.m_claudeStatus = status;
            model.m_checkingClaude = false;
            model.m_lastClaudeCheck = std::chrono::system_clock::now();
            emit model.claudeStatusChanged();
            emit model.checkingClaudeChanged();
        });
    }).detach();
}

void AppModel::completeOnboarding(bool launchAtLogin)
{
    if (launchAtLogin != m_launchAtLogin)
        setLaunchAtLogin(launchAtLogin);
    if (!m_onboardingCompleted) {
        m_onboardingCompleted = true;
        emit onboardingCompletedChanged();
    }
    m_defaults.setBoolean(kOnboardingCompleted, true);
}

void AppModel::setLaunchAtLogin(bool enabled)
{
    try {
        platform::setLoginItemEnabled(enabled, m_loginItemFile, m_executable);
    } catch (const std::exception& error) {
        m_alerts->run({ .style = Alert::Style::warning,
            .message = m_texts.text("mac.loginItem.error"),
            .informative = QString::fromStdString(error.what()),
            .buttons = { m_texts.text("mac.common.ok") } });
    }
    bool enabledNow = platform::loginItemEnabled(m_loginItemFile);
    if (enabledNow != m_launchAtLogin) {
        m_launchAtLogin = enabledNow;
        emit launchAtLoginChanged();
    }
}

void AppModel::revoke(const PairedDevice& device)
{
    int chosen = m_alerts->run({ .style = Alert::Style::warning,
        .message = m_texts.text("mac.revoke.title", { QString::fromStdString(device.name) }),
        .informative = m_texts.text("mac.revoke.message"),
        .buttons = { m_texts.text("mac.revoke.confirm"), m_texts.text("mac.common.cancel") },
        .safeButton = 1 });
    if (chosen == 0)
        removeDevice(device);
}

void AppModel::removeDevice(const PairedDevice& device)
{
    // Later on the main thread, as a menu action that returns at once; the removal saves the list
    // and closes the phone's terminals.
    onMainThread(this, [device](AppModel& model) {
        std::optional<std::string> failure;
        try {
            model.m_host->removeDevice(device.id);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (model.m_lastAdded && model.m_lastAdded->id == device.id) {
            model.m_lastAdded.reset();
            emit model.lastAddedChanged();
        }
        if (failure) {
            model.m_alerts->run({ .style = Alert::Style::warning,
                .message = model.m_texts.text("mac.revoke.error", { QString::fromStdString(device.name) }),
                .informative = QString::fromStdString(*failure),
                .buttons = { model.m_texts.text("mac.common.ok") } });
        }
    });
}

void AppModel::openURL(const QUrl& url)
{
    if (m_openURL)
        m_openURL(url);
}

}
