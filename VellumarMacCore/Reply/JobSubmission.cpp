#include "VellumarMacCore/Reply/JobSubmission.h"

#include "VellumarMacCore/ConversationData/ApprovalStore.h"
#include "VellumarMacCore/ConversationData/UploadRules.h"
#include "VellumarMacCore/ConversationData/Workspaces.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Reply/RequestFields.h"

#include <algorithm>

namespace vellumar {

namespace {

    constexpr std::string_view kBodyMessage = "The body must be a JSON object.";
    constexpr std::string_view kKeysMessage = "The request has keys this relay does not know.";
    constexpr std::string_view kConversationMessage = "conversationId is not valid.";
    constexpr std::string_view kBotIDMessage = "botId is not valid.";
    constexpr std::string_view kAttachmentListMessage = "attachments must be a list of at most 10 file IDs.";
    constexpr std::string_view kAttachmentKindMessage = "attachments may only name uploaded files.";
    constexpr std::string_view kMessageMessage = "message must be 1 to 8000 characters.";
    constexpr std::string_view kModeMessage = "mode must be queue or interrupt.";
    constexpr std::string_view kTimeLimitMessage = "timeLimitSeconds must be a whole number of seconds.";
    constexpr std::string_view kVaultMessage = "vault is not valid.";
    constexpr std::string_view kOtherBotsMessage = "otherBots is not valid.";
    constexpr std::string_view kAllowedActionsMessage = "allowedActions is not valid.";
    constexpr std::string_view kApprovalsMessage = "approvals must list at most 2 approval IDs.";

    // Previews and video frames are made from an upload and kept beside it; a run may only be handed
    // the upload itself, never a derived file or one of the bot's own.
    bool isUploadID(std::string_view id) { return Workspaces::origin(id) == "upload"; }

    // The member's array, or nullptr when it is absent or null; anything else but an array throws.
    const JSON::Array* optionalArray(const JSON* value, std::string_view message)
    {
        if (detail::isAbsent(value))
            return nullptr;
        const auto* array = value->arrayValue();
        if (!array)
            detail::refuse(message);
        return array;
    }

    // The array's strings in order; nullopt when an element is not a string.
    std::optional<std::vector<std::string>> strings(const JSON::Array& array)
    {
        std::vector<std::string> texts;
        texts.reserve(array.size());
        for (const auto& element : array) {
            const auto* text = element.stringValue();
            if (!text)
                return std::nullopt;
            texts.push_back(*text);
        }
        return texts;
    }

    // Text equality as the rest of the relay sees it: canonically equivalent texts are the same.
    bool hasRepeats(const JSON::Array& array)
    {
        for (auto element = array.begin(); element != array.end(); ++element) {
            if (std::find(std::next(element), array.end(), *element) != array.end())
                return true;
        }
        return false;
    }

    void checkKeys(const JSON::Object& body)
    {
        for (const auto& [key, value] : body) {
            if (std::ranges::find(JobSubmission::kKeys, key) == JobSubmission::kKeys.end())
                detail::refuse(kKeysMessage);
        }
    }

    std::string requiredID(
        const JSON& body, std::string_view key, bool (*isValid)(std::string_view), std::string_view message)
    {
        const auto* value = body.subscript(key);
        const std::string* text = value ? value->stringValue() : nullptr;
        if (!text || !isValid(*text))
            detail::refuse(message);
        return *text;
    }

    JobMode parseMode(const JSON* value)
    {
        if (detail::isAbsent(value))
            return JobMode::queue;
        const std::string* text = value->stringValue();
        auto mode = text ? jobModeFromRawValue(*text) : std::nullopt;
        if (!mode)
            detail::refuse(kModeMessage);
        return *mode;
    }

    std::optional<PermissionSettings> parsePermissions(const JSON* value)
    {
        if (detail::isAbsent(value))
            return std::nullopt;
        return PermissionSettings(*value);
    }

    // The phone may send a vault list; nothing on the Mac reads it, so it is only checked.
    void checkVault(const JSON* value)
    {
        if (!detail::isAbsent(value) && !value->arrayValue())
            detail::refuse(kVaultMessage);
    }

}

JobSubmission JobSubmission::parse(const JSON& body)
{
    const auto* object = body.objectValue();
    if (!object)
        detail::refuse(kBodyMessage);
    checkKeys(*object);

    JobSubmission submission;
    submission.conversationID
        = requiredID(body, "conversationId", RelayIDs::isValidConversationID, kConversationMessage);
    submission.botID = requiredID(body, "botId", RelayIDs::isValidID, kBotIDMessage);
    submission.attachments = parseAttachments(body.subscript("attachments"));

    auto message = detail::cleanedString(
        body.subscript("message"), kMaxMessageCharacters, CleanText::LineBreaks::allowed);
    if (!message || (message->empty() && submission.attachments.empty()))
        detail::refuse(kMessageMessage);
    submission.message = std::move(*message);

    submission.mode = parseMode(body.subscript("mode"));
    submission.timeLimit = parseTimeLimit(body.subscript("timeLimitSeconds"));
    submission.permissions = parsePermissions(body.subscript("permissions"));
    checkVault(body.subscript("vault"));
    submission.bot = BotProfile::parse(body.subscript("bot"));
    submission.otherBots = parseOtherBots(body.subscript("otherBots"));
    submission.allowedActions = parseAllowedActions(body.subscript("allowedActions"));
    submission.autoCompact = AutoCompactSetting::parse(body.subscript("autoCompact"));
    submission.approvals = parseApprovals(body.subscript("approvals"));
    return submission;
}

double JobSubmission::parseTimeLimit(const JSON* value)
{
    if (detail::isAbsent(value))
        return kDefaultTimeLimitSeconds;
    auto seconds = value->intValue();
    if (!seconds || *seconds < 0)
        detail::refuse(kTimeLimitMessage);
    // No limit asked for means the longest one allowed.
    if (*seconds == 0)
        return kMaxTimeLimitSeconds;
    return std::clamp(static_cast<double>(*seconds), kMinTimeLimitSeconds, kMaxTimeLimitSeconds);
}

std::vector<std::string> JobSubmission::parseAttachments(const JSON* value)
{
    const auto* array = optionalArray(value, kAttachmentListMessage);
    if (!array)
        return {};
    if (array->size() > static_cast<std::size_t>(UploadRules::maxAttachments))
        detail::refuse(kAttachmentListMessage);
    auto ids = strings(*array);
    if (!ids || hasRepeats(*array) || !std::ranges::all_of(*ids, isUploadID))
        detail::refuse(kAttachmentKindMessage);
    return std::move(*ids);
}

std::vector<OtherBot> JobSubmission::parseOtherBots(const JSON* value)
{
    const auto* array = optionalArray(value, kOtherBotsMessage);
    if (!array)
        return {};
    if (array->size() > kMaxOtherBots)
        detail::refuse(kOtherBotsMessage);
    std::vector<OtherBot> bots;
    bots.reserve(array->size());
    for (const auto& element : *array)
        bots.push_back(OtherBot::parse(element));
    return bots;
}

std::vector<std::string> JobSubmission::parseAllowedActions(const JSON* value)
{
    const auto* array = optionalArray(value, kAllowedActionsMessage);
    if (!array)
        return {};
    if (array->size() > kMaxAllowedActions)
        detail::refuse(kAllowedActionsMessage);
    auto names = strings(*array);
    if (!names || !std::ranges::all_of(*names, isActionName))
        detail::refuse(kAllowedActionsMessage);
    std::vector<std::string> distinct;
    for (auto& name : *names) {
        if (std::ranges::find(distinct, name) == distinct.end())
            distinct.push_back(std::move(name));
    }
    return distinct;
}

std::vector<std::string> JobSubmission::parseApprovals(const JSON* value)
{
    const auto* array = optionalArray(value, kApprovalsMessage);
    if (!array)
        return {};
    auto ids = array->size() <= kMaxApprovals ? strings(*array) : std::nullopt;
    if (!ids || hasRepeats(*array) || !std::ranges::all_of(*ids, isApprovalID))
        detail::refuse(kApprovalsMessage);
    return std::move(*ids);
}

bool JobSubmission::isActionName(std::string_view name)
{
    return name.size() <= kMaxActionNameLength && std::ranges::all_of(name, [](char character) {
        return (character >= 'a' && character <= 'z') || character == '_';
    });
}

}
