// Everything the Mac writes into a device's zone, presence aside, leaves through `send`; with it the
// channel and state caches and the record of each zone's last store error.
#include "MovraneMailbox/Server/MailboxServer.h"

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Server/MailboxScopeExit.h"
#include "MovraneMailbox/Server/MailboxServerTime.h"

namespace movrane {

void MailboxServer::send(const MailboxContent& content, const std::optional<std::filesystem::path>& bodyFile,
    const MailboxChannel& channel, MailboxNotify notify)
{
    send(content, bodyFile, channel, notify, m_shutdown.get_token());
}

void MailboxServer::send(const MailboxContent& content, const std::optional<std::filesystem::path>& bodyFile,
    const MailboxChannel& channel, MailboxNotify notify, const std::stop_token& stop)
{
    MailboxChannel::SealOptions options { .notify = notify, .lifetimeSeconds = m_configuration.lifetime };
    const auto& body = bodyOf(content);
    if (bodyFile || body.size() > MailboxProtocol::maxInlineBytes) {
        auto assetFile = m_configuration.temporaryDirectory / ("mailbox-out-" + MailboxUUID::make());
        // The cipher leaves no output behind when it fails.
        options.attachment = bodyFile
            ? MailboxAttachmentCipher::encryptFile(
                *bodyFile, assetFile, MailboxAttachmentCipher::senderChunkSize)
            : MailboxAttachmentCipher::encryptData(body, assetFile, MailboxAttachmentCipher::senderChunkSize);
        options.assetFile = assetFile;
    }
    MailboxScopeExit attachment([&] { removeFileQuietly(options.assetFile); });
    const auto& zone = channel.pairing().zoneName;
    auto sealed = [&] {
        // One turn from loading the state to storing it: concurrent sends get distinct, rising numbers.
        std::lock_guard lock(m_lock);
        auto state = loadState(channel);
        auto id = MailboxMessageID::make();
        auto recordName = MailboxRecordName::envelope();
        auto result
            = channel.seal(content, std::move(id), std::move(recordName), options, m_clock->now(), state);
        m_states.insert_or_assign(zone, state);
        state.encoded(*m_storage, channel.label());
        return result;
    }();
    try {
        withRetries(stop, [&] { m_store->saveEnvelope(sealed.record, zone); });
    } catch (const MailboxError& error) {
        // An earlier try reached the store even though its answer was lost.
        if (error.kind() != MailboxError::Kind::alreadyExists)
            throw;
    }
}

std::optional<MailboxChannel> MailboxServer::channel(const MailboxPairing& pairing)
{
    {
        std::lock_guard lock(m_lock);
        auto cached = m_channels.find(pairing.zoneName);
        if (cached != m_channels.end() && cached->second.pairing() == pairing)
            return cached->second;
        if (pairing.macKey == m_identity.publicKey()) {
            MailboxChannel made(pairing, MailboxRole::mac, m_identity);
            m_channels.insert_or_assign(pairing.zoneName, made);
            // A changed pairing starts again from what is stored for its zone.
            m_states.erase(pairing.zoneName);
            return made;
        }
    }
    log("mailbox pair skipped: the Mac key does not match");
    return std::nullopt;
}

MailboxChannelState& MailboxServer::loadState(const MailboxChannel& channel)
{
    const auto& zone = channel.pairing().zoneName;
    auto cached = m_states.find(zone);
    if (cached == m_states.end())
        cached
            = m_states.emplace(zone, MailboxChannelState::resume(*m_storage, channel.label(), m_clock->now()))
                  .first;
    return cached->second;
}

void MailboxServer::noteZoneError(const std::exception_ptr& error, const std::string& zone)
{
    noteZoneError(MailboxStoreRetry::mapped(error), zone);
}

void MailboxServer::noteZoneError(const MailboxError& error, const std::string& zone)
{
    {
        std::lock_guard lock(m_lock);
        m_zoneErrors.insert_or_assign(zone, error);
        if (error.kind() == MailboxError::Kind::busy) {
            // A negative retry-after lies in the past and so pauses nothing.
            auto pause = MailboxStoreRetry::retryAfter(error).value_or(m_configuration.idlePollInterval);
            auto until = MailboxServerTime::adding(m_clock->now(), pause);
            if (!m_pausedUntil || until > *m_pausedUntil)
                m_pausedUntil = until;
        }
    }
    log(std::string("mailbox zone error: ") + error.what());
}

}
