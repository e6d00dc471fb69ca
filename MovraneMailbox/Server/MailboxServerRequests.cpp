// One request envelope from its admission to its one reply: the mailbox's own refusals, the limit of
// requests at once, the attached file brought in, the handler, and the sealed answer.
#include "MovraneMailbox/Server/MailboxServer.h"

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Server/MailboxScopeExit.h"

namespace movrane {

namespace {

    MailboxRelayResponse lanOnlyReply()
    {
        return MailboxRelayResponse::error(
            403, "lan_only", "This works only on the same Wi-Fi as the Mac.", std::nullopt);
    }

    MailboxRelayResponse busyReply()
    {
        return MailboxRelayResponse::error(429, "mailbox_busy", "The Mac is busy. Try again shortly.", 5);
    }

    MailboxRelayResponse attachmentUnreadableReply()
    {
        return MailboxRelayResponse::error(
            400, "attachment_unreadable", "The file did not arrive. Send it again.", std::nullopt);
    }

    MailboxRelayResponse tooLargeReply()
    {
        return MailboxRelayResponse::error(413, "too_large_for_mailbox",
            "This file is too large to send through iCloud. Use the same Wi-Fi as the Mac.", std::nullopt);
    }

    // What the router answers for any failure that is not its own HTTP error.
    MailboxRelayResponse internalErrorReply()
    {
        return MailboxRelayResponse::error(500, "internal", "Something went wrong on the Mac.", std::nullopt);
    }

}

void MailboxServer::handleRequest(const MailboxRelayRequest& request, const MailboxMessage& message,
    const std::optional<std::string>& envelopeName, const MailboxChannel& channel)
{
    std::optional<MailboxRelayResponse> refusal;
    if (MailboxProtocol::isLANOnly(request.path)) {
        refusal = lanOnlyReply();
    } else {
        // Tested and taken in one turn, so no more than the limit ever reach the handler.
        std::lock_guard lock(m_lock);
        if (m_inFlight >= m_configuration.maxConcurrentRequests)
            refusal = busyReply();
        else
            ++m_inFlight;
    }
    if (!refusal) {
        m_tasks.post([this, request, message, envelopeName, channel](const std::stop_token& stop) {
            handleAdmitted(request, message, envelopeName, channel, stop);
        });
        return;
    }
    m_tasks.post(
        [this, refusal = std::move(*refusal), message, envelopeName, channel](const std::stop_token& stop) {
            // A refused upload's asset is never fetched; its envelope goes before the refusal is sent.
            if (envelopeName)
                deleteEnvelope(*envelopeName, channel.pairing().zoneName, stop);
            reply(message, refusal, channel, stop);
        });
}

void MailboxServer::handleAdmitted(const MailboxRelayRequest& request, const MailboxMessage& message,
    const std::optional<std::string>& envelopeName, const MailboxChannel& channel,
    const std::stop_token& stop)
{
    const auto& zone = channel.pairing().zoneName;
    std::optional<std::filesystem::path> bodyFile;
    MailboxScopeExit removeBodyFile([&] { removeFileQuietly(bodyFile); });
    bool envelopeDeleted = false;
    auto response = [&] {
        MailboxScopeExit freeSlot([&] {
            std::lock_guard lock(m_lock);
            --m_inFlight;
        });
        if (message.attachment && envelopeName) {
            bodyFile = receiveAttachment(*message.attachment, *envelopeName, zone, stop);
            // Whether or not the file arrived: a failed one must be sent again anyway.
            deleteEnvelope(*envelopeName, zone, stop);
            envelopeDeleted = true;
            if (!bodyFile)
                return attachmentUnreadableReply();
        }
        return handle({ channel.pairing(), request, bodyFile, MailboxTime(message.createdAt) });
    }();
    if (envelopeName && !envelopeDeleted)
        deleteEnvelope(*envelopeName, zone, stop);
    reply(message, response, channel, stop);
}

MailboxRelayResponse MailboxServer::handle(const MailboxInboundRequest& request)
{
    try {
        return m_handler(request);
    } catch (...) {
        return internalErrorReply();
    }
}

std::optional<std::filesystem::path> MailboxServer::receiveAttachment(const MailboxAttachmentKey& key,
    const std::string& envelopeName, const std::string& zone, const std::stop_token& stop)
{
    std::optional<std::filesystem::path> downloaded;
    MailboxScopeExit removeDownload([&] { removeFileQuietly(downloaded); });
    try {
        downloaded = withRetries(stop, [&] { return m_store->fetchAsset(envelopeName, zone); });
        auto file = m_configuration.temporaryDirectory / ("mailbox-in-" + MailboxUUID::make());
        // The cipher leaves no output behind when it fails.
        MailboxAttachmentCipher::decryptFile(*downloaded, key, file);
        return file;
    } catch (...) {
        log("mailbox attachment unreadable: " + mailboxErrorLogText(std::current_exception()));
        return std::nullopt;
    }
}

void MailboxServer::deleteEnvelope(
    const std::string& name, const std::string& zone, const std::stop_token& stop)
{
    try {
        withRetries(stop, [&] { m_store->deleteEnvelopes({ name }, zone); });
    } catch (...) {
        // It stays until the clean-up removes it by age.
    }
}

void MailboxServer::reply(const MailboxMessage& message, const MailboxRelayResponse& response,
    const MailboxChannel& channel, const std::stop_token& stop)
{
    std::exception_ptr failure;
    try {
        send(MailboxResponseContent { message.id, response }, response.bodyFile, channel, MailboxNotify::none,
            stop);
        return;
    } catch (const MailboxAttachmentError& error) {
        if (error.kind() != MailboxAttachmentError::Kind::tooLarge)
            failure = std::current_exception();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        noteZoneError(failure, channel.pairing().zoneName);
        return;
    }
    try {
        send(MailboxResponseContent { message.id, tooLargeReply() }, std::nullopt, channel,
            MailboxNotify::none, stop);
    } catch (...) {
        // The device's request times out; nothing better can reach it.
    }
}

}
