// The process entry: Claude Code starts this program with the permission switch to get its
// permission tool; a start without arguments, or with the session manager's restart pair, is the
// application's, and any other is refused.
#include "Vellumar_for_Mac/Alerts/MessageBoxAlerts.h"
#include "Vellumar_for_Mac/Model/AppDelegate.h"
#include "Vellumar_for_Mac/Model/AppModel.h"
#include "Vellumar_for_Mac/Model/QuitSignals.h"
#include "Vellumar_for_Mac/Model/RemoteNotifications.h"
#include "Vellumar_for_Mac/Scenes/SingleInstance.h"
#include "Vellumar_for_Mac/Scenes/VellumarMacApp.h"
#include "Vellumar_for_Mac/Scenes/X11Display.h"
#include "Vellumar_for_Mac/Updater/FeedUpdaterController.h"
#include "Vellumar_for_Mac/Updater/Updater.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"
#include "Platform/CloudDatabase.h"
#include "Platform/Entitlements.h"
#include "Platform/Log.h"
#include "Platform/Paths.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"

#include <QApplication>
#include <QDesktopServices>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace vellumar;

namespace {

// Qt aborts when its platform cannot start. Without any display the relay still serves the phones
// paired earlier, so the windowless platform stands in; with one, it is the fallback. An X display
// is asked first: Qt would print its own warnings about one it cannot reach before falling back.
void choosePlatform()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
    QByteArray display = qgetenv("DISPLAY");
    if (!display.isEmpty()) {
        if (x11DisplayReachable(display.constData())) {
            ::setenv("QT_QPA_PLATFORM", "xcb;offscreen", 1);
            return;
        }
        std::fprintf(
            stderr, "The display \"%s\" cannot be reached; going on without it.\n", display.constData());
    }
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "wayland;offscreen", 1);
    else
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

const char* alreadyRunningText(SingleInstance::MenuAnswer answer)
{
    switch (answer) {
    case SingleInstance::MenuAnswer::shown:
        return "Vellumar for Mac is already running; its menu is shown.";
    case SingleInstance::MenuAnswer::noMenu:
        return "Vellumar for Mac is already running without a display, so it has no menu to show; phones "
               "paired earlier keep working.";
    case SingleInstance::MenuAnswer::noAnswer:
        break;
    }
    return "Vellumar for Mac is already running.";
}

// The index of the first argument the application does not take; the count when it takes them all.
// Qt registers "<program> -session <id>" with the desktop's session manager as the way to start it
// again, and takes that pair out of the arguments itself.
std::size_t firstRefusedArgument(const std::vector<std::string_view>& arguments)
{
    if (arguments.size() >= 3 && arguments[1] == "-session" && !arguments[2].empty())
        return 3;
    return 1;
}

std::unique_ptr<Updater> makeUpdater(const AppModel::Launch& launch, std::function<void()> activate)
{
    auto publicKey = platform::bundleInfoValue("SUPublicEDKey");
    auto feedURL = platform::bundleInfoValue("SUFeedURL");
    FeedUpdaterController::Options options {
        .feedURL
        = feedURL && feedURL->is_string() ? std::optional(feedURL->get<std::string>()) : std::nullopt,
        .appVersion = launch.appVersion,
        .downloadFolder = launch.dataFolder / "updates",
        .alerts = launch.alerts,
        .texts = launch.texts,
        .openFolder =
            [](const std::filesystem::path& folder) {
                QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
            },
    };
    return std::make_unique<Updater>(publicKey ? &*publicKey : nullptr,
        FeedUpdaterController::factory(std::move(options)), std::move(activate));
}

}

int main(int argc, char** argv)
{
    // The program path takes part: only the first exact switch counts, and the one argument after it.
    std::vector<std::string_view> arguments(argv, argv + argc);
    auto flag = std::find(arguments.begin(), arguments.end(), PermissionMCPServer::flag);
    if (flag != arguments.end() && std::next(flag) != arguments.end()) {
        int status = PermissionMCPServer::run(std::string(*std::next(flag)));
        // Tool calls still waiting for the application run on threads of their own; ending without
        // static destructors keeps them from touching state that is being torn down.
        std::_Exit(status);
    }

    // Nothing else is taken: a mistyped option would otherwise start the relay and make its data folder.
    if (std::size_t refused = firstRefusedArgument(arguments); refused < arguments.size()) {
        // The switch came last, so its socket is what is missing.
        std::fprintf(stderr,
            arguments[refused] == PermissionMCPServer::flag
                ? "vellumar: \"%s\" is missing its socket (Claude Code starts it with %.*s <socket>).\n"
                : "vellumar takes no arguments, so not \"%s\" (Claude Code starts it with %.*s <socket>).\n",
            argv[refused], static_cast<int>(PermissionMCPServer::flag.size()),
            PermissionMCPServer::flag.data());
        return 2;
    }

    choosePlatform();
    SingleInstance::provideRuntimeFolder();
    QApplication application(argc, argv);
    SingleInstance instance(SingleInstance::runtimeFolder());
    if (!instance.claim()) {
        std::fprintf(stderr, "%s\n", alreadyRunningText(instance.askToShowMenu()));
        return 0;
    }
    instance.setHasMenu(VellumarMacApp::hasDisplay());

    AppDelegate delegate;
    // On Linux the pushes of the cloud database that cloud.json chooses stand in for the push service.
    RemoteNotifications notifications([] {
        return platform::listenForCloudPushes(std::string(movrane::MailboxProtocol::containerIdentifier));
    });
    AppModel::Launch launch;
    launch.alerts = std::make_shared<MessageBoxAlerts>();
    launch.openURL = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    launch.observeAccountChanges = [&notifications](std::function<void()> changed) {
        notifications.observeAccountChanges(std::move(changed));
    };
    // Never destroyed: a stop cut off by the quit's deadline may still be using the host.
    auto* model = new AppModel(launch);
    VellumarMacApp scenes(*model,
        [&launch](std::function<void()> activate) { return makeUpdater(launch, std::move(activate)); }, {});
    QObject::connect(&instance, &SingleInstance::showMenuAsked, &scenes, &VellumarMacApp::showMenu);
    // Logging out sends SIGTERM; without a display a signal is the only way to quit.
    QuitSignals quitSignals([model] { model->quit(); });
    QTimer::singleShot(0, model, [&] {
        scenes.launch();
        model->start();
        delegate.applicationDidFinishLaunching(platform::Entitlements(platform::entitlementsFile()), [&] {
            return notifications.registerForPushes([&delegate](const std::string& userInfo) {
                delegate.didReceiveRemoteNotification(userInfo);
            });
        });
    });
    std::_Exit(QApplication::exec());
}
