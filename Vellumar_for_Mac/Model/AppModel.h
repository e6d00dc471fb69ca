// The menu-bar application's model: builds the relay host once at launch, mirrors the core's state
// for the menu and windows, and keeps the user's switches in the defaults file.
#pragma once

#include "Vellumar_for_Mac/Model/AlertPresenter.h"
#include "Vellumar_for_Mac/Model/LoginPathBox.h"
#include "Vellumar_for_Mac/Model/Texts.h"

#include "Platform/Defaults.h"
#include "Platform/NetworkPath.h"
#include "Platform/ServiceDiscovery.h"
#include "VellumarMacCore/ClaudeCode/ClaudeCodeStatus.h"
#include "VellumarMacCore/ClaudeCode/ClaudeLocator.h"
#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Jobs/ActivityKind.h"
#include "VellumarMacCore/Mailbox/MacMailboxControls.h"
#include "VellumarMacCore/Mailbox/MacMailboxStatus.h"
#include "VellumarMacCore/Relay/NetworkAddresses.h"
#include "VellumarMacCore/Relay/PairedDevice.h"
#include "VellumarMacCore/Relay/PairedDeviceList.h"
#include "VellumarMacCore/Relay/PairingPayload.h"
#include "VellumarMacCore/Relay/TLSIdentityStore.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "VellumarMacCore/Terminal/TerminalSessions.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vellumar {

class DeviceStorage;
class RelayHost;

// Lives on the Qt main thread and is touched only there; the core reaches it by queued calls. Each
// published property has one change signal, emitted after the new value is stored.
class AppModel final : public QObject {
    Q_OBJECT

public:
    struct ServerStarting {
        friend bool operator==(const ServerStarting&, const ServerStarting&) = default;
    };
    struct ServerRunning {
        std::uint16_t port = 0; // the listener's bound port
        friend bool operator==(const ServerRunning&, const ServerRunning&) = default;
    };
    struct ServerFailed {
        std::string text; // one line
        friend bool operator==(const ServerFailed&, const ServerFailed&) = default;
    };
    using ServerState = std::variant<ServerStarting, ServerRunning, ServerFailed>;

    struct PairingSession {
        PairingPayload payload;
        std::chrono::system_clock::time_point expiresAt;
        bool usesTailscale = false;
        std::string pinSummary;
        friend bool operator==(const PairingSession&, const PairingSession&) = default;
    };

    enum class PairingProblem { notReady, noAddress };

    // What launch reads of the system; each field defaults to the real place.
    struct Launch {
        Launch();

        std::filesystem::path defaultsFile;
        std::filesystem::path dataFolder;
        std::filesystem::path home;
        std::string loginShell;
        std::filesystem::path loginItemFile;
        std::filesystem::path entitlementsFile;
        std::optional<std::string> appVersion;
        // Where the computer's pretty name is kept.
        std::filesystem::path machineInfo;
        // The file keychain that holds the paired devices.
        std::filesystem::path keychainFolder;
        // Where the paired devices are kept; empty for the file keychain above.
        std::shared_ptr<DeviceStorage> deviceStorage;
        Texts texts;
        // The program the login item starts.
        std::filesystem::path executable;
        // The bundle info's "AccountSettingsURL": where the desktop keeps the user's online accounts.
        std::optional<std::string> accountSettingsURL;
        // Where questions for the user go; the windowed application shows message boxes.
        std::shared_ptr<AlertPresenter> alerts;
        // Hands a web or settings address to the desktop; does nothing until the application sets it.
        std::function<void(const QUrl&)> openURL;
        // The Claude Code probe, given the login PATH; blocks, and runs off the main thread.
        std::function<ClaudeCodeStatus(const std::optional<std::string>& loginPATH, const ClaudeLocator&)>
            claudeProbe;
        // The machine's IPv4 interface addresses, asked anew at each address refresh.
        std::function<std::vector<InterfaceAddress>()> interfaceAddresses;
        // Makes the relay's Bonjour advertiser; empty for the Avahi one.
        std::function<std::unique_ptr<platform::ServiceDiscovery>()> serviceDiscovery;
        // How the network path monitor watches for changes.
        platform::NetworkPath::Options pathMonitor;
        // The openssl that makes the relay's TLS identity.
        std::filesystem::path openssl;
        // The Mac's mailbox, when the entitlements allow one.
        std::shared_ptr<MacMailboxControls> mailbox;
        // Registers a callback for iCloud account changes, called on any thread for the life of the
        // process; may be empty.
        std::function<void(std::function<void()>)> observeAccountChanges;
    };

    // What the reply runner calls to find Claude Code and the PATH its runs get, from any thread.
    struct ClaudeLookups {
        ClaudeReplyRunner::Locate locate;
        ClaudeReplyRunner::SearchPath path;
    };

    // Builds the core and hands it the user's switches; nothing listens yet and no error is reported
    // (the start reports them). Writes only the defaults file, and only when the Mac id is new.
    explicit AppModel(Launch launch = Launch(), QObject* parent = nullptr);
    ~AppModel() override;

    // Runs `work` on the main thread, later, unless the model is gone by then: how the core's
    // callbacks, which come on its own threads, reach the model. Any thread; dropped when no
    // application runs.
    static void onMainThread(QPointer<AppModel> model, std::function<void(AppModel&)> work);

    // The public guide to installing Claude Code, which onboarding and the menu open.
    static const QUrl& claudeSetupGuide();

    // The labels of job progress and of approval cards, each the text of its key.
    static ActivityLabels activityLabels(const Texts& texts);
    static RelayData::Labels approvalLabels(const Texts& texts);
    // Closures over their own copy of `locator` that read the box's PATH anew on each call, passing
    // none while it is empty.
    static ClaudeLookups claudeLookups(const ClaudeLocator& locator, std::shared_ptr<const LoginPathBox> box);

    const ServerState& serverState() const noexcept { return m_serverState; }
    const std::optional<std::string>& lanAddress() const noexcept { return m_lanAddress; }
    const std::optional<std::string>& tailscaleAddress() const noexcept { return m_tailscaleAddress; }
    const std::optional<ClaudeCodeStatus>& claudeStatus() const noexcept { return m_claudeStatus; }
    bool checkingClaude() const noexcept { return m_checkingClaude; }
    // When the latest Claude Code check ended; not published.
    const std::optional<std::chrono::system_clock::time_point>& lastClaudeCheck() const noexcept
    {
        return m_lastClaudeCheck;
    }
    const PairedDeviceList& devices() const noexcept { return *m_devices; }
    int runningJobs() const noexcept { return m_runningJobs; }
    const std::optional<PairingSession>& pairing() const noexcept { return m_pairing; }
    std::optional<PairingProblem> pairingProblem() const noexcept { return m_pairingProblem; }
    const std::optional<PairedDevice>& justPaired() const noexcept { return m_justPaired; }
    const std::optional<PairedDevice>& lastAdded() const noexcept { return m_lastAdded; }
    bool useTailscale() const noexcept { return m_useTailscale; }
    bool launchAtLogin() const noexcept { return m_launchAtLogin; }
    bool routinesEnabled() const noexcept { return m_routinesEnabled; }
    bool terminalEnabled() const noexcept { return m_terminalEnabled; }
    const std::vector<TerminalSessions::Summary>& terminals() const noexcept { return m_terminals; }
    bool onboardingCompleted() const noexcept { return m_onboardingCompleted; }
    // Absent until the Mac mailbox reports, and always without one.
    const std::optional<MacMailboxStatus>& mailboxStatus() const noexcept { return m_mailboxStatus; }
    // Whether there is a Mac mailbox: the relay host's (the entitlements allow iCloud), or one launch
    // handed over.
    bool hasMailbox() const noexcept;
    const Texts& texts() const noexcept { return m_texts; }

    // The status line of iCloud, from `mailboxStatus`.
    QString iCloudStatusText() const;
    // True when the account is missing or restricted, which only the system's settings can mend.
    bool iCloudNeedsSettings() const;
    // The zone error worth a second line, shown only with a usable account.
    std::optional<QString> iCloudProblemText() const;
    // The paired phones, in the order of `devices`, that used the mailbox lately; none when none did.
    std::optional<QString> iCloudViaText() const;
    // Mirrors the mailbox's status and hands it pushes, the push registration's answer (also one
    // that came before) and account changes. Nothing without a mailbox. Call once.
    void startMailboxWiring();
    // The menu's server line: starting, failed with its text, or the address (and port) phones call.
    QString serverStatusText() const;
    // The phones with open terminals, a count after each with more than one; none without terminals.
    std::optional<QString> terminalsText() const;
    // How a paired phone reaches this Mac.
    QString deviceTransportText(const PairedDevice& device) const;

    // The Mac mailbox's observer hands each status it publishes here.
    void setMailboxStatus(MacMailboxStatus status);

    // Probes Claude Code off the main thread and publishes the result; nothing while a probe runs.
    void checkClaude();
    // Ends onboarding with the window's launch-at-login choice, touching the login item only when
    // the choice differs from its state.
    void completeOnboarding(bool launchAtLogin);
    // Writes or removes the login item; a failure is shown as an alert. Either way `launchAtLogin`
    // then reads the item's real state.
    void setLaunchAtLogin(bool enabled);
    // Asks the user to confirm, then removes the phone.
    void revoke(const PairedDevice& device);
    // Removes the phone from the relay host and clears `lastAdded` when it is that phone, also when
    // the removal fails; a failure is shown in an alert, since the phone would otherwise be back at
    // the next launch unnoticed. Does not change `devices`: the registry publishes its new list.
    void removeDevice(const PairedDevice& device);
    // Opens the desktop's online-accounts settings when the bundle names them; nothing otherwise.
    void openICloudSettings();
    void openURL(const QUrl& url);

    // Refreshes the addresses and keeps them current on every network change, listens for pairings,
    // and starts the relay host with the addresses its certificate names; `serverState` then shows the
    // bound port or the failure. Only the first call does anything: a failed start is never retried.
    void start();
    // The names the relay's certificate carries: the published addresses and every interface address
    // that is neither loopback nor link-local, sorted and each once, and the ".local" host name.
    static SubjectAltNames certificateNames(const std::optional<std::string>& lanAddress,
        const std::optional<std::string>& tailscaleAddress, const std::vector<InterfaceAddress>& interfaces,
        const std::optional<std::string>& localHostName);
    // The one-line text a failed start shows.
    static std::string startErrorText(const std::exception& error);
    // Publishes the LAN and Tailscale addresses (both, on every call) and rebuilds the Bonjour
    // service when the computer's name changed since the last look.
    void refreshAddresses();

    // Asks the relay host for a new pairing code for the address the phone should call and publishes
    // it as `pairing`, or why there is none as `pairingProblem`. Each call replaces the relay's earlier
    // offer, so the code on screen is always the one the relay accepts.
    void startPairing();
    // Drops the shown code and cancels the relay's offer before it returns, so an offer made after it
    // is never cancelled by it.
    void endPairing();
    // A phone redeemed a code: it becomes `lastAdded`, and `justPaired` when a code was on screen.
    void devicePaired(const PairedDevice& device);
    // Gives the relay host up to six seconds to stop, then asks the application's event loop to end
    // with 0. The stop runs on a thread of its own that may outlive this call: the process must then
    // end without destroying the model. Only the first call does anything.
    void quit();
    // The stop waits for the jobs' runs, whose Claude Code gets five seconds after SIGTERM to end its
    // command and remove its sandbox's placeholders (it takes about two), and a second more for the
    // runs to remove their own. A run still going then is ended by the group's watchdog.
    static constexpr std::chrono::milliseconds kQuitWait { 6000 };
    // A redeemed code came again: asks, in a critical alert, whether to remove the phone that
    // redeemed it, which may not be the user's. Nothing for a phone no longer paired.
    void pairingCodeReused(const PairedDevice& device);

    // The switches the views bind: each stores the value, writes its default and then tells the
    // core, also when the value did not change.
    void setUseTailscale(bool enabled);
    void setRoutinesEnabled(bool enabled);
    void setTerminalEnabled(bool enabled);

    RelayHost& host() noexcept { return *m_host; }
    const std::string& computerName() const noexcept { return m_computerName; }
    const ClaudeLocator& locator() const noexcept { return m_locator; }
    const std::shared_ptr<LoginPathBox>& loginPath() const noexcept { return m_loginPath; }

signals:
    void serverStateChanged();
    void lanAddressChanged();
    void tailscaleAddressChanged();
    void claudeStatusChanged();
    void checkingClaudeChanged();
    void devicesChanged();
    void runningJobsChanged();
    void pairingChanged();
    void pairingProblemChanged();
    void justPairedChanged();
    void lastAddedChanged();
    void useTailscaleChanged();
    void launchAtLoginChanged();
    void routinesEnabledChanged();
    void terminalEnabledChanged();
    void terminalsChanged();
    void onboardingCompletedChanged();
    void mailboxStatusChanged();

private:
    // Registers the observers of devices, running jobs and terminals and the pairing handlers.
    void observeCore();
    // Stores a switch, emits its signal when it changed, and writes its default.
    void storeSwitch(bool& field, bool enabled, const char* key, void (AppModel::*changed)());
    // The Mac id of the defaults, made and written when missing or not a UUID.
    std::string macID();
    std::unique_ptr<RelayHost> makeHost(const Launch& launch);

    // Stores the value and tells the observers, also when it did not change.
    template <typename Value> void publish(Value& field, Value value, void (AppModel::*changed)())
    {
        field = std::move(value);
        emit(this->*changed)();
    }

    platform::Defaults m_defaults;
    const Texts m_texts;
    const std::filesystem::path m_loginItemFile;
    const std::filesystem::path m_executable;
    const std::optional<std::string> m_accountSettingsURL;
    const std::shared_ptr<AlertPresenter> m_alerts;
    const std::function<void(const QUrl&)> m_openURL;
    const std::function<ClaudeCodeStatus(const std::optional<std::string>&, const ClaudeLocator&)>
        m_claudeProbe;
    // The one launch handed over, else the relay host's.
    std::shared_ptr<MacMailboxControls> m_mailbox;
    const std::function<void(std::function<void()>)> m_observeAccountChanges;

    ServerState m_serverState = ServerStarting {};
    std::optional<std::string> m_lanAddress;
    std::optional<std::string> m_tailscaleAddress;
    std::optional<ClaudeCodeStatus> m_claudeStatus;
    bool m_checkingClaude = false;
    std::optional<std::chrono::system_clock::time_point> m_lastClaudeCheck;
    // As the device registry handed it out; never null.
    std::shared_ptr<const PairedDeviceList> m_devices = std::make_shared<const PairedDeviceList>();
    int m_runningJobs = 0;
    std::optional<PairingSession> m_pairing;
    std::optional<PairingProblem> m_pairingProblem;
    std::optional<PairedDevice> m_justPaired;
    std::optional<PairedDevice> m_lastAdded;
    bool m_useTailscale = false;
    bool m_launchAtLogin = false;
    bool m_routinesEnabled = false;
    bool m_terminalEnabled = true;
    std::vector<TerminalSessions::Summary> m_terminals;
    bool m_onboardingCompleted = false;
    std::optional<MacMailboxStatus> m_mailboxStatus;

    std::shared_ptr<LoginPathBox> m_loginPath = std::make_shared<LoginPathBox>();
    std::string m_computerName;
    std::filesystem::path m_machineInfo;
    std::function<std::vector<InterfaceAddress>()> m_interfaceAddresses;
    platform::NetworkPath::Options m_pathOptions;
    bool m_started = false;
    bool m_quitting = false;
    ClaudeLocator m_locator;
    std::unique_ptr<RelayHost> m_host;
    // Declared after the host: its updates reach the model only through the main thread.
    std::unique_ptr<platform::NetworkPath> m_pathMonitor;
};

}
