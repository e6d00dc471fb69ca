// The router's memory and activity areas: what the Mac remembers of a conversation, and what its
// bots did.
#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"

#include <algorithm>
#include <optional>
#include <string>

namespace vellumar {

std::string RelayRouter::requiredConversationID(const HTTPRequest& request)
{
    auto conversationID = request.queryValue("conversationId");
    if (!conversationID || !RelayIDs::isValidConversationID(*conversationID))
        throw RelayHTTPError::badRequest("conversationId is not valid.");
    return *conversationID;
}

HTTPResponse RelayRouter::handleMemory(const HTTPRequest& request) const
{
    auto conversationID = requiredConversationID(request);
    if (request.method() == "GET") {
        return HTTPResponse::json(200,
            JSON::object({ { "conversationId", conversationID },
                { "items", JSON::Array(m_data.memory.memories(conversationID)) } }));
    }
    if (request.method() != "PUT")
        throw RelayHTTPError::methodNotAllowed;
    auto body = decodeBody(request);
    const auto* object = body ? body->objectValue() : nullptr;
    if (!object || std::ranges::any_of(*object, [](const auto& member) { return member.first != "items"; }))
        throw RelayHTTPError::badRequest(R"(Send {"items": [...]}.)");
    std::optional<JSON> items;
    if (const auto* member = body->subscript("items"))
        items = *member;
    return HTTPResponse::json(200,
        JSON::object({ { "conversationId", conversationID },
            { "items", JSON::Array(m_data.memory.replace(conversationID, items)) } }));
}

HTTPResponse RelayRouter::handleActivity(const HTTPRequest& request) const
{
    auto conversationID = requiredConversationID(request);
    if (request.method() == "GET") {
        return HTTPResponse::json(200,
            JSON::object({ { "conversationId", conversationID },
                { "entries", JSON::Array(m_data.activity.entries(conversationID)) } }));
    }
    if (request.method() != "DELETE")
        throw RelayHTTPError::methodNotAllowed;
    m_data.activity.clear(conversationID);
    return HTTPResponse::json(
        200, JSON::object({ { "conversationId", conversationID }, { "cleared", true } }));
}

}
