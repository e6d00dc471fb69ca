// The zones of the phones' mailbox pairings: set-ups owed and retried until they succeed, and the zones
// of forgotten pairings removed, at once or after a delay.
#include "VellumarMacCore/Mailbox/MacMailbox.h"

#include "MovraneMailbox/CloudStore/CloudKitMailboxMapping.h"

namespace vellumar {

void MacMailbox::scheduleSetUp(const movrane::MailboxPairing& pairing)
{
    {
        Lock lock(m_lock);
        m_pendingSetUps.insert_or_assign(pairing.zoneName, pairing);
    }
    m_tasks.start([this, pairing](const std::stop_token&) { setUpPairing(pairing); });
}

bool MacMailbox::isOwed(const movrane::MailboxPairing& pairing, const Lock&) const
{
    auto pending = m_pendingSetUps.find(pairing.zoneName);
    // A pairing replaced by a newer one of its zone, done or forgotten is not set up again.
    if (pending == m_pendingSetUps.end() || pending->second != pairing)
        return false;
    // Not yet known counts as usable: the set-up itself finds out.
    return !m_account || *m_account == movrane::MailboxAccountState::available;
}

std::optional<MacMailbox::SetUpUnderWay> MacMailbox::beginSetUp(const movrane::MailboxPairing& pairing)
{
    std::lock_guard serial(m_serial);
    {
        Lock lock(m_lock);
        if (!isOwed(pairing, lock))
            return std::nullopt;
    }
    auto server = this->server();
    if (!server)
        return std::nullopt;
    Lock lock(m_lock);
    // Asked again: making the server may have taken the key store a while.
    if (!isOwed(pairing, lock))
        return std::nullopt;
    auto ticket = ++m_lastSetUpTicket;
    m_setUpsUnderWay.emplace(ticket, pairing.zoneName);
    return SetUpUnderWay { std::move(server), ticket };
}

void MacMailbox::setUpPairing(const movrane::MailboxPairing& pairing)
{
    auto setUp = beginSetUp(pairing);
    if (!setUp)
        return;
    try {
        setUp->server->setUpZone(pairing);
    } catch (...) {
        auto error = movrane::CloudKitMailboxMapping::mailboxError(std::current_exception());
        {
            Lock lock(m_lock);
            // A forgotten zone's error would stay in the status with nothing left to clear it.
            if (m_setUpsUnderWay.erase(setUp->ticket) == 0)
                return;
            m_setUpErrors.insert_or_assign(pairing.zoneName, error);
        }
        log("mailbox zone set-up failed: " + std::string(error.what()));
        refreshStatus();
        return;
    }
    if (!keepSetUpZone(*setUp, pairing))
        return;
    // The new zone gets the Mac's presence at once rather than at the next publication.
    if (runningServer() == setUp->server)
        setUp->server->publishPresence();
    refreshStatus();
}

bool MacMailbox::keepSetUpZone(const SetUpUnderWay& setUp, const movrane::MailboxPairing& pairing)
{
    Lock lock(m_lock);
    bool forgotten = m_setUpsUnderWay.erase(setUp.ticket) == 0;
    auto pending = m_pendingSetUps.find(pairing.zoneName);
    if (forgotten) {
        bool newerOwed = pending != m_pendingSetUps.end();
        lock.unlock();
        if (!newerOwed)
            setUp.server->forgetZone(pairing);
        return false;
    }
    // A newer pairing of the zone stays owed: its own set-up is still to come.
    if (pending != m_pendingSetUps.end() && pending->second == pairing)
        m_pendingSetUps.erase(pending);
    m_setUpErrors.erase(pairing.zoneName);
    return true;
}

void MacMailbox::setUpPending()
{
    std::vector<movrane::MailboxPairing> owed;
    {
        Lock lock(m_lock);
        if (m_account != movrane::MailboxAccountState::available)
            return;
        for (const auto& [zone, pairing] : m_pendingSetUps)
            owed.push_back(pairing);
    }
    for (const auto& pairing : owed)
        setUpPairing(pairing);
}

std::map<std::string, movrane::MailboxPairing> MacMailbox::pendingSetUps() const
{
    Lock lock(m_lock);
    return m_pendingSetUps;
}

void MacMailbox::forget(const movrane::MailboxPairing& pairing, ForgetTiming timing)
{
    {
        Lock lock(m_lock);
        m_pendingSetUps.erase(pairing.zoneName);
        m_setUpErrors.erase(pairing.zoneName);
        m_recent.erase(pairing.deviceID);
        std::erase_if(m_setUpsUnderWay, [&](const auto& setUp) { return setUp.second == pairing.zoneName; });
    }
    double delaySeconds = timing == ForgetTiming::afterDelay ? m_setup.forgetDelay : 0;
    m_tasks.start([this, pairing, delaySeconds](
                      const std::stop_token& stop) { removeZoneLater(pairing, delaySeconds, stop); });
}

void MacMailbox::removeZoneLater(
    const movrane::MailboxPairing& pairing, double delaySeconds, const std::stop_token& stop)
{
    if (delaySeconds > 0) {
        try {
            m_setup.clock->sleep(delaySeconds, stop);
        } catch (...) {
            // Cut short as the mailbox goes away: the zone is removed all the same.
        }
    }
    std::shared_ptr<movrane::MailboxServer> server;
    {
        std::lock_guard serial(m_serial);
        server = this->server();
    }
    if (!server)
        return;
    server->forgetZone(pairing);
    refreshStatus();
}

}
