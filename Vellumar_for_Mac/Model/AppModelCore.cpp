// Building the core at launch: the conversation data, the reply runner, the mailbox set-up the
// entitlements allow, and the relay host with its configuration.
#include "Vellumar_for_Mac/Model/AppModel.h"

#include "Platform/Entitlements.h"
#include "Platform/Keychain.h"
#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/CommandRunner.h"
#include "VellumarMacCore/Mailbox/AppEntitlements.h"
#include "VellumarMacCore/Permissions/PermissionHelper.h"
#include "VellumarMacCore/Relay/KeychainDeviceStorage.h"
#include "VellumarMacCore/Relay/NetworkAddresses.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"
#include "Vellumar_for_Mac/Model/HostTimeZone.h"

#include <QLocale>

namespace vellumar {

namespace {

    constexpr std::int64_t kWorkFolderQuotaBytes = 1024 * 1024 * 1024;

    // The user's locale as the terminal's LANG wants it, read anew on each call.
    ShellLaunch::Locale currentLocale()
    {
        QStringList parts = QLocale::system().name().split(u'_');
        ShellLaunch::Locale locale;
        if (!parts.value(0).isEmpty() && parts.value(0) != u"C")
            locale.languageCode = parts.value(0).toStdString();
        if (!parts.value(1).isEmpty())
            locale.region = parts.value(1).toStdString();
        return locale;
    }

}

AppModel::ClaudeLookups AppModel::claudeLookups(
    const ClaudeLocator& locator, std::shared_ptr<const LoginPathBox> box)
{
    return {
        .locate = [locator, box] { return locator.locate(box->stored()); },
        .path = [locator, box] { return locator.searchPath(box->stored()); },
    };
}

std::unique_ptr<RelayHost> AppModel::makeHost(const Launch& launch)
{
    std::string id = macID();
    const std::filesystem::path dataFolder = launch.dataFolder;
    auto data = std::make_shared<RelayData>(RelayData::Options {
        .folder = dataFolder,
        .home = launch.home,
        .labels = approvalLabels(launch.texts),
        .quota = kWorkFolderQuotaBytes,
    });
    ClaudeLookups lookups = claudeLookups(ClaudeLocator(launch.home, launch.loginShell), m_loginPath);
    auto runner = std::make_shared<ClaudeReplyRunner>(*data,
        ClaudeReplyRunner::Options {
            .locate = std::move(lookups.locate),
            .path = std::move(lookups.path),
            .baseEnvironment = currentEnvironment(),
            .permissionHelper = PermissionHelper::current(),
        });

    std::function<std::string()> macName
        = [machineInfo = launch.machineInfo] { return NetworkAddresses::computerName(machineInfo); };
    auto mailbox = AppEntitlements::mailboxSetup(platform::Entitlements(launch.entitlementsFile),
        {
            .cloudFolder = dataFolder / "cloud",
            .stateDirectory = dataFolder / "mailbox",
            .temporaryDirectory = data->folder / "incoming",
            .appVersion = launch.appVersion,
            .macName = macName,
            .log = [](std::string_view message) { platform::logInfo(message); },
        });

    RelayHost::Configuration configuration {
        .supportDirectory = dataFolder,
        .preferredPort = RelayHost::kDefaultPort,
        .allowPortFallback = true,
        .advertise = true,
        .serviceDiscovery = launch.serviceDiscovery,
        .macID = std::move(id),
        .macName = std::move(macName),
        .deviceStorage = launch.deviceStorage ? launch.deviceStorage : std::make_shared<KeychainDeviceStorage>(std::string(KeychainDeviceStorage::applicationService),
            std::string(KeychainDeviceStorage::applicationAccount), platform::Keychain(launch.keychainFolder)),
        .labels = activityLabels(launch.texts),
        .openssl = launch.openssl,
        .listenerLimits = {
            .maxConnections = 32,
            .maxUntrustedPerHost = 6,
            .requestTimeout = std::chrono::duration<double>(20.0),
            .idleTimeout = std::chrono::duration<double>(90.0),
        },
        .timeZone = hostTimeZone,
        .terminalShell = [] { return ShellLaunch::loginShell(currentEnvironment(), currentLocale()); },
        .mailbox = std::move(mailbox),
    };
    return std::make_unique<RelayHost>(std::move(configuration), std::move(data), std::move(runner));
}

}
