#include "VellumarMacCore/Reply/BotProfile.h"

#include "VellumarMacCore/Reply/RequestFields.h"

namespace vellumar {

namespace {

    constexpr std::size_t kNameCharacters = 20;
    constexpr std::size_t kRoleCharacters = 12;
    constexpr std::size_t kPersonaCharacters = 1000;

    constexpr std::string_view kBotMessage = "bot is not valid.";
    constexpr std::string_view kRoleMessage = "bot.role is not valid.";
    constexpr std::string_view kPersonaMessage = "bot.persona is not valid.";
    constexpr std::string_view kPrimaryMessage = "bot.primary must be true or false.";

}

std::optional<BotProfile> BotProfile::parse(const JSON* value)
{
    if (detail::isAbsent(value))
        return std::nullopt;
    const auto* object = value->objectValue();
    // The phone may send "nuvoMemory" as well; the relay has no use for it.
    if (!object || !detail::hasOnlyKeys(*object, { "name", "role", "persona", "primary", "nuvoMemory" }))
        detail::refuse(kBotMessage);

    auto name
        = detail::cleanedString(value->subscript("name"), kNameCharacters, CleanText::LineBreaks::refused);
    if (!name || name->empty())
        detail::refuse(kBotMessage);
    auto role = detail::optionalCleanedString(
        value->subscript("role"), kRoleCharacters, CleanText::LineBreaks::refused, kRoleMessage);
    auto persona = detail::optionalCleanedString(
        value->subscript("persona"), kPersonaCharacters, CleanText::LineBreaks::allowed, kPersonaMessage);

    bool primary = false;
    if (const auto* primaryValue = value->subscript("primary"); !detail::isAbsent(primaryValue)) {
        auto flag = primaryValue->boolValue();
        if (!flag)
            detail::refuse(kPrimaryMessage);
        primary = *flag;
    }
    return BotProfile { std::move(*name), std::move(role), std::move(persona), primary };
}

JSON BotProfile::json() const
{
    return JSON::object(
        { { "name", name }, { "role", role }, { "persona", persona }, { "primary", primary } });
}

}
