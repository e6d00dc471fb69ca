// The checks of a create or update body, in the order the phone learns of the first one it breaks.
#include "VellumarMacCore/Foundations/CleanText.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Permissions/PermissionSettings.h"
#include "VellumarMacCore/Reply/BotProfile.h"
#include "VellumarMacCore/Reply/JobSubmission.h"
#include "VellumarMacCore/Routines/RoutineManager.h"
#include "VellumarMacCore/Schedule/RoutineLimits.h"
#include "VellumarMacCore/Schedule/RoutineSchedule.h"

#include <algorithm>
#include <array>

namespace vellumar {

namespace {

    constexpr std::array<std::string_view, 5> kRequiredOnCreate { "botId", "conversationId", "name", "prompt",
        "schedule" };
    constexpr std::array<std::string_view, 11> kAllowedOnCreate { "botId", "conversationId", "name", "prompt",
        "schedule", "enabled", "target", "bot", "permissions", "timeLimitSeconds", "includeToday" };
    constexpr std::array<std::string_view, 9> kAllowedOnUpdate { "name", "prompt", "schedule", "enabled",
        "target", "bot", "permissions", "timeLimitSeconds", "includeToday" };
    constexpr std::array<std::string_view, 2> kBooleanMembers { "enabled", "includeToday" };

    // One less than the conversation id's own limit leaves room for the ":" and routine id of the
    // routine's own conversation within what a conversation id may hold.
    constexpr std::size_t kMaxConversationIDLength = 117;

    template <std::size_t Count>
    bool contains(const std::array<std::string_view, Count>& list, std::string_view key)
    {
        return std::find(list.begin(), list.end(), key) != list.end();
    }

    // The trimmed text of a name or prompt, or the 400 that names its limit.
    std::string cleanedText(
        const JSON& value, std::string_view member, std::size_t maximum, CleanText::LineBreaks lineBreaks)
    {
        std::optional<std::string> cleaned;
        if (const auto* text = value.stringValue())
            cleaned = CleanText::trimmedField(*text, maximum, lineBreaks);
        if (!cleaned || cleaned->empty())
            throw RelayHTTPError::badRequest(
                std::string(member) + " must be 1 to " + std::to_string(maximum) + " characters.");
        return *cleaned;
    }

}

JSON::Object RoutineManager::validate(const JSON& body, bool creating)
{
    const auto* members = body.objectValue();
    bool acceptable = members && std::all_of(members->begin(), members->end(), [&](const auto& member) {
        return creating ? contains(kAllowedOnCreate, member.first) : contains(kAllowedOnUpdate, member.first);
    }) && (!creating || std::all_of(kRequiredOnCreate.begin(), kRequiredOnCreate.end(), [&](auto key) {
        return members->contains(key);
    }));
    if (!acceptable)
        throw RelayHTTPError::badRequest("The routine's fields are not valid.");

    JSON::Object accepted;
    if (const auto* botID = body.subscript("botId")) {
        if (!botID->stringValue() || !RelayIDs::isValidID(*botID->stringValue()))
            throw RelayHTTPError::badRequest("botId is not valid.");
        accepted.emplace("botId", *botID);
    }
    if (const auto* conversationID = body.subscript("conversationId")) {
        const auto* text = conversationID->stringValue();
        if (!text || !RelayIDs::isValidConversationID(*text) || text->size() > kMaxConversationIDLength)
            throw RelayHTTPError::badRequest("conversationId is not valid.");
        accepted.emplace("conversationId", *conversationID);
    }
    if (const auto* name = body.subscript("name"))
        accepted.emplace(
            "name", cleanedText(*name, "name", RoutineLimits::maxNameLength, CleanText::LineBreaks::refused));
    if (const auto* prompt = body.subscript("prompt"))
        accepted.emplace("prompt",
            cleanedText(*prompt, "prompt", RoutineLimits::maxPromptLength, CleanText::LineBreaks::allowed));
    if (const auto* schedule = body.subscript("schedule")) {
        auto timeZone = zone();
        accepted.emplace("schedule", RoutineSchedule(*schedule, now(), *timeZone).json());
    }
    for (auto key : kBooleanMembers) {
        if (const auto* flag = body.subscript(key)) {
            if (!flag->boolValue())
                throw RelayHTTPError::badRequest(std::string(key) + " must be true or false.");
            accepted.emplace(key, *flag);
        }
    }
    if (const auto* target = body.subscript("target")) {
        const auto* text = target->stringValue();
        if (!text || (*text != "routine" && *text != "bot"))
            throw RelayHTTPError::badRequest("target must be routine or bot.");
        accepted.emplace("target", *target);
    }
    if (const auto* bot = body.subscript("bot")) {
        auto profile = BotProfile::parse(bot);
        accepted.emplace("bot", profile ? profile->json() : JSON());
    }
    if (const auto* permissions = body.subscript("permissions")) {
        PermissionSettings checked(*permissions);
        accepted.emplace("permissions", *permissions);
    }
    if (const auto* limit = body.subscript("timeLimitSeconds"))
        accepted.emplace("timeLimitSeconds", JSON::number(JobSubmission::parseTimeLimit(limit)));
    return accepted;
}

}
