#include "VellumarMacCore/Reply/JobRecords.h"

#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Reply/RequestFields.h"

#include <algorithm>

namespace vellumar {

namespace {

    // Indexed by the case's declaration order.
    constexpr std::string_view kJobModeRawValues[] = { "queue", "interrupt" };

    constexpr std::size_t kOtherBotNameCharacters = 20;
    constexpr std::size_t kOtherBotRoleCharacters = 12;

    constexpr std::string_view kOtherBotsMessage = "otherBots is not valid.";
    constexpr std::string_view kOtherBotRoleMessage = "otherBots.role is not valid.";
    constexpr std::string_view kAutoCompactShapeMessage
        = R"(autoCompact must be {"mode": "off" | "auto" | "suggest", "tokens": n}.)";
    constexpr std::string_view kAutoCompactTokensMessage = "autoCompact.tokens must be 20000 to 1000000.";

    constexpr std::string_view kAutoCompactModes[] = { "off", "auto", "suggest" };

}

std::string_view rawValue(JobMode mode) { return kJobModeRawValues[static_cast<std::size_t>(mode)]; }

std::optional<JobMode> jobModeFromRawValue(std::string_view text)
{
    for (auto mode : { JobMode::queue, JobMode::interrupt }) {
        if (rawValue(mode) == text)
            return mode;
    }
    return std::nullopt;
}

OtherBot OtherBot::parse(const JSON& element)
{
    const auto* object = element.objectValue();
    if (!object || !detail::hasOnlyKeys(*object, { "id", "name", "role" }))
        detail::refuse(kOtherBotsMessage);
    const auto* id = element.subscript("id");
    if (!id || !id->stringValue() || !RelayIDs::isValidID(*id->stringValue()))
        detail::refuse(kOtherBotsMessage);
    auto name = detail::cleanedString(
        element.subscript("name"), kOtherBotNameCharacters, CleanText::LineBreaks::refused);
    if (!name || name->empty())
        detail::refuse(kOtherBotsMessage);
    auto role = detail::optionalCleanedString(element.subscript("role"), kOtherBotRoleCharacters,
        CleanText::LineBreaks::refused, kOtherBotRoleMessage);
    return { *id->stringValue(), std::move(*name), std::move(role) };
}

std::optional<AutoCompactSetting> AutoCompactSetting::parse(const JSON* value)
{
    if (detail::isAbsent(value))
        return std::nullopt;
    const auto* object = value->objectValue();
    if (!object || !detail::hasOnlyKeys(*object, { "mode", "tokens" }))
        detail::refuse(kAutoCompactShapeMessage);
    const auto* mode = value->subscript("mode");
    const std::string* modeText = mode ? mode->stringValue() : nullptr;
    if (!modeText || std::ranges::find(kAutoCompactModes, *modeText) == std::end(kAutoCompactModes))
        detail::refuse(kAutoCompactShapeMessage);

    std::int64_t tokens = kDefaultTokens;
    if (const auto* tokensValue = value->subscript("tokens")) {
        auto count = tokensValue->intValue();
        if (!count || *count < kTokenRange.lowest || *count > kTokenRange.highest)
            detail::refuse(kAutoCompactTokensMessage);
        tokens = *count;
    }
    return AutoCompactSetting { *modeText, tokens };
}

}
