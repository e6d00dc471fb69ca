// What the server does to whole zones: setting one up and forgetting it, sending events to one device or
// all, publishing the Mac's presence into each zone, and deleting old envelopes.
#include "MovraneMailbox/Server/MailboxServer.h"

#include "MovraneMailbox/Protocol/MailboxSubscriptions.h"
#include "MovraneMailbox/Server/MailboxServerTime.h"

namespace movrane {

void MailboxServer::setUpZone(const MailboxPairing& pairing) { setUpZone(pairing, m_shutdown.get_token()); }

void MailboxServer::setUpZone(const MailboxPairing& pairing, const std::stop_token& stop)
{
    const auto& zone = pairing.zoneName;
    withRetries(stop, [&] { m_store->ensureZone(zone); });
    withRetries(stop, [&] { m_store->saveSubscriptions(MailboxSubscriptions::mac(pairing), zone); });
    std::lock_guard lock(m_lock);
    ++m_zoneSetUps[zone];
    m_zoneErrors.erase(zone);
}

void MailboxServer::forgetZone(const MailboxPairing& pairing)
{
    const auto& zone = pairing.zoneName;
    auto stop = m_shutdown.get_token();
    {
        std::lock_guard lock(m_lock);
        cancelWatches([&](const std::string& watched) { return watched == zone; });
    }
    // What the store keeps of a forgotten zone is harmless; what the server keeps must go in any case.
    try {
        withRetries(
            stop, [&] { m_store->deleteSubscriptions({ MailboxSubscriptions::mac(pairing).front().id }); });
    } catch (...) {
    }
    try {
        withRetries(stop, [&] { m_store->deleteZone(zone); });
    } catch (...) {
    }
    std::lock_guard lock(m_lock);
    auto channel = m_channels.find(zone);
    if (channel != m_channels.end()) {
        m_storage->store(std::nullopt, channel->second.label());
        m_channels.erase(channel);
    }
    m_states.erase(zone);
    m_zoneErrors.erase(zone);
}

void MailboxServer::sendEvent(const MailboxEvent& event, MailboxNotify notify, const MailboxPairing& pairing)
{
    auto channel = this->channel(pairing);
    if (!channel)
        throw MailboxKeyError::invalidPrivateKey();
    send(event, std::nullopt, *channel, notify, m_shutdown.get_token());
}

void MailboxServer::broadcast(const MailboxEvent& event, MailboxNotify notify)
{
    for (const auto& pairing : m_pairingsProvider()) {
        try {
            sendEvent(event, notify, pairing);
        } catch (...) {
            log("mailbox event not written: " + mailboxErrorLogText(std::current_exception()));
        }
    }
}

void MailboxServer::publishPresence() { publishPresence(m_shutdown.get_token()); }

void MailboxServer::publishPresence(const std::stop_token& stop)
{
    auto presence = m_presenceProvider();
    if (!presence)
        return;
    for (const auto& pairing : m_pairingsProvider())
        publishPresence(*presence, pairing, stop);
}

void MailboxServer::publishPresence(
    const MailboxPresence& presence, const MailboxPairing& pairing, const std::stop_token& stop)
{
    auto channel = this->channel(pairing);
    if (!channel)
        return;
    const auto& zone = pairing.zoneName;
    std::exception_ptr failure;
    try {
        auto record = [&] {
            std::lock_guard lock(m_lock);
            auto state = loadState(*channel);
            auto sealed = channel->sealPresence(presence, m_clock->now(), state);
            m_states.insert_or_assign(zone, state);
            state.encoded(*m_storage, channel->label());
            return sealed;
        }();
        withRetries(stop, [&] { m_store->savePresence(record, zone); });
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        noteZoneError(failure, zone);
}

void MailboxServer::cleanUp() { cleanUp(m_shutdown.get_token()); }

void MailboxServer::cleanUp(const std::stop_token& stop)
{
    auto cutOff = MailboxServerTime::adding(m_clock->now(), -m_configuration.cleanupAge);
    for (const auto& pairing : m_pairingsProvider())
        cleanUpZone(pairing.zoneName, cutOff, stop);
}

void MailboxServer::cleanUpZone(const std::string& zone, MailboxTime cutOff, const std::stop_token& stop)
{
    std::exception_ptr failure;
    try {
        // Always the whole zone, from its start: the change token is the fetch's, not the clean-up's.
        std::vector<std::string> old;
        std::optional<MailboxBytes> token;
        for (;;) {
            auto changes = withRetries(stop, [&] { return m_store->fetchChanges(zone, token); });
            for (const auto& record : changes.envelopes) {
                if (record.createdAt < cutOff)
                    old.push_back(record.name);
            }
            if (!changes.moreComing || !changes.token)
                break;
            token = changes.token;
        }
        if (old.empty())
            return;
        withRetries(stop, [&] { m_store->deleteEnvelopes(old, zone); });
        log("mailbox cleanup: " + std::to_string(old.size()) + " old envelopes");
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        noteZoneError(failure, zone);
}

}
