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
        m_claimedZones.insert(pairing.zoneName);
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

std::shared_ptr<movrane::MailboxServer> MacMailbox::serverForSetUp(const movrane::MailboxPairing& pairing)
{
    std::lock_guard serial(m_serial);
    {
        Lock lock(m_lock);
        if (!isOwed(pairing, lock))
            return nullptr;
    }
    return server();
}

void MacMailbox::setUpPairing(const movrane::MailboxPairing& pairing)
{
    auto server = serverForSetUp(pairing);
    if (!server)
        return;
    try {
        server->setUpZone(pairing);
    } catch (...) {
        auto error = movrane::CloudKitMailboxMapping::mailboxError(std::current_exception());
        {
            Lock lock(m_lock);
            // A forgotten zone's error would stay in the status with nothing left to clear it.
            if (!m_claimedZones.contains(pairing.zoneName))
                return;
            m_setUpErrors.insert_or_assign(pairing.zoneName, error);
        }
        log("mailbox zone set-up failed: " + std::string(error.what()));
        refreshStatus();
        return;
    }
    if (!keepSetUpZone(*server, pairing))
        return;
    // The new zone gets the Mac's presence at once rather than at the next publication.
    if (runningServer() == server)
        server->publishPresence();
    refreshStatus();
}

bool MacMailbox::keepSetUpZone(movrane::MailboxServer& server, const movrane::MailboxPairing& pairing)
{
    Lock lock(m_lock);
    if (!m_claimedZones.contains(pairing.zoneName)) {
        // Forgotten during its set-up: a removal not yet begun comes after all the set-up made and keeps
        // its delay, which lets the phone's last reply through the zone.
        const bool removalOwed = m_removalsOwed.contains(pairing.zoneName);
        lock.unlock();
        if (!removalOwed)
            server.forgetZone(pairing);
        return false;
    }
    // A newer pairing of the zone stays owed: its own set-up is still to come.
    auto pending = m_pendingSetUps.find(pairing.zoneName);
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
        m_claimedZones.erase(pairing.zoneName);
        m_removalsOwed.insert(pairing.zoneName);
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
    {
        // From here a set-up ending removes the zone itself: what it made may come after this removal.
        Lock lock(m_lock);
        m_removalsOwed.erase(m_removalsOwed.find(pairing.zoneName));
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
