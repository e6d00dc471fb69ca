#include "VellumarMacCore/Reply/ActionExtractor.h"

#include "VellumarMacCore/Foundations/CleanText.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Foundations/Whitespace.h"
#include "VellumarMacCore/Schedule/RoutineLimits.h"
#include "VellumarMacCore/Schedule/RoutineSchedule.h"

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <span>
#include <utility>

namespace vellumar::ActionExtractor {

namespace {

    using CleanText::LineBreaks;

    // The fences are found by a scanner on the UTF-8 text that matches exactly what the patterns
    //   block:      ```action[ \t]*\r?\n(.*?)```      (dot matching line breaks)
    //   unclosed:   ```action[ \t]*\r?\n.*\z
    // match, so a long reply is not copied into UTF-16 and back for a regular-expression engine, and
    // the text around the blocks keeps its bytes.
    constexpr std::string_view kOpening = "```action";
    constexpr std::string_view kFence = "```";
    constexpr std::size_t kReasonTypeCharacters = 30;

    struct Block {
        std::size_t begin; // the opening fence
        std::size_t end; // just past the closing fence
        std::string_view body;
    };

    // Where the body of an opening line starting at `open` begins, or npos when the line is not one.
    std::size_t bodyStart(std::string_view text, std::size_t open)
    {
        std::size_t index = open + kOpening.size();
        while (index < text.size() && (text[index] == ' ' || text[index] == '\t'))
            ++index;
        if (index < text.size() && text[index] == '\r')
            ++index;
        return index < text.size() && text[index] == '\n' ? index + 1 : std::string_view::npos;
    }

    // The first opening line at or after `from`: its start and its body's start.
    std::optional<std::pair<std::size_t, std::size_t>> nextOpening(std::string_view text, std::size_t from)
    {
        for (auto open = text.find(kOpening, from); open != std::string_view::npos;
             open = text.find(kOpening, open + 1)) {
            if (auto body = bodyStart(text, open); body != std::string_view::npos)
                return std::pair { open, body };
        }
        return std::nullopt;
    }

    std::vector<Block> closedBlocks(std::string_view text)
    {
        std::vector<Block> blocks;
        std::size_t from = 0;
        while (auto opening = nextOpening(text, from)) {
            auto [open, body] = *opening;
            auto close = text.find(kFence, body);
            if (close == std::string_view::npos)
                break;
            blocks.push_back({ open, close + kFence.size(), text.substr(body, close - body) });
            from = close + kFence.size();
        }
        return blocks;
    }

    std::string withoutBlocks(std::string_view text, const std::vector<Block>& blocks)
    {
        std::string kept;
        std::size_t from = 0;
        for (const auto& block : blocks) {
            kept.append(text.substr(from, block.begin - from));
            from = block.end;
        }
        kept.append(text.substr(from));
        return kept;
    }

    // Where an unclosed block starts once the closed ones are gone; it runs to the end of the text.
    std::optional<std::size_t> unclosedBlockStart(std::string_view text)
    {
        auto opening = nextOpening(text, 0);
        return opening ? std::optional(opening->first) : std::nullopt;
    }

    std::string collapsingBlankRuns(std::string_view text)
    {
        std::string collapsed;
        collapsed.reserve(text.size());
        std::size_t run = 0;
        for (char character : text) {
            run = character == '\n' ? run + 1 : 0;
            if (run <= 2)
                collapsed += character;
        }
        return collapsed;
    }

    const std::string* stringMember(const JSON::Object& block, std::string_view key)
    {
        auto found = block.find(key);
        return found == block.end() ? nullptr : found->second.stringValue();
    }

    bool hasExactlyKeys(const JSON::Object& block, std::initializer_list<std::string_view> keys)
    {
        return block.size() == keys.size()
            && std::all_of(keys.begin(), keys.end(), [&](auto key) { return block.contains(key); });
    }

    enum class Empty { refused, allowed };
    // The member's string through CleanText::trimmedField; nullopt when it is missing, not a string or
    // refused, and when it is empty unless that is allowed.
    std::optional<std::string> cleanedMember(const JSON::Object& block, std::string_view key,
        std::size_t maximum, LineBreaks lineBreaks, Empty empty)
    {
        const auto* text = stringMember(block, key);
        auto cleaned = text ? CleanText::trimmedField(*text, maximum, lineBreaks) : std::nullopt;
        if (!cleaned || (empty == Empty::refused && cleaned->empty()))
            return std::nullopt;
        return cleaned;
    }

    JSON nameFromList(const std::string& name, std::span<const std::string_view> names)
    {
        return std::find(names.begin(), names.end(), name) != names.end() ? JSON(name) : JSON();
    }

    struct ProfileField {
        std::string_view key;
        std::function<std::optional<JSON>(const JSON::Object&)> check;
    };

    const std::array<ProfileField, 5>& profileFields()
    {
        static const std::array<ProfileField, 5> fields { {
            { "name",
                [](const JSON::Object& block) -> std::optional<JSON> {
                    auto name = cleanedMember(block, "name", 20, LineBreaks::refused, Empty::refused);
                    return name ? std::optional<JSON>(*name) : std::nullopt;
                } },
            { "role",
                [](const JSON::Object& block) -> std::optional<JSON> {
                    auto role = cleanedMember(block, "role", 12, LineBreaks::refused, Empty::allowed);
                    return role ? std::optional<JSON>(*role) : std::nullopt;
                } },
            { "persona",
                [](const JSON::Object& block) -> std::optional<JSON> {
                    auto persona = cleanedMember(block, "persona", 1000, LineBreaks::allowed, Empty::allowed);
                    return persona ? std::optional<JSON>(*persona) : std::nullopt;
                } },
            // An unknown colour or shape does not refuse the bot; the phone shows its default.
            { "color",
                [](const JSON::Object& block) -> std::optional<JSON> {
                    const auto* color = stringMember(block, "color");
                    return color ? std::optional(nameFromList(*color, colors)) : std::nullopt;
                } },
            { "shape",
                [](const JSON::Object& block) -> std::optional<JSON> {
                    const auto* shape = stringMember(block, "shape");
                    return shape ? std::optional(nameFromList(*shape, shapes)) : std::nullopt;
                } },
        } };
        return fields;
    }

    std::optional<std::string> checkedBotID(const JSON::Object& block)
    {
        const auto* id = stringMember(block, "botId");
        return id && RelayIDs::isValidID(*id) ? std::optional(*id) : std::nullopt;
    }

    // The bot itself, or one of the other bots when the main bot acts for them.
    bool mayActFor(const std::string& botID, const Context& context)
    {
        return botID == context.botID || (context.primary && context.otherBotIDs.contains(botID));
    }

    // Copies the members that are present and hold the right kind of value; false when one is present
    // and does not.
    bool copyMembers(const JSON::Object& block, JSON::Object& out,
        std::initializer_list<std::string_view> keys, bool (*accepted)(const JSON&))
    {
        for (auto key : keys) {
            auto found = block.find(key);
            if (found == block.end())
                continue;
            if (!accepted(found->second))
                return false;
            out.insert_or_assign(std::string(key), found->second);
        }
        return true;
    }

    bool isBool(const JSON& value) { return value.kind() == JSON::Kind::boolean; }
    bool isArrayOrObject(const JSON& value)
    {
        return value.kind() == JSON::Kind::array || value.kind() == JSON::Kind::object;
    }

    bool copyRoutineFields(const JSON::Object& block, JSON::Object& out, const Context& context)
    {
        if (block.contains("name")) {
            auto name = cleanedMember(
                block, "name", RoutineLimits::maxNameLength, LineBreaks::refused, Empty::refused);
            if (!name)
                return false;
            out.insert_or_assign("name", *name);
        }
        if (block.contains("prompt")) {
            auto prompt = cleanedMember(
                block, "prompt", RoutineLimits::maxPromptLength, LineBreaks::allowed, Empty::refused);
            if (!prompt)
                return false;
            out.insert_or_assign("prompt", *prompt);
        }
        if (auto schedule = block.find("schedule"); schedule != block.end()) {
            try {
                auto zone = context.timeZone
                    ? context.timeZone
                    : std::shared_ptr<const icu::TimeZone>(icu::TimeZone::createDefault());
                out.insert_or_assign(
                    "schedule", RoutineSchedule(schedule->second, context.now, *zone).json());
            } catch (const RelayHTTPError&) {
                return false;
            }
        }
        if (!copyMembers(block, out, { "enabled", "includeToday" }, isBool))
            return false;
        if (auto target = block.find("target"); target != block.end()) {
            const auto* text = target->second.stringValue();
            if (!text || (*text != "routine" && *text != "bot"))
                return false;
            out.insert_or_assign("target", *text);
        }
        return true;
    }

    std::optional<JSON> normaliseAskBot(const JSON::Object& block, const Context& context, JSON::Object out)
    {
        auto message = cleanedMember(block, "message", 5000, LineBreaks::allowed, Empty::refused);
        if (!message)
            return std::nullopt;
        out.insert_or_assign("message", *message);
        bool byID = block.contains("botId");
        if (byID == block.contains("botName"))
            return std::nullopt;
        if (byID) {
            // A bot never asks itself; whether the id is one of the user's bots is the phone's to say.
            auto id = checkedBotID(block);
            if (!id || *id == context.botID)
                return std::nullopt;
            out.insert_or_assign("botId", *id);
        } else {
            auto name = cleanedMember(block, "botName", 20, LineBreaks::refused, Empty::refused);
            if (!name)
                return std::nullopt;
            out.insert_or_assign("botName", *name);
        }
        return JSON(std::move(out));
    }

    std::optional<JSON> normaliseUpdateSettings(
        const JSON::Object& block, const Context& context, JSON::Object out)
    {
        auto id = checkedBotID(block);
        if (!id || !mayActFor(*id, context))
            return std::nullopt;
        auto reason = cleanedMember(block, "reason", 200, LineBreaks::refused, Empty::refused);
        if (!reason || !copyProfileFields(block, out))
            return std::nullopt;
        out.insert_or_assign("botId", *id);
        out.insert_or_assign("reason", *reason);
        // The inner forms of these are checked where the changed settings come back in a request.
        if (!copyMembers(block, out, { "web", "bash" }, isBool)
            || !copyMembers(
                block, out, { "bashNetwork", "folders", "secretAccess", "autoCompact" }, isArrayOrObject))
            return std::nullopt;
        // Something must change besides type, botId and reason.
        if (out.size() <= 3)
            return std::nullopt;
        return JSON(std::move(out));
    }

    std::optional<JSON> normaliseRoutine(
        std::string_view type, const JSON::Object& block, const Context& context, JSON::Object out)
    {
        if (!context.routinesEnabled)
            return std::nullopt;
        if (type == "create_routine") {
            auto id = checkedBotID(block);
            if (!id || !mayActFor(*id, context) || !block.contains("name") || !block.contains("prompt")
                || !block.contains("schedule"))
                return std::nullopt;
            out.insert_or_assign("botId", *id);
            if (!copyRoutineFields(block, out, context))
                return std::nullopt;
            return JSON(std::move(out));
        }
        const auto* routineID = stringMember(block, "routineId");
        auto routine = routineID ? context.routines.find(*routineID) : context.routines.end();
        if (routine == context.routines.end() || (routine->second.botID != context.botID && !context.primary))
            return std::nullopt;
        out.insert_or_assign("routineId", *routineID);
        out.insert_or_assign("botId", routine->second.botID);
        out.insert_or_assign("routineName", routine->second.name);
        if (type == "delete_routine")
            return JSON(std::move(out));
        // Something must change besides type, routineId, botId and routineName.
        if (!copyRoutineFields(block, out, context) || out.size() <= 4)
            return std::nullopt;
        return JSON(std::move(out));
    }

    bool isOffered(std::string_view type, const std::vector<std::string>& allowedActions)
    {
        return allowedKeys().contains(type)
            && std::find(allowedActions.begin(), allowedActions.end(), type) != allowedActions.end();
    }

}

const std::map<std::string, std::set<std::string, std::less<>>, std::less<>>& allowedKeys()
{
    static const std::map<std::string, std::set<std::string, std::less<>>, std::less<>> keys {
        { "create_bot", { "type", "name", "role", "persona", "color", "shape" } },
        { "update_bot", { "type", "botId", "name", "role", "persona", "color", "shape" } },
        { "delete_bot", { "type", "botId" } },
        { "ask_bot", { "type", "botId", "botName", "message" } },
        { "update_settings",
            { "type", "botId", "reason", "name", "role", "persona", "color", "shape", "web", "bash",
                "bashNetwork", "folders", "secretAccess", "autoCompact" } },
        { "create_routine",
            { "type", "botId", "name", "prompt", "schedule", "enabled", "target", "includeToday" } },
        { "update_routine",
            { "type", "routineId", "name", "prompt", "schedule", "enabled", "target", "includeToday" } },
        { "delete_routine", { "type", "routineId" } },
    };
    return keys;
}

Result extract(std::string_view text, const std::vector<std::string>& allowedActions, const Context& context)
{
    Result result;
    auto blocks = closedBlocks(text);
    for (const auto& block : blocks) {
        auto value = JSON::decode(block.body);
        if (!value) {
            result.reasons.emplace_back("the JSON is not valid");
            continue;
        }
        const auto* object = value->objectValue();
        const auto* type = object && !object->empty() ? stringMember(*object, "type") : nullptr;
        if (!type) {
            result.reasons.emplace_back("the type is missing");
            continue;
        }
        if (*type == "remember" || *type == "forget") {
            auto op = memoryOp(*object);
            if (!op || result.memory.size() >= maxMemoryOperations)
                result.reasons.push_back(*type + " is not valid");
            else
                result.memory.push_back(std::move(*op));
        } else if (*type == "attach_file") {
            const auto* path = stringMember(*object, "path");
            if (!hasExactlyKeys(*object, { "type", "path" }) || !path
                || result.attachments.size() >= maxAttachments
                || std::find(result.attachments.begin(), result.attachments.end(), *path)
                    != result.attachments.end())
                result.reasons.emplace_back("attach_file is not valid");
            else
                result.attachments.push_back(*path);
        } else if (isOffered(*type, allowedActions)) {
            auto action = normalise(*type, *object, context);
            if (!action)
                result.reasons.push_back(*type + " has wrong keys or values");
            else if (result.actions.size() >= maxActions)
                result.reasons.push_back("more than " + std::to_string(maxActions) + " blocks");
            else
                result.actions.push_back(std::move(*action));
        } else {
            result.reasons.push_back(
                prefixCharacters(*type, kReasonTypeCharacters) + " is not available now");
        }
    }
    if (unclosedBlockStart(withoutBlocks(text, blocks)))
        result.reasons.emplace_back("a block was not closed with ```");
    result.text = stripBlocks(text);
    return result;
}

std::string stripBlocks(std::string_view text)
{
    auto kept = withoutBlocks(text, closedBlocks(text));
    if (auto unclosed = unclosedBlockStart(kept))
        kept.resize(*unclosed);
    return std::string(trimmingWhitespaceAndNewlines(collapsingBlankRuns(kept)));
}

std::optional<MemoryStore::Op> memoryOp(const JSON::Object& block)
{
    const auto* type = stringMember(block, "type");
    if (type && *type == "remember" && hasExactlyKeys(block, { "type", "text" })) {
        const auto* text = stringMember(block, "text");
        auto cleaned = text ? MemoryStore::cleanText(*text) : std::nullopt;
        if (cleaned)
            return MemoryStore::Op::remember(std::move(*cleaned));
    }
    if (type && *type == "forget" && hasExactlyKeys(block, { "type", "memoryId" })) {
        const auto* id = stringMember(block, "memoryId");
        if (id && isMemoryID(*id))
            return MemoryStore::Op::forget(*id);
    }
    return std::nullopt;
}

std::optional<JSON> normalise(std::string_view type, const JSON::Object& block, const Context& context)
{
    auto allowed = allowedKeys().find(type);
    if (allowed == allowedKeys().end())
        return std::nullopt;
    for (const auto& [key, value] : block) {
        if (!allowed->second.contains(key))
            return std::nullopt;
    }
    JSON::Object out { { "type", JSON(type) } };
    if (type == "create_bot") {
        if (!block.contains("name") || !copyProfileFields(block, out))
            return std::nullopt;
        return JSON(std::move(out));
    }
    if (type == "update_bot" || type == "delete_bot") {
        auto id = checkedBotID(block);
        if (!id)
            return std::nullopt;
        // An update must change at least one field.
        if (type == "update_bot" && (!copyProfileFields(block, out) || out.size() < 2))
            return std::nullopt;
        out.insert_or_assign("botId", *id);
        return JSON(std::move(out));
    }
    if (type == "ask_bot")
        return normaliseAskBot(block, context, std::move(out));
    if (type == "update_settings")
        return normaliseUpdateSettings(block, context, std::move(out));
    return normaliseRoutine(type, block, context, std::move(out));
}

bool copyProfileFields(const JSON::Object& block, JSON::Object& out)
{
    for (const auto& field : profileFields()) {
        if (!block.contains(field.key))
            continue;
        auto value = field.check(block);
        if (!value)
            return false;
        out.insert_or_assign(std::string(field.key), std::move(*value));
    }
    return true;
}

}
