// The inbound half: one pass over every paired zone, page by page from the zone's change token, opening
// the envelopes addressed to the Mac and handing each on.
#include "MovraneMailbox/Server/MailboxServer.h"

#include <set>

namespace movrane {

void MailboxServer::fetchAll(const std::stop_token& stop)
{
    auto pairings = m_pairingsProvider();
    std::set<std::string> zones;
    for (const auto& pairing : pairings)
        zones.insert(pairing.zoneName);
    {
        std::lock_guard lock(m_lock);
        cancelWatches([&](const std::string& zone) { return !zones.contains(zone); });
        std::erase_if(m_channels, [&](const auto& entry) { return !zones.contains(entry.first); });
        std::erase_if(m_states, [&](const auto& entry) { return !zones.contains(entry.first); });
    }
    for (const auto& pairing : pairings) {
        auto channel = this->channel(pairing);
        if (!channel)
            continue;
        {
            // A zone the service lost stays out of the passes until it is set up again.
            std::lock_guard lock(m_lock);
            auto error = m_zoneErrors.find(pairing.zoneName);
            if (error != m_zoneErrors.end() && error->second.kind() == MailboxError::Kind::zoneMissing)
                continue;
        }
        fetchZone(*channel, stop);
    }
}

void MailboxServer::fetchZone(const MailboxChannel& channel, const std::stop_token& stop)
{
    const auto& zone = channel.pairing().zoneName;
    std::optional<MailboxBytes> token;
    std::uint64_t setUps = 0;
    {
        std::lock_guard lock(m_lock);
        token = loadState(channel).changeToken;
        setUps = m_zoneSetUps[zone];
    }
    // Reading the zone again from its start once is the cure for an expired token; a store that
    // refuses the fresh start too would otherwise keep the pass here for good.
    bool restarted = false;
    for (;;) {
        MailboxChanges changes;
        try {
            changes = withRetries(stop, [&] { return m_store->fetchChanges(zone, token); });
        } catch (...) {
            auto error = MailboxStoreRetry::mapped(std::current_exception());
            if (error.kind() == MailboxError::Kind::changeTokenExpired && !restarted) {
                restarted = true;
                token.reset();
                storeChangeToken(channel, token);
                continue;
            }
            {
                // The zone was set up while this pass read it: what the pass found is of the zone before.
                std::lock_guard lock(m_lock);
                if (m_zoneSetUps[zone] != setUps)
                    return;
            }
            noteZoneError(error, zone);
            if (error.kind() == MailboxError::Kind::encryptedDataReset) {
                // Each step is worth trying whatever the other did; a zone left unmade is made by the
                // next set-up that succeeds.
                try {
                    withRetries(stop, [&] { m_store->deleteZone(zone); });
                } catch (...) {
                }
                try {
                    setUpZone(channel.pairing(), stop);
                } catch (...) {
                }
                storeChangeToken(channel, std::nullopt);
            }
            return;
        }
        // An envelope that could not be recorded as opened must come back with the next fetch, so the
        // token stays where it was.
        if (!process(changes, channel, stop))
            return;
        // Without a token the store cannot say where "more" begins; the next pass reads on from here.
        if (changes.moreComing && !changes.token)
            return;
        storeChangeToken(channel, changes.token);
        if (!changes.moreComing) {
            std::lock_guard lock(m_lock);
            m_zoneErrors.erase(zone);
            return;
        }
        token = changes.token;
    }
}

void MailboxServer::storeChangeToken(const MailboxChannel& channel, const std::optional<MailboxBytes>& token)
{
    std::lock_guard lock(m_lock);
    auto& state = loadState(channel);
    state.changeToken = token;
    state.encoded(*m_storage, channel.label());
}

bool MailboxServer::process(
    const MailboxChanges& changes, const MailboxChannel& channel, const std::stop_token& stop)
{
    auto now = m_clock->now();
    const auto ownTag = channel.ownTag();
    const auto& zone = channel.pairing().zoneName;
    std::vector<std::string> deletions;
    bool recorded = true;
    for (const auto& record : changes.envelopes) {
        // Another party's envelope is none of the Mac's business: not opened, not deleted.
        if (record.to != ownTag)
            continue;
        std::optional<MailboxMessage> message;
        std::exception_ptr dropped;
        {
            // Opening and saving in one turn, so no send's sequence number is lost in between.
            std::lock_guard lock(m_lock);
            auto state = loadState(channel);
            try {
                message = channel.open(record, now, state, true);
                state.save(*m_storage, channel.label());
                m_states.insert_or_assign(zone, std::move(state));
                m_lastRequest = now;
            } catch (...) {
                dropped = std::current_exception();
            }
        }
        if (dropped && message) {
            log("mailbox state could not be saved; the request waits for the next fetch");
            recorded = false;
            break;
        }
        if (dropped) {
            log("mailbox envelope dropped: " + mailboxErrorLogText(dropped));
            deletions.push_back(record.name);
            continue;
        }
        dispatch(*message, record, channel, deletions);
    }
    if (!deletions.empty()) {
        try {
            withRetries(stop, [&] { m_store->deleteEnvelopes(deletions, zone); });
        } catch (...) {
            // They stay until the clean-up removes them by age.
        }
    }
    return recorded;
}

void MailboxServer::dispatch(const MailboxMessage& message, const MailboxEnvelopeRecord& record,
    const MailboxChannel& channel, std::vector<std::string>& deletions)
{
    if (const auto* request = std::get_if<MailboxRelayRequest>(&message.content)) {
        // An upload's envelope holds its asset until the request has fetched it.
        if (message.attachment) {
            handleRequest(*request, message, record.name, channel);
            return;
        }
        deletions.push_back(record.name);
        handleRequest(*request, message, std::nullopt, channel);
        return;
    }
    deletions.push_back(record.name);
    if (const auto* watch = std::get_if<MailboxWatch>(&message.content)) {
        m_tasks.post([this, watch = *watch, message, channel](
                         const std::stop_token& stop) { startWatch(watch, message, channel, stop); });
    }
}

}
