#include "VellumarMacCore/Mailbox/MacMailbox.h"

#include "MovraneMailbox/Protocol/MailboxError.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"

#include <chrono>

namespace vellumar {

namespace {

    constexpr std::string_view kMacLabel = "mac";

    double secondsBetween(movrane::MailboxTime earlier, movrane::MailboxTime later)
    {
        return std::chrono::duration<double>(later - earlier).count();
    }

    std::string keyFailureText(const std::exception_ptr& failure)
    {
        try {
            std::rethrow_exception(failure);
        } catch (const movrane::MailboxKeyError& error) {
            return error.what();
        } catch (const movrane::MailboxError& error) {
            return error.what();
        } catch (...) {
            return "error";
        }
    }

}

std::shared_ptr<MacMailbox> MacMailbox::make(
    MacMailboxSetup setup, movrane::MailboxServer::PairingsProvider pairings)
{
    return std::make_shared<MacMailbox>(Private {}, std::move(setup), std::move(pairings));
}

MacMailbox::MacMailbox(Private, MacMailboxSetup setup, movrane::MailboxServer::PairingsProvider pairings)
    : m_setup(std::move(setup))
    , m_pairings(std::move(pairings))
    , m_accountQuestion([store = m_setup.store] { return store->accountState(); })
    , m_recordNameQuestion([store = m_setup.store]() -> std::optional<std::string> {
        try {
            return store->userRecordName();
        } catch (...) {
            return std::nullopt;
        }
    })
{
}

MacMailbox::~MacMailbox()
{
    // The loop holds the mailbox only while it works; when its hold was the last, it is the thread
    // running this destructor and cannot wait for itself.
    if (m_loop.joinable() && m_loop.get_id() == std::this_thread::get_id())
        m_loop.detach();
}

std::optional<movrane::MailboxPublicKey> MacMailbox::macKey()
{
    auto identity = loadIdentity();
    if (!identity)
        return std::nullopt;
    return identity->publicKey();
}

std::optional<movrane::MailboxIdentity> MacMailbox::loadIdentity()
{
    std::lock_guard identityLock(m_identityLock);
    {
        Lock lock(m_lock);
        if (m_identity)
            return m_identity;
    }
    try {
        auto identity = m_setup.keyStore->loadOrCreate(kMacLabel);
        Lock lock(m_lock);
        m_identity = identity;
        m_keyFailed = false;
        return identity;
    } catch (...) {
        Lock lock(m_lock);
        bool firstFailure = !m_keyFailed;
        m_keyFailed = true;
        lock.unlock();
        if (firstFailure)
            log("mailbox key unavailable: " + keyFailureText(std::current_exception()));
        return std::nullopt;
    }
}

void MacMailbox::start(Handler handler)
{
    std::lock_guard serial(m_serial);
    {
        Lock lock(m_lock);
        m_handler = std::move(handler);
    }
    loadIdentity();
    checkAccount();
    if (!m_loop.joinable())
        m_loop = std::jthread(
            [weak = weak_from_this(), clock = m_setup.clock, interval = m_setup.statusInterval](
                std::stop_token stop) { runLoop(weak, *clock, interval, stop); });
}

void MacMailbox::runLoop(const std::weak_ptr<MacMailbox>& weak, const movrane::MailboxClock& clock,
    double interval, const std::stop_token& stop)
{
    // Holds the mailbox only for a pass, never while it waits: it may be released meanwhile.
    while (!stop.stop_requested() && !weak.expired()) {
        try {
            clock.sleep(interval, stop);
        } catch (...) {
            return;
        }
        auto mailbox = weak.lock();
        if (!mailbox || stop.stop_requested())
            return;
        mailbox->loopPass();
    }
}

void MacMailbox::loopPass()
{
    {
        std::lock_guard serial(m_serial);
        if (accountCheckDue())
            checkAccount();
    }
    // Each set-up takes the serial lock only to reach the server.
    setUpPending();
    refreshStatus();
}

bool MacMailbox::accountCheckDue() const
{
    Lock lock(m_lock);
    if (!m_accountCheckedAt)
        return true;
    double interval = m_account == movrane::MailboxAccountState::available ? m_setup.accountCheckInterval
                                                                           : m_setup.accountRetryInterval;
    return secondsBetween(*m_accountCheckedAt, m_setup.clock->now()) >= interval;
}

void MacMailbox::stop()
{
    std::jthread loop;
    {
        std::lock_guard serial(m_serial);
        loop = std::move(m_loop);
    }
    // The loop's pass takes the serial lock, so it is waited for outside it.
    if (loop.joinable() && loop.get_id() != std::this_thread::get_id()) {
        loop.request_stop();
        loop.join();
    }
    std::shared_ptr<movrane::MailboxServer> server;
    {
        std::lock_guard serial(m_serial);
        {
            // The relay no longer serves the mailbox's requests, so nothing may start its server again
            // (an account change, say) before the next start.
            Lock lock(m_lock);
            m_handler = nullptr;
            server = m_server;
        }
        stopServer();
        publishStatus();
    }
    // Outside the serial lock, which what a loop calls may take: the owner may go once this returns,
    // and a loop still ending would ask it for the pairings.
    if (server)
        server->awaitStopped();
}

std::shared_ptr<movrane::MailboxServer> MacMailbox::runningServer() const
{
    Lock lock(m_lock);
    return m_serverRunning ? m_server : nullptr;
}

void MacMailbox::stopServer()
{
    auto server = runningServer();
    if (!server)
        return;
    server->stop();
    {
        Lock lock(m_lock);
        m_serverRunning = false;
        m_watches = 0;
    }
    log("mailbox server stopped");
}

void MacMailbox::handlePush()
{
    if (auto server = runningServer())
        server->fetchNow().wait();
}

void MacMailbox::setPushRegistered(bool registered)
{
    std::lock_guard serial(m_serial);
    {
        Lock lock(m_lock);
        m_pushRegistered = registered;
    }
    publishStatus();
}

void MacMailbox::accountChanged()
{
    std::lock_guard serial(m_serial);
    {
        Lock lock(m_lock);
        m_recordName.reset();
    }
    checkAccount();
}

void MacMailbox::refreshAccount()
{
    std::lock_guard serial(m_serial);
    checkAccount();
}

void MacMailbox::checkAccount()
{
    auto state = m_setup.store->accountState();
    Lock lock(m_lock);
    m_account = state;
    m_accountCheckedAt = m_setup.clock->now();
    if (state != movrane::MailboxAccountState::available) {
        m_recordName.reset();
        lock.unlock();
        stopServer();
        publishStatus();
        return;
    }
    bool nameKnown = m_recordName.has_value();
    lock.unlock();
    if (!nameKnown) {
        try {
            auto name = m_setup.store->userRecordName();
            lock.lock();
            m_recordName = name;
            lock.unlock();
        } catch (...) {
            // The server still starts; it adopts the name when a later check learns it.
        }
    }
    startServer();
    publishStatus();
}

void MacMailbox::startServer()
{
    Lock lock(m_lock);
    if (m_server && m_recordName && m_serverAccount && *m_recordName != *m_serverAccount) {
        auto old = std::move(m_server);
        m_serverRunning = false;
        m_serverZoneErrors.clear();
        lock.unlock();
        old->stop();
        old.reset();
        lock.lock();
    }
    if (!m_handler)
        return;
    lock.unlock();
    auto server = this->server();
    if (!server)
        return;
    lock.lock();
    if (!m_serverAccount)
        m_serverAccount = m_recordName;
    if (m_serverRunning)
        return;
    m_serverRunning = true;
    lock.unlock();
    server->start();
    log("mailbox server started");
}

std::shared_ptr<movrane::MailboxServer> MacMailbox::server()
{
    {
        Lock lock(m_lock);
        if (m_server)
            return m_server;
    }
    auto identity = loadIdentity();
    if (!identity)
        return nullptr;
    std::weak_ptr<MacMailbox> weak = weak_from_this();
    auto server = std::make_shared<movrane::MailboxServer>(movrane::MailboxServer::Dependencies {
        .identity = *identity,
        .store = m_setup.store,
        .storage = m_setup.storage,
        .pairingsProvider = m_pairings,
        .presenceProvider =
            [appVersion = m_setup.appVersion, macName = m_setup.macName] {
                return std::optional<movrane::MailboxPresence>(movrane::MailboxPresence {
                    .mailboxVersion = 1,
                    .apiVersion = 1,
                    .appVersion = appVersion,
                    .macName = macName ? std::optional<std::string>(macName()) : std::nullopt,
                });
            },
        .handler =
            [weak](const movrane::MailboxInboundRequest& request) {
                if (auto mailbox = weak.lock())
                    return mailbox->handleInbound(request);
                return movrane::MailboxRelayResponse::error(
                    503, "unavailable", "Vellumar for Mac is not running.", std::nullopt);
            },
        .clock = m_setup.clock,
        .configuration = m_setup.server,
        .log = m_setup.log,
    });
    Lock lock(m_lock);
    m_server = server;
    m_serverAccount = m_recordName;
    return server;
}

movrane::MailboxRelayResponse MacMailbox::handleInbound(const movrane::MailboxInboundRequest& request)
{
    Lock lock(m_lock);
    auto handler = m_handler;
    lock.unlock();
    if (!handler)
        return movrane::MailboxRelayResponse::error(
            503, "unavailable", "Vellumar for Mac is starting. Try again shortly.", std::nullopt);
    // Many requests may be in the relay at once; none holds the mailbox meanwhile.
    auto response = handler(request);
    // A device the relay no longer accepts is not one the user should see as active.
    if (response.status == 401)
        return response;
    lock.lock();
    bool firstSeen = m_recent.insert_or_assign(request.pairing.deviceID, m_setup.clock->now()).second;
    lock.unlock();
    if (firstSeen)
        publishStatus();
    return response;
}

void MacMailbox::refreshStatus()
{
    std::lock_guard serial(m_serial);
    refreshServerState();
    publishStatus();
}

void MacMailbox::refreshServerState()
{
    Lock lock(m_lock);
    auto server = m_server;
    bool running = m_serverRunning;
    lock.unlock();
    auto zoneErrors = server ? server->zoneErrors() : std::map<std::string, movrane::MailboxError> {};
    int watches = server && running ? server->activeWatchCount() : 0;
    lock.lock();
    m_serverZoneErrors = std::move(zoneErrors);
    m_watches = watches;
    auto cutOff = recentCutOff();
    std::erase_if(m_recent, [&](const auto& entry) { return entry.second < cutOff; });
}

movrane::MailboxTime MacMailbox::recentCutOff() const
{
    return m_setup.clock->now()
        - std::chrono::duration_cast<movrane::MailboxTime::duration>(
            std::chrono::duration<double>(m_setup.recentWindow));
}

MacMailboxStatus MacMailbox::status() const
{
    Lock lock(m_lock);
    return statusLocked(lock);
}

MacMailboxStatus MacMailbox::statusLocked(const Lock&) const
{
    MacMailboxStatus status;
    if (m_keyFailed && !m_identity)
        status.availability = MacMailboxStatus::KeyUnavailable {};
    else if (m_account)
        status.availability = *m_account;
    status.running = m_serverRunning;
    status.zoneErrors = m_serverZoneErrors;
    status.zoneErrors.insert(m_setUpErrors.begin(), m_setUpErrors.end());
    auto cutOff = recentCutOff();
    for (const auto& [device, at] : m_recent)
        if (at >= cutOff)
            status.recentDevices.emplace(device, at);
    status.pushRegistered = m_pushRegistered;
    status.activeWatches = m_watches;
    return status;
}

void MacMailbox::observe(Observer observer)
{
    Lock lock(m_lock);
    m_observers.push_back(observer);
    auto current = statusLocked(lock);
    lock.unlock();
    observer(current);
}

void MacMailbox::publishStatus()
{
    // Requests publish without the serial lock; one delivery at a time keeps a status computed earlier
    // from reaching the observers after a later one.
    std::lock_guard delivery(m_delivery);
    Lock lock(m_lock);
    auto current = statusLocked(lock);
    if (m_published == current)
        return;
    m_published = current;
    auto observers = m_observers;
    lock.unlock();
    for (const auto& observer : observers)
        observer(current);
}

void MacMailbox::log(const std::string& line) const
{
    if (m_setup.log)
        m_setup.log(line);
}

}
