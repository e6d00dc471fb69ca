// The router's job and conversation areas: sending a chat message, following and stopping its job,
// answering its permission questions, and stopping, clearing or compacting a conversation.
#include "VellumarMacCore/Relay/RelayRouter.h"

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Permissions/PermissionDecider.h"
#include "VellumarMacCore/Relay/QueryNumbers.h"
#include "VellumarMacCore/Relay/RouterQuery.h"
#include "VellumarMacCore/Reply/ReplyRunner.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string_view>

namespace vellumar {

namespace {

    constexpr std::string_view kAnswerMessage
        = "Send requestId and decision (once, conversation, always or deny).";
    constexpr std::string_view kCompactMessage = "Send botId (and optionally bot and permissions).";
    constexpr std::string_view kClearMessage = "Only workspace (true or false) may be given.";
    constexpr std::array<std::string_view, 4> kDecisions { "once", "conversation", "always", "deny" };

    RelayHTTPError jobNotFound() { return { 404, "not_found", "The job was not found." }; }

    [[noreturn]] void refuse(std::string_view message)
    {
        throw RelayHTTPError::badRequest(std::string(message));
    }

    HTTPResponse ok(const JSON& value) { return HTTPResponse::json(200, value); }

    struct WaitQuery {
        double seconds { 0 };
        std::optional<std::int64_t> since;
    };

    WaitQuery parseWaitQuery(const QueryItems& query)
    {
        detail::requireOnlyQueryNames(query, { "wait", "since" }, "Only wait and since may be given.");
        WaitQuery parsed;
        if (const auto* wait = detail::queryItem(query, "wait")) {
            auto seconds = detail::parsedNumber<double>(*wait);
            if (!seconds || !std::isfinite(*seconds) || *seconds < 0
                || *seconds > JobManager::kMaxWaitSeconds)
                refuse("wait must be 0 to 25 seconds.");
            parsed.seconds = *seconds;
        }
        if (const auto* since = detail::queryItem(query, "since")) {
            parsed.since = detail::parsedNumber<std::int64_t>(*since);
            if (!parsed.since || *parsed.since < -1)
                refuse("since must be a whole number.");
        }
        return parsed;
    }

    // Every key of the body object is in `allowed`.
    bool hasOnlyKeys(const JSON::Object& object, std::initializer_list<std::string_view> allowed)
    {
        return std::ranges::all_of(object, [&](const auto& member) {
            return std::ranges::find(allowed, std::string_view(member.first)) != allowed.end();
        });
    }

    const std::string* textMember(const JSON& object, std::string_view key)
    {
        const auto* member = object.subscript(key);
        return member ? member->stringValue() : nullptr;
    }

}

HTTPResponse RelayRouter::handleJobs(const HTTPRequest& request, Components rest) const
{
    if (rest.empty()) {
        if (request.method() != "POST")
            throw RelayHTTPError::methodNotAllowed;
        return submitJob(request);
    }
    const auto& jobID = rest[0];
    if (rest.size() == 1) {
        if (request.method() != "GET")
            throw RelayHTTPError::methodNotAllowed;
        return waitForJob(request, jobID);
    }
    if (!RelayIDs::isValidJobID(jobID) || !m_jobs.status(jobID))
        throw jobNotFound();
    if (rest.size() > 2)
        throw RelayHTTPError::notFound;
    if (rest[1] == "cancel") {
        if (request.method() != "POST")
            throw RelayHTTPError::methodNotAllowed;
        auto status = m_jobs.cancel(jobID);
        if (!status)
            throw jobNotFound();
        return ok(*status);
    }
    if (rest[1] == "permission") {
        if (request.method() != "POST")
            throw RelayHTTPError::methodNotAllowed;
        return answerQuestion(request, jobID);
    }
    throw RelayHTTPError::notFound;
}

HTTPResponse RelayRouter::submitJob(const HTTPRequest& request) const
{
    auto submission = JobSubmission::parse(decodeBody(request).value_or(JSON()));
    checkAttachments(submission.conversationID, submission.attachments);
    return HTTPResponse::json(202, m_jobs.submit(std::move(submission)));
}

void RelayRouter::checkAttachments(
    const std::string& conversationID, const std::vector<std::string>& attachments) const
{
    if (attachments.empty())
        return;
    auto refused = [] { refuse("An attachment was not found on the Mac. Send it again."); };
    auto folder = m_data.workspaces.existingFolder(conversationID);
    if (!folder)
        refused();
    for (const auto& attachment : attachments) {
        try {
            Workspaces::resolveReadable(attachment, *folder);
        } catch (...) {
            // Whatever the resolver found wrong, the phone can only send the file again.
            refused();
        }
    }
}

HTTPResponse RelayRouter::waitForJob(const HTTPRequest& request, const std::string& jobID) const
{
    if (!RelayIDs::isValidJobID(jobID))
        throw jobNotFound();
    auto query = parseWaitQuery(*request.query());
    auto status = m_jobs.waitEncoded(jobID, query.since, query.seconds);
    if (!status)
        throw jobNotFound();
    return HTTPResponse::encodedJSON(200, *status);
}

HTTPResponse RelayRouter::answerQuestion(const HTTPRequest& request, const std::string& jobID) const
{
    auto body = decodeBody(request);
    const auto* object = body ? body->objectValue() : nullptr;
    if (!object || !hasOnlyKeys(*object, { "requestId", "decision" }))
        refuse(kAnswerMessage);
    const auto* requestID = textMember(*body, "requestId");
    if (!requestID || !isPermissionRequestID(*requestID))
        refuse(kAnswerMessage);
    const auto* decision = textMember(*body, "decision");
    if (!decision || std::ranges::find(kDecisions, *decision) == kDecisions.end())
        refuse(kAnswerMessage);
    return ok(m_jobs.answer(jobID, *requestID, *decision));
}

HTTPResponse RelayRouter::handleConversations(const HTTPRequest& request, Components rest) const
{
    if (rest.size() != 2)
        throw RelayHTTPError::notFound;
    if (request.method() != "POST")
        throw RelayHTTPError::methodNotAllowed;
    const auto& conversationID = rest[0];
    if (!RelayIDs::isValidConversationID(conversationID))
        refuse("conversationId is not valid.");
    if (rest[1] == "cancel") {
        return ok(JSON::object({ { "conversationId", conversationID },
            { "canceled", m_jobs.cancelConversation(conversationID) } }));
    }
    if (rest[1] == "clear")
        return clearConversation(request, conversationID);
    if (rest[1] == "compact")
        return compactConversation(request, conversationID);
    throw RelayHTTPError::notFound;
}

HTTPResponse RelayRouter::clearConversation(
    const HTTPRequest& request, const std::string& conversationID) const
{
    auto body = decodeBody(request);
    const auto* options = body ? body->objectValue() : nullptr;
    if (options && !hasOnlyKeys(*options, { "workspace" }))
        refuse(kClearMessage);
    const auto* workspace = options ? body->subscript("workspace") : nullptr;
    if (workspace && !workspace->boolValue())
        refuse(kClearMessage);
    refuseWhileBusy(conversationID);
    auto workFolder = workspace && *workspace->boolValue() ? WorkFolder::clear : WorkFolder::keep;
    auto cleared = m_runner->clearConversation(conversationID, workFolder);
    return ok(JSON::object({ { "conversationId", conversationID }, { "cleared", true },
        { "hadSession", cleared.hadSession }, { "workspaceCleared", cleared.workspaceCleared } }));
}

HTTPResponse RelayRouter::compactConversation(
    const HTTPRequest& request, const std::string& conversationID) const
{
    auto body = decodeBody(request);
    const auto* object = body ? body->objectValue() : nullptr;
    if (!object || !hasOnlyKeys(*object, { "botId", "bot", "permissions" }))
        refuse(kCompactMessage);
    const auto* botID = textMember(*body, "botId");
    if (!botID || !RelayIDs::isValidID(*botID))
        refuse(kCompactMessage);
    CompactionRequest compaction {
        .conversationID = conversationID, .botID = *botID, .bot = BotProfile::parse(body->subscript("bot"))
    };
    if (const auto* permissions = body->subscript("permissions"); permissions && !permissions->isNull())
        compaction.permissions = PermissionSettings(*permissions);
    refuseWhileBusy(conversationID);
    // A compaction is not stopped from here: the phone that asked for it waits for its summary.
    auto compacted = m_runner->compact(compaction, std::stop_token());
    JSON::Object reply { { "conversationId", conversationID }, { "summary", compacted.summary } };
    if (compacted.context)
        reply.emplace("context", *compacted.context);
    return ok(reply);
}

void RelayRouter::refuseWhileBusy(const std::string& conversationID) const
{
    if (m_jobs.hasWork(conversationID))
        throw RelayHTTPError(429, "busy", "A reply is still being written. Try again when it is done.", 5);
}

}
