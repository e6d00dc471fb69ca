// A model for the windows' tests: launched in a temporary folder, with a probe that answers what the
// test says (and can be held to keep a check running), alerts and opened addresses recorded, and a
// text table whose formatted texts show their argument.
#pragma once

#include "tests/Vellumar_for_Mac/AppModelFixture.h"
#include "tests/Vellumar_for_Mac/QtTestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace vellumar::test {

// Shared with the probe's thread, which may outlive a test that never releases it.
struct ClaudeProbeControl {
    std::mutex lock;
    std::condition_variable released;
    bool held = false;
    ClaudeCodeStatus answer = ClaudeCodeStatus::missing;
    std::atomic<int> calls = 0;

    void release()
    {
        std::lock_guard guard(lock);
        held = false;
        released.notify_all();
    }
};

class ViewsTest : public AppModelTest {
protected:
    ViewsTest()
    {
        // The offscreen platform unless a test's display was set up before.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        application = std::make_unique<QApplication>(argc, argv);
    }

    ~ViewsTest() override { probe->release(); }

    AppModel::Launch viewsLaunch()
    {
        AppModel::Launch launch = launchIn(m_folder);
        launch.texts = Texts({ { "mac.onboarding.claude.found", "found %s" },
            { "mac.onboarding.claude.outdated", "outdated %s" }, { "mac.onboarding.stepDone", "%s done" },
            { "mac.menu.device.lastSeen", "seen %s" }, { "mac.menu.device.paired", "paired %s" },
            { "mac.revoke.title", "revoke %s" }, { "mac.onboarding.command", "command %s" } });
        launch.alerts = alerts;
        launch.openURL = [this](const QUrl& url) { openedURLs.push_back(url); };
        launch.executable = "/opt/vellumar/bin/vellumar";
        launch.claudeProbe = [control = probe](const std::optional<std::string>&, const ClaudeLocator&) {
            ++control->calls;
            std::unique_lock guard(control->lock);
            control->released.wait(guard, [&] { return !control->held; });
            return control->answer;
        };
        return launch;
    }

    // Runs a check that ends with `status`.
    void claudeIs(AppModel& model, const ClaudeCodeStatus& status)
    {
        probe->answer = status;
        model.checkClaude();
        ASSERT_TRUE(processEventsUntil([&] { return !model.checkingClaude(); }));
    }

    int argc = 1;
    char name[24] = "app_views_tests";
    char* argv[2] = { name, nullptr };
    std::unique_ptr<QApplication> application;
    std::shared_ptr<ClaudeProbeControl> probe = std::make_shared<ClaudeProbeControl>();
    std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
    std::vector<QUrl> openedURLs;
};

}
