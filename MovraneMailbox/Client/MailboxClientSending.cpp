// The client's sending road: one message sealed to the Mac, its large or file body moved into an
// encrypted attachment beside it, and the record written with retries.
#include "MovraneMailbox/Client/MailboxClient.h"

#include "MovraneMailbox/Client/MailboxTemporaryFile.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"

namespace movrane {

namespace {

    constexpr std::string_view kAttachmentPrefix = "mailbox-out-";

}

MailboxClient::Sent MailboxClient::sendEnvelope(const MailboxContent& content,
    const std::optional<std::filesystem::path>& bodyFile, MailboxNotify notify, std::stop_token stop)
{
    MailboxChannel::SealOptions options { .notify = notify, .lifetimeSeconds = m_configuration.lifetime };
    const auto& body = bodyOf(content);
    if (bodyFile || body.size() > MailboxProtocol::maxInlineBytes) {
        auto file
            = m_configuration.temporaryDirectory / (std::string(kAttachmentPrefix) + MailboxUUID::make());
        constexpr auto chunkSize = MailboxAttachmentCipher::senderChunkSize;
        // The cipher removes its own partial output when it fails.
        options.attachment = bodyFile ? MailboxAttachmentCipher::encryptFile(*bodyFile, file, chunkSize)
                                      : MailboxAttachmentCipher::encryptData(body, file, chunkSize);
        options.assetFile = std::move(file);
    }
    // The upload has read the attachment by the time the send ends.
    MailboxTemporaryFile attachment(options.assetFile);

    auto now = m_clock->now();
    auto messageID = MailboxMessageID::make();
    auto recordName = MailboxRecordName::envelope();
    std::optional<MailboxChannel::Sealed> sealed;
    {
        // Sealing takes the next sequence number, so it happens under the lock: numbers then rise in
        // the order messages are sealed, however many callers send at once.
        std::lock_guard lock(m_lock);
        sealed.emplace(m_channel.seal(content, messageID, std::move(recordName), options, now, m_state));
    }
    // Before the write: a send that is cut off after this point has used its number for good.
    persistState();
    write(sealed->record, std::move(stop));
    return { std::move(messageID), sealed->record.name };
}

void MailboxClient::write(const MailboxEnvelopeRecord& record, std::stop_token stop)
{
    try {
        saveEnvelope(record, stop);
        return;
    } catch (const MailboxError& error) {
        if (error.kind() != MailboxError::Kind::encryptedDataReset)
            throw;
    }
    // The user reset the account's encrypted data: the zone is unusable until it is made anew.
    try {
        m_store->deleteZone(pairing().zoneName);
    } catch (...) {
        // A zone already gone is what the set-up below starts from anyway.
    }
    setUp(stop);
    saveEnvelope(record, stop);
}

void MailboxClient::saveEnvelope(const MailboxEnvelopeRecord& record, std::stop_token stop)
{
    try {
        withStoreRetries(std::move(stop), [&] { m_store->saveEnvelope(record, pairing().zoneName); });
    } catch (const MailboxError& error) {
        // Record names are fresh for every message: an existing one is this very record, stored by a
        // call whose answer was lost.
        if (error.kind() != MailboxError::Kind::alreadyExists)
            throw;
    }
}

void MailboxClient::persistState()
{
    std::lock_guard persisting(m_persistLock);
    MailboxChannelState snapshot;
    {
        std::lock_guard lock(m_lock);
        snapshot = m_state;
    }
    snapshot.encoded(*m_storage, m_channel.label());
}

}
