#include "VellumarMacCore/Mailbox/MacMailboxBridge.h"

#include "VellumarMacCore/ConversationData/SpoolRemoval.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Relay/RelayRouter.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vellumar {

namespace {

    constexpr std::string_view kSpoolPrefix = ".incoming-mailbox-";
    constexpr std::size_t kSpoolRandomBytes = 8;

    const RelayHTTPError kTooLarge { 413, "too_large", "The request is too large." };
    const RelayHTTPError kCannotStore { 507, "insufficient_storage", "The Mac could not store the file." };

    bool isUpload(const HTTPRequest& request)
    {
        return request.method() == "POST" && request.segments() == std::vector<std::string> { "v1", "files" };
    }

    HTTPRequest relayRequest(const movrane::MailboxInboundRequest& inbound)
    {
        const auto& mailboxRequest = inbound.request;
        // A query that is present but empty still ends the target with "?", as the phone sent it.
        auto target = mailboxRequest.path;
        if (mailboxRequest.query)
            target += "?" + *mailboxRequest.query;
        // The map's order is the names' order before lower-casing, so two names that differ only in case
        // reach the router in that order.
        HTTPHeaders headers(mailboxRequest.headers.begin(), mailboxRequest.headers.end());
        HTTPRequest request(mailboxRequest.method, target, std::move(headers),
            std::string(mailboxRequest.body.begin(), mailboxRequest.body.end()), true);
        request.setBodyFile(inbound.bodyFile);
        return request;
    }

    // The body written whole under a private temporary name and only then renamed into place, so
    // nothing reads half an upload; the file on success, none (and nothing left behind) otherwise.
    std::optional<std::filesystem::path> spool(const std::string& body, const std::filesystem::path& folder)
    {
        auto file = folder / (std::string(kSpoolPrefix) + RelayIDs::randomHex(kSpoolRandomBytes));
        try {
            ensurePrivateDirectory(folder);
            writePrivateFile(body, file);
            return file;
        } catch (...) {
            UploadStore::discardSpool(file);
            return std::nullopt;
        }
    }

    movrane::MailboxRelayResponse errorResponse(const RelayHTTPError& error)
    {
        return mailboxRelayResponse(HTTPResponse(error));
    }

}

movrane::MailboxRelayResponse handleMailboxInboundRequest(const movrane::MailboxInboundRequest& inbound,
    const std::filesystem::path& incomingFolder, const MailboxRequestHandler& handler)
{
    try {
        auto request = relayRequest(inbound);
        std::optional<std::filesystem::path> spooled;
        if (isUpload(request)) {
            if (!request.bodyFile()) {
                spooled = spool(request.body(), incomingFolder);
                if (!spooled)
                    return errorResponse(kCannotStore);
                request.setBodyFile(spooled);
                request.setBody({});
            }
        } else if (request.bodyFile()
            || static_cast<std::int64_t>(request.body().size()) > kMailboxMemoryBodyLimitBytes) {
            return errorResponse(kTooLarge);
        }
        SpoolRemoval removal(std::move(spooled));
        return mailboxRelayResponse(handler(request, RequestOrigin::mailbox(inbound.pairing)));
    } catch (...) {
        // Only running out of memory gets here; the phone hears what the router says of any failure.
        return errorResponse(RelayHTTPError::internal());
    }
}

movrane::MailboxRelayResponse mailboxRelayResponse(const HTTPResponse& response)
{
    if (const auto& upgrade = response.upgrade()) {
        // The terminal session prepared for the upgrade would otherwise wait for a socket that never comes.
        if (upgrade->cancel)
            upgrade->cancel();
        return errorResponse(RelayHTTPError::lanOnly);
    }
    if (const auto& file = response.file())
        return movrane::MailboxRelayResponse::make(response.status(), response.headers(), {}, file->location);
    const auto& body = response.body();
    return movrane::MailboxRelayResponse::make(
        response.status(), response.headers(), movrane::MailboxBytes(body.begin(), body.end()));
}

std::function<movrane::MailboxRelayResponse(const movrane::MailboxInboundRequest&)> mailboxRequestHandler(
    const RelayRouter& router, std::filesystem::path incomingFolder)
{
    return [&router, folder = std::move(incomingFolder)](const movrane::MailboxInboundRequest& inbound) {
        return handleMailboxInboundRequest(
            inbound, folder, [&router](const HTTPRequest& request, const RequestOrigin& origin) {
                return router.respond(request, origin);
            });
    };
}

}
