// The router's file areas: the files of a conversation's work folder (list, upload, download) and
// the browser of the Mac's folders.
#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/ConversationData/UploadRules.h"
#include "VellumarMacCore/ConversationData/Workspaces.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Permissions/FolderProbe.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vellumar {

namespace {

    RelayHTTPError badFilePath() { return { 400, "bad_path", "The file path is not valid." }; }

}

HTTPResponse RelayRouter::handleFiles(const HTTPRequest& request, Components rest) const
{
    if (!rest.empty()) {
        if (request.method() != "GET")
            throw RelayHTTPError::methodNotAllowed;
        return download(rest);
    }
    auto conversationID = requiredConversationID(request);
    if (request.method() == "GET")
        return HTTPResponse::json(200, m_data.uploads.list(conversationID));
    if (request.method() != "POST")
        throw RelayHTTPError::methodNotAllowed;
    if (!request.bodyFile())
        throw RelayHTTPError::badRequest("The file did not arrive.");
    return HTTPResponse::json(200,
        m_data.uploads.receive(*request.bodyFile(), conversationID, request.header("x-file-name"),
            request.header("content-type")));
}

HTTPResponse RelayRouter::download(Components rest) const
{
    if (rest.size() < 2 || !RelayIDs::isValidConversationID(rest[0]))
        throw badFilePath();
    std::vector<std::string> components(rest.begin() + 1, rest.end());
    auto stored = m_data.uploads.file(rest[0], components);

    std::string relativePath;
    for (const auto& piece : components)
        relativePath += (relativePath.empty() ? "" : "/") + piece;
    // The name the phone listed: an upload without the random prefix its stored name carries.
    auto entry = Workspaces::fileJSON(relativePath, stored.size, 0, Workspaces::FileDetail::bare);
    const auto* listedName = entry.subscript("name");
    const auto* name = listedName ? listedName->stringValue() : nullptr;
    return HTTPResponse::download(
        stored.location, stored.size, UploadRules::mimeType(stored.name), name ? *name : stored.name);
}

HTTPResponse RelayRouter::handleFileSystemList(const HTTPRequest& request) const
{
    if (request.method() != "GET")
        throw RelayHTTPError::methodNotAllowed;
    const auto& query = *request.query();
    if (query.size() > 1 || std::ranges::any_of(query, [](const auto& item) { return item.first != "path"; }))
        throw RelayHTTPError::badRequest("Only path may be given.");
    auto path = request.queryValue("path");
    PermissionResolver resolver = m_data.resolver;
    return HTTPResponse::json(200,
        offload([resolver, path] { return resolver.browseFolder(path); },
            detail::folderDidNotOpenInTime(path.value_or("~"))));
}

JSON RelayRouter::offload(std::function<JSON()> work, const RelayHTTPError& late) const
{
    // The resolver's own timed probe, run on the router's small pool with a longer wait, so that a
    // listing stuck outside the resolver's probes still gives the request back.
    PermissionResolver waiter = m_data.resolver;
    waiter.probePool = m_browsePool;
    waiter.probeTimeout += kBrowseGraceSeconds;
    auto listing = waiter.probe(std::move(work));
    if (!listing)
        throw late;
    return std::move(*listing);
}

}
