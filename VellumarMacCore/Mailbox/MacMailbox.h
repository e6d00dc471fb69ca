// The Mac's end of the iCloud mailbox: it owns the Mac's mailbox key, follows the iCloud account, runs
// one mailbox server while the account is usable (a new one when another user signs in), turns pushes
// into fetches and publishes its status to observers.
//
// Threads: the operations are serialised on one lock held across their store and server calls, so one
// account check or start/stop runs at a time; a second lock guards the fields and is never held while
// anything is called out. A background loop re-checks the account and refreshes the status every
// `statusInterval`; a push waits for the server's fetch outside both locks.
#pragma once

#include "MovraneMailbox/Protocol/MailboxBackgroundTasks.h"
#include "MovraneMailbox/Server/MailboxServer.h"
#include "VellumarMacCore/Mailbox/MacMailboxControls.h"
#include "VellumarMacCore/Mailbox/MacMailboxSetup.h"
#include "VellumarMacCore/Mailbox/MacMailboxStatus.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vellumar {

class JSON;
class RoutineManager;

class MacMailbox : public MacMailboxControls, public std::enable_shared_from_this<MacMailbox> {
public:
    using Handler = movrane::MailboxServer::RequestHandler;
    using Observer = std::function<void(const MacMailboxStatus&)>;

    // The server's request handler holds the mailbox weakly, so the mailbox lives in a shared pointer.
    static std::shared_ptr<MacMailbox> make(
        MacMailboxSetup setup, movrane::MailboxServer::PairingsProvider pairings);
    ~MacMailbox() override;
    MacMailbox(const MacMailbox&) = delete;
    MacMailbox& operator=(const MacMailbox&) = delete;

    // The public half of the Mac's mailbox key, loading or making it; none while the key store fails.
    std::optional<movrane::MailboxPublicKey> macKey();
    // Installs the relay's handler, checks the account and starts the background loop unless it runs.
    void start(Handler handler);
    // Ends the loop and the server, and lets go of the handler: until the next start nothing starts the
    // server again. A later start reuses the same server.
    void stop();
    // One immediate fetch while the server runs; a fetch under way is joined.
    void handlePush() override;
    void setPushRegistered(bool registered) override;
    // Forgets the signed-in user's record name and checks the account again.
    void accountChanged() override;
    void refreshAccount();

    // A request the server opened, answered by the relay's handler: 503 "unavailable" before the first
    // start. Any answer but 401 marks the device as recently active (publishing the status when it was
    // not). Many may run at once, on the server's threads.
    movrane::MailboxRelayResponse handleInbound(const movrane::MailboxInboundRequest& request);

    // Sends every later routine result of `routines` to each paired phone as a "routineResult" event
    // that alerts it, while the server runs; a result that comes while it does not is dropped. The
    // manager never waits for iCloud. Once: later calls do nothing.
    void connectRoutines(RoutineManager& routines);

    MacMailboxStatus status() const;
    // Adds the observer and calls it at once with the current status.
    void observe(Observer observer) override;
    void refreshStatus();

private:
    struct Private { };

public:
    MacMailbox(Private, MacMailboxSetup setup, movrane::MailboxServer::PairingsProvider pairings);

private:
    using Lock = std::unique_lock<std::mutex>;

    // These need the serial lock.
    std::optional<movrane::MailboxIdentity> loadIdentity();
    void checkAccount();
    void startServer();
    std::shared_ptr<movrane::MailboxServer> server();
    // The server while it runs; none otherwise.
    std::shared_ptr<movrane::MailboxServer> runningServer() const;
    void stopServer();
    void refreshServerState();
    void setUpPending();

    // Calls the observers when the status changed since the last call.
    void publishStatus();
    MacMailboxStatus statusLocked(const Lock&) const;
    static void runLoop(const std::weak_ptr<MacMailbox>& weak, const movrane::MailboxClock& clock,
        double interval, const std::stop_token& stop);
    void loopPass();
    bool accountCheckDue() const;
    // Devices whose last request is older than this are no longer recent.
    movrane::MailboxTime recentCutOff() const;
    void log(const std::string& line) const;
    void broadcastRoutineResult(const JSON& result);

    const MacMailboxSetup m_setup;
    const movrane::MailboxServer::PairingsProvider m_pairings;

    std::mutex m_serial;
    std::jthread m_loop;

    // Held while observers are called, never while anything else is; observers must not publish.
    std::mutex m_delivery;
    mutable std::mutex m_lock;
    std::optional<movrane::MailboxIdentity> m_identity;
    bool m_keyFailed = false;
    Handler m_handler;
    std::shared_ptr<movrane::MailboxServer> m_server;
    std::optional<std::string> m_serverAccount;
    bool m_serverRunning = false;
    std::optional<movrane::MailboxAccountState> m_account;
    std::optional<movrane::MailboxTime> m_accountCheckedAt;
    std::optional<std::string> m_recordName;
    std::map<std::string, movrane::MailboxTime> m_recent;
    std::optional<bool> m_pushRegistered;
    std::map<std::string, movrane::MailboxError> m_serverZoneErrors;
    std::map<std::string, movrane::MailboxError> m_setUpErrors;
    int m_watches = 0;
    std::vector<Observer> m_observers;
    std::optional<MacMailboxStatus> m_published;
    bool m_routinesConnected = false;

    // Last, so that the broadcasts still under way end before anything else of the mailbox goes.
    movrane::MailboxBackgroundTasks m_routineBroadcasts;
};

}
