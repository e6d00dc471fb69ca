// The process entry: Claude Code starts this program with the permission switch to get its
// permission tool; any other start is the application's.
#include "Vellumar_for_Mac/Model/AppDelegate.h"
#include "Vellumar_for_Mac/Model/AppModel.h"
#include "Vellumar_for_Mac/Model/QuitSignals.h"
#include "Vellumar_for_Mac/Model/RemoteNotifications.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"
#include "Vellumar_for_Mac/Alerts/MessageBoxAlerts.h"
#include "Platform/Log.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <syslog.h>

using namespace vellumar;

int main(int argc, char** argv)
{
    // The program path takes part: only the first exact switch counts, and the one argument after it.
    std::vector<std::string_view> arguments(argv, argv + argc);
    auto flag = std::find(arguments.begin(), arguments.end(), PermissionMCPServer::flag);
    if (flag != arguments.end()) {
        if (std::next(flag) == arguments.end())
            return 2;
        int status = PermissionMCPServer::run(std::string(*std::next(flag)));
        // Tool calls still waiting for the application run on threads of their own; ending without
        // static destructors keeps them from touching state that is being torn down.
        std::_Exit(status);
    }

    // Without a display Qt would abort; the relay still serves the phone, so run without windows.
    bool hasDisplay
        = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM");
    if (!hasDisplay) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        platform::logInfo("No display: running without windows.");
    }
    QApplication application(argc, argv);
    AppModel::Launch launch;
    launch.alerts = std::make_shared<MessageBoxAlerts>();
    const platform::Entitlements entitlements(launch.entitlementsFile);
    // Made once the model has built the mailbox's store; the model asks for account changes only when
    // it starts, from the event loop.
    std::unique_ptr<RemoteNotifications> notifications;
    launch.observeAccountChanges = [&notifications](std::function<void()> changed) {
        if (notifications)
            notifications->observeAccountChanges(std::move(changed));
    };
    // Never destroyed: a stop cut off by the quit's deadline may still be using the host.
    auto* model = new AppModel(std::move(launch));
    notifications = RemoteNotifications::forMailbox(model->host().configuration().mailbox);
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching(entitlements, [&] {
        return notifications && notifications->registerForPushes([&delegate](const std::string& userInfo) {
            delegate.didReceiveRemoteNotification(userInfo);
        });
    });
    // Without a menu a signal is the only way to quit, and logging out sends SIGTERM.
    QuitSignals quitSignals([model] { model->quit(); });
    QTimer::singleShot(0, model, [model] { model->start(); });
    int status = QApplication::exec();
    closelog();
    std::_Exit(status);
}
