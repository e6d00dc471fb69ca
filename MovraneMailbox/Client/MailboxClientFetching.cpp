// The client's receive road: it pages through what changed in the zone, opens what the Mac wrote to
// this device with replay checks, files answers for waiting requests, records job states, hands events
// and presence to the listeners, and deletes what it consumed.
#include "MovraneMailbox/Client/MailboxClient.h"

#include "MovraneMailbox/Client/MailboxTemporaryFile.h"

namespace movrane {

std::optional<MailboxError> MailboxClient::fetchChanges(std::stop_token stop)
{
    const auto& zone = pairing().zoneName;
    // A store that keeps expiring the token it just gave would otherwise restart the pass forever.
    int restarts = 0;
    for (;;) {
        std::optional<MailboxBytes> token;
        {
            std::lock_guard lock(m_lock);
            token = m_state.changeToken;
        }
        MailboxChanges page;
        try {
            page = withStoreRetries(stop, [&] { return m_store->fetchChanges(zone, token); });
        } catch (...) {
            auto error = MailboxStoreRetry::mapped(std::current_exception());
            bool restart = error.kind() == MailboxError::Kind::changeTokenExpired
                && restarts < m_configuration.storeAttempts;
            {
                std::lock_guard lock(m_lock);
                if (restart)
                    m_state.changeToken.reset();
                else
                    m_lastError = error;
            }
            if (restart) {
                ++restarts;
                continue;
            }
            if (error.kind() == MailboxError::Kind::encryptedDataReset)
                recoverFromEncryptionReset(stop);
            return error;
        }
        handle(page, stop);
        {
            std::lock_guard lock(m_lock);
            m_state.changeToken = page.token;
        }
        persistState();
        // Without a token the next page could only be this one again.
        if (!page.moreComing || !page.token) {
            std::lock_guard lock(m_lock);
            m_lastError.reset();
            return std::nullopt;
        }
    }
}

void MailboxClient::recoverFromEncryptionReset(std::stop_token stop)
{
    // The user reset the account's encrypted data: the zone is unusable until made anew, and every
    // token into it is void. Failures here leave the next fetch to find the zone as it is.
    try {
        m_store->deleteZone(pairing().zoneName);
    } catch (...) {
    }
    try {
        setUp(stop);
    } catch (...) {
    }
    {
        std::lock_guard lock(m_lock);
        m_state.changeToken.reset();
    }
    persistState();
}

void MailboxClient::handle(const MailboxChanges& changes, std::stop_token stop)
{
    auto now = m_clock->now();
    auto ownTag = m_channel.ownTag();
    std::vector<std::string> consumed;
    for (const auto& record : changes.envelopes) {
        // Requests to the Mac stay for the Mac.
        if (record.to != ownTag)
            continue;
        std::optional<MailboxMessage> message;
        try {
            std::lock_guard lock(m_lock);
            message = m_channel.open(record, now, m_state, true);
        } catch (...) {
            log("mailbox envelope dropped: " + mailboxErrorLogText(std::current_exception()));
            consumed.push_back(record.name);
            continue;
        }
        act(*message, record.name, consumed, stop);
    }
    if (changes.presence)
        openPresence(*changes.presence, now);
    wake();
    if (consumed.empty())
        return;
    persistState();
    try {
        withStoreRetries(stop, [&] { m_store->deleteEnvelopes(consumed, pairing().zoneName); });
    } catch (...) {
        // Left in the zone, they are refused as replayed or expired when they come again.
    }
}

void MailboxClient::act(const MailboxMessage& message, const std::string& recordName,
    std::vector<std::string>& consumed, std::stop_token stop)
{
    if (const auto* answer = std::get_if<MailboxResponseContent>(&message.content)) {
        std::lock_guard lock(m_lock);
        // The waiting request deletes its answer's record once it has taken what it needs from it.
        if (m_awaiting.contains(answer->replyTo))
            m_answers.insert_or_assign(answer->replyTo, Answer { message, recordName });
        else
            consumed.push_back(recordName);
        return;
    }
    consumed.push_back(recordName);
    if (const auto* state = std::get_if<MailboxJobStateContent>(&message.content)) {
        if (auto resolved = body(message, state->body, recordName, stop))
            recordJobState(
                state->state.jobId, state->state.version, state->state.finished, std::move(*resolved));
    } else if (const auto* event = std::get_if<MailboxEvent>(&message.content)) {
        if (auto resolved = body(message, event->body, recordName, stop))
            emit(MailboxEvent { event->name, std::move(*resolved) });
    }
}

void MailboxClient::openPresence(const MailboxPresenceRecord& record, MailboxTime now)
{
    std::optional<MailboxSeenPresence> seen;
    try {
        std::lock_guard lock(m_lock);
        // None when it is not newer than the last one seen; presences only move forward.
        if (auto opened = m_channel.openRecord(record, now, m_state)) {
            seen = MailboxSeenPresence { opened->presence, opened->createdAt };
            m_presence = seen->presence;
            m_lastSeen = seen->seenAt;
        }
    } catch (...) {
        // The presence record is the Mac's to replace; the client never deletes it.
        log("mailbox envelope dropped: " + mailboxErrorLogText(std::current_exception()));
    }
    if (seen)
        emit(*seen);
}

std::optional<MailboxBytes> MailboxClient::body(const MailboxMessage& message, const MailboxBytes& inlineBody,
    const std::string& recordName, std::stop_token stop)
{
    if (!message.attachment)
        return inlineBody;
    std::filesystem::path asset;
    try {
        asset = withStoreRetries(stop, [&] { return m_store->fetchAsset(recordName, pairing().zoneName); });
    } catch (...) {
        return std::nullopt;
    }
    MailboxTemporaryFile downloaded(asset);
    try {
        return MailboxAttachmentCipher::decryptData(asset, *message.attachment, maxReceivedAttachmentBytes);
    } catch (...) {
        return std::nullopt;
    }
}

void MailboxClient::log(const std::string& line) const
{
    if (m_log)
        m_log(line);
}

}
