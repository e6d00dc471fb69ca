#include "Vellumar_for_Mac/Model/AppModel.h"

#include "Platform/Keychain.h"
#include "Platform/LoginItem.h"
#include "Platform/Paths.h"
#include "Platform/SystemNames.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"

#include <QCoreApplication>
#include <QUuid>

#include <cctype>

namespace vellumar {

namespace {

    constexpr auto kUseTailscale = "useTailscale";
    constexpr auto kRoutinesEnabled = "routinesEnabled";
    constexpr auto kTerminalEnabled = "terminalEnabled";
    constexpr auto kOnboardingCompleted = "onboardingCompleted";
    constexpr auto kMacID = "macID";

    // The 8-4-4-4-12 hexadecimal form, in either case, that UUID parsers accept.
    bool isUUIDText(const std::string& text)
    {
        if (text.size() != 36)
            return false;
        for (std::size_t index = 0; index < text.size(); ++index) {
            bool hyphenPlace = index == 8 || index == 13 || index == 18 || index == 23;
            if (hyphenPlace ? text[index] != '-' : !std::isxdigit(static_cast<unsigned char>(text[index])))
                return false;
        }
        return true;
    }

}

AppModel::Launch::Launch()
    : defaultsFile(platform::Defaults::defaultFile())
    , dataFolder(platform::dataFolder())
    , home(platform::homeFolder())
    , loginShell(platform::loginShell())
    , loginItemFile(platform::loginItemFile())
    , entitlementsFile(platform::entitlementsFile())
    , appVersion(platform::bundleVersion())
    , machineInfo(platform::kMachineInfoFile)
    , keychainFolder(platform::Keychain::defaultFolder())
    , texts(Texts::bundled())
    , executable(platform::executableFile())
    , accountSettingsURL([]() -> std::optional<std::string> {
        auto value = platform::bundleInfoValue("AccountSettingsURL");
        return value && value->is_string() ? std::optional(value->get<std::string>()) : std::nullopt;
    }())
    , alerts(std::make_shared<SafeButtonAlerts>())
    , claudeProbe([](const std::optional<std::string>& loginPATH, const ClaudeLocator& locator) {
        return ClaudeCodeStatus::check(loginPATH, std::nullopt, locator);
    })
    , interfaceAddresses(NetworkAddresses::interfaceAddresses)
    , openssl(TLSIdentityStore::defaultOpenSSL)
{
}

AppModel::AppModel(Launch launch, QObject* parent)
    : QObject(parent)
    , m_defaults(launch.defaultsFile)
    , m_texts(launch.texts)
    , m_loginItemFile(launch.loginItemFile)
    , m_executable(launch.executable)
    , m_accountSettingsURL(launch.accountSettingsURL)
    , m_alerts(launch.alerts ? launch.alerts : std::make_shared<SafeButtonAlerts>())
    , m_openURL(launch.openURL)
    , m_claudeProbe(launch.claudeProbe)
    , m_mailbox(launch.mailbox)
    , m_observeAccountChanges(launch.observeAccountChanges)
    , m_launchAtLogin(platform::loginItemEnabled(launch.loginItemFile))
    , m_onboardingCompleted(m_defaults.boolean(kOnboardingCompleted).value_or(false))
    , m_machineInfo(launch.machineInfo)
    , m_interfaceAddresses(launch.interfaceAddresses)
    , m_pathOptions(launch.pathMonitor)
    , m_locator(launch.home, launch.loginShell)
{
    m_useTailscale = m_defaults.boolean(kUseTailscale).value_or(false);
    m_routinesEnabled = m_defaults.boolean(kRoutinesEnabled).value_or(false);
    m_terminalEnabled = m_defaults.boolean(kTerminalEnabled).value_or(true);
    m_host = makeHost(launch);
    if (!m_mailbox)
        m_mailbox = m_host->mailbox();
    m_computerName = m_host->configuration().macName();
    m_host->options().setRoutines(m_routinesEnabled);
    m_host->setTerminalEnabled(m_terminalEnabled);
}

AppModel::~AppModel() = default;

void AppModel::onMainThread(QPointer<AppModel> model, std::function<void(AppModel&)> work)
{
    QCoreApplication* application = QCoreApplication::instance();
    if (!application)
        return;
    // The application object lives on the main thread for as long as events are delivered; the
    // guard is read there, where the model is deleted.
    QMetaObject::invokeMethod(
        application,
        [model = std::move(model), work = std::move(work)] {
            if (model)
                work(*model);
        },
        Qt::QueuedConnection);
}

const QUrl& AppModel::claudeSetupGuide()
{
    static const QUrl guide(QStringLiteral("https://docs.anthropic.com/en/docs/claude-code/setup"));
    return guide;
}

std::string AppModel::macID()
{
    auto stored = m_defaults.string(kMacID);
    if (stored && isUUIDText(*stored))
        return *stored;
    std::string made = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    m_defaults.setString(kMacID, made);
    return made;
}

void AppModel::storeSwitch(bool& field, bool enabled, const char* key, void (AppModel::*changed)())
{
    bool differs = field != enabled;
    field = enabled;
    if (differs)
        emit(this->*changed)();
    m_defaults.setBoolean(key, enabled);
}

void AppModel::setUseTailscale(bool enabled)
{
    storeSwitch(m_useTailscale, enabled, kUseTailscale, &AppModel::useTailscaleChanged);
}

void AppModel::setRoutinesEnabled(bool enabled)
{
    storeSwitch(m_routinesEnabled, enabled, kRoutinesEnabled, &AppModel::routinesEnabledChanged);
    m_host->options().setRoutines(enabled);
}

void AppModel::setTerminalEnabled(bool enabled)
{
    storeSwitch(m_terminalEnabled, enabled, kTerminalEnabled, &AppModel::terminalEnabledChanged);
    m_host->setTerminalEnabled(enabled);
}

}
