#include "VellumarMacCore/Reply/ActionExtractor.h"

#include <gtest/gtest.h>

#include <unicode/regex.h>
#include <unicode/uchar.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

using vellumar::JSON;
using vellumar::MemoryStore;
namespace ActionExtractor = vellumar::ActionExtractor;

namespace {

const std::vector<std::string> kEveryAction = { "create_bot", "update_bot", "delete_bot", "ask_bot",
    "update_settings", "create_routine", "update_routine", "delete_routine" };

std::string block(std::string_view body) { return "```action\n" + std::string(body) + "\n```\n"; }

ActionExtractor::Context mainBotContext()
{
    ActionExtractor::Context context;
    context.botID = "main";
    context.primary = true;
    context.otherBotIDs = { "helper", "coach" };
    context.routines = { { "r-1", { "main", "Morning news" } }, { "r-2", { "helper", "Plants" } } };
    context.routinesEnabled = true;
    context.timeZone = std::shared_ptr<const icu::TimeZone>(icu::TimeZone::createTimeZone("Europe/Berlin"));
    return context;
}

ActionExtractor::Context helperContext()
{
    auto context = mainBotContext();
    context.botID = "helper";
    context.primary = false;
    context.otherBotIDs = { "main", "coach" };
    return context;
}

ActionExtractor::Result extracted(std::string_view reply,
    const ActionExtractor::Context& context = mainBotContext(),
    const std::vector<std::string>& allowed = kEveryAction)
{
    return ActionExtractor::extract(reply, allowed, context);
}

std::vector<std::string> encoded(const std::vector<JSON>& actions)
{
    std::vector<std::string> texts;
    for (const auto& action : actions)
        texts.push_back(action.encoded());
    return texts;
}

// One block's outcome: its normalised action, or the reason it was refused.
std::string outcome(std::string_view body, const ActionExtractor::Context& context = mainBotContext(),
    const std::vector<std::string>& allowed = kEveryAction)
{
    auto result = extracted(block(body), context, allowed);
    if (!result.reasons.empty())
        return result.reasons.front();
    if (!result.actions.empty())
        return result.actions.front().encoded();
    return "<memory or attachment>";
}

TEST(ActionExtractor, ReplyWithoutBlocksIsTrimmedWithBlankRunsCollapsed)
{
    auto result = extracted(" \n\tHello.\n\n\n\nHow are you?\n\n\nBye.\xC2\xA0\n ");
    EXPECT_EQ(result.text, "Hello.\n\nHow are you?\n\nBye.");
    EXPECT_TRUE(result.actions.empty());
    EXPECT_TRUE(result.memory.empty());
    EXPECT_TRUE(result.attachments.empty());
    EXPECT_TRUE(result.reasons.empty());
}

TEST(ActionExtractor, FindsBlocksByTheirOpeningLineOnly)
{
    struct Case {
        const char* name;
        std::string reply;
        std::string text;
        std::vector<std::string> reasons;
    };
    const std::string remember = R"({"type":"remember","text":"likes tea"})";
    const Case cases[] = {
        { "a language after the info string", "Code:\n```action python\nprint(1)\n```\nDone.",
            "Code:\n```action python\nprint(1)\n```\nDone.", {} },
        { "spaces, tabs and CR before the line feed", "A\n```action \t\r\n" + remember + "```\nB", "A\n\nB",
            {} },
        { "a block that ends on the same line as its body", "A ```action\n{}``` B", "A  B",
            { "the type is missing" } },
        { "closed by the first fence after the opening line", "```action\n{\"a\":\"```\"}```", "\"}```",
            { "the JSON is not valid" } },
        { "a second opening never closed",
            "Sure.\n" + block(remember) + "More text\n```action\n{\"type\":\"forget\"}\nand the rest",
            "Sure.\n\nMore text", { "a block was not closed with ```" } },
        { "an opening without its line feed", "Text ```action {}``` end", "Text ```action {}``` end", {} },
        { "an unclosed block alone", "Intro\n\n\n```action\n{\"type\":", "Intro",
            { "a block was not closed with ```" } },
        { "a four-backquote fence", "x````action\n{}```y", "x`y", { "the type is missing" } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto result = extracted(testCase.reply);
        EXPECT_EQ(result.text, testCase.text);
        EXPECT_EQ(result.reasons, testCase.reasons);
        EXPECT_EQ(ActionExtractor::stripBlocks(testCase.reply), testCase.text);
    }
    auto unclosed = extracted("Sure.\n" + block(remember) + "```action\n" + remember);
    ASSERT_EQ(unclosed.memory.size(), 1u) << "the closed block before the unclosed one still counts";
    EXPECT_EQ(unclosed.memory[0], MemoryStore::Op::remember("likes tea"));
}

TEST(ActionExtractor, RefusesBodiesWithoutAStringType)
{
    struct Case {
        std::string_view body;
        std::string_view reason;
    };
    const Case cases[] = {
        { "{}", "the type is missing" },
        { "[]", "the type is missing" },
        { R"([{"type":"remember","text":"x"}])", "the type is missing" },
        { R"({"type":7})", "the type is missing" },
        { R"({"type":null})", "the type is missing" },
        { R"({"kind":"create_bot"})", "the type is missing" },
        { R"("create_bot")", "the type is missing" },
        { "", "the JSON is not valid" },
        { "not json", "the JSON is not valid" },
        { R"({"type":"remember",})", "the JSON is not valid" },
        { "{\"type\":\"remember\",\"text\":\"\xFF\"}", "the JSON is not valid" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.body);
        EXPECT_EQ(outcome(testCase.body), testCase.reason);
    }
}

TEST(ActionExtractor, KeepsAtMostThreeMemoryOperations)
{
    std::string reply = "Noted.\n";
    for (auto text : { "likes tea", "lives   in\tBerlin", "has a cat", "plays chess" })
        reply += block(JSON::object({ { "type", "remember" }, { "text", text } }).encoded());
    reply += block(R"({"type":"forget","memoryId":"m-0123abcd"})");
    auto result = extracted(reply);
    EXPECT_EQ(result.memory,
        (std::vector<MemoryStore::Op> { MemoryStore::Op::remember("likes tea"),
            MemoryStore::Op::remember("lives in Berlin"), MemoryStore::Op::remember("has a cat") }));
    EXPECT_EQ(result.reasons, (std::vector<std::string> { "remember is not valid", "forget is not valid" }));
    EXPECT_EQ(result.text, "Noted.");
}

TEST(ActionExtractor, ChecksMemoryBlocks)
{
    struct Case {
        std::string_view body;
        std::optional<MemoryStore::Op> expected;
    };
    std::string longText;
    while (longText.size() <= 210)
        longText += "ab ";
    const std::string tooLong = JSON::object({ { "type", "remember" }, { "text", longText } }).encoded();
    const Case cases[] = {
        { R"({"type":"remember","text":" tea  please "})", MemoryStore::Op::remember("tea please") },
        { R"({"type":"forget","memoryId":"m-0123abcd"})", MemoryStore::Op::forget("m-0123abcd") },
        { R"({"type":"remember","text":"   "})", std::nullopt },
        { R"({"type":"remember","text":"tea","why":"x"})", std::nullopt },
        { R"({"type":"remember","text":5})", std::nullopt },
        { R"({"type":"remember"})", std::nullopt },
        { R"({"type":"remember","text":"a\u0007b"})", std::nullopt },
        { tooLong, std::nullopt },
        { R"({"type":"forget","memoryId":"m-0123ABCD"})", std::nullopt },
        { R"({"type":"forget","memoryId":"m-0123abc"})", std::nullopt },
        { R"({"type":"forget","memoryId":"m-0123abcd","text":"x"})", std::nullopt },
        { R"({"type":"forget","text":"likes tea"})", std::nullopt },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.body);
        auto object = JSON::decode(testCase.body);
        ASSERT_TRUE(object && object->objectValue());
        EXPECT_EQ(ActionExtractor::memoryOp(*object->objectValue()), testCase.expected);
    }
}

TEST(ActionExtractor, AttachesEachPathOnceAndAtMostFive)
{
    std::string reply;
    for (auto path : { "a.txt", "b.txt", "a.txt", "c.txt", "d.txt", "e.txt", "f.txt" })
        reply += block(JSON::object({ { "type", "attach_file" }, { "path", path } }).encoded());
    reply += block(R"({"type":"attach_file","path":"g.txt","name":"G"})");
    reply += block(R"({"type":"attach_file","path":7})");
    reply += block(R"({"type":"attach_file"})");
    auto result = extracted(reply, mainBotContext(), {});
    EXPECT_EQ(result.attachments, (std::vector<std::string> { "a.txt", "b.txt", "c.txt", "d.txt", "e.txt" }));
    EXPECT_EQ(result.reasons, std::vector<std::string>(5, "attach_file is not valid"));
}

TEST(ActionExtractor, ForwardsAtMostFiveActions)
{
    std::string reply;
    for (int index = 0; index < 7; ++index)
        reply += block(
            JSON::object({ { "type", "create_bot" }, { "name", "Bot " + std::to_string(index) } }).encoded());
    auto result = extracted(reply);
    ASSERT_EQ(result.actions.size(), 5u);
    EXPECT_EQ(result.actions[4].encoded(), R"({"name":"Bot 4","type":"create_bot"})");
    EXPECT_EQ(result.reasons, std::vector<std::string>(2, "more than 5 blocks"));
}

TEST(ActionExtractor, NamesUnavailableTypesByTheirFirstThirtyCharacters)
{
    struct Case {
        std::string type;
        std::vector<std::string> allowed;
        std::string reason;
    };
    const Case cases[] = {
        { std::string(40, 'x'), kEveryAction, std::string(30, 'x') + " is not available now" },
        { "launch_rocket", kEveryAction, "launch_rocket is not available now" },
        { "create_bot", {}, "create_bot is not available now" },
        { "delete_bot", { "create_bot" }, "delete_bot is not available now" },
        { "", kEveryAction, " is not available now" },
        // Thirty characters, not thirty bytes: each "é" here is two scalars and one character.
        { [] {
             std::string text;
             for (int index = 0; index < 35; ++index)
                 text += "e\xCC\x81";
             return text;
         }(),
            kEveryAction,
            [] {
                std::string text;
                for (int index = 0; index < 30; ++index)
                    text += "e\xCC\x81";
                return text + " is not available now";
            }() },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.type);
        EXPECT_EQ(outcome(JSON::object({ { "type", testCase.type }, { "name", "A" } }).encoded(),
                      mainBotContext(), testCase.allowed),
            testCase.reason);
    }
}

TEST(ActionExtractor, EmptyAllowedActionsStillRemembersAndAttaches)
{
    auto result = extracted(block(R"({"type":"create_bot","name":"Ada"})")
            + block(R"({"type":"remember","text":"tea"})")
            + block(R"({"type":"forget","memoryId":"m-00000000"})")
            + block(R"({"type":"attach_file","path":"x.png"})"),
        mainBotContext(), {});
    EXPECT_TRUE(result.actions.empty());
    EXPECT_EQ(result.memory,
        (std::vector<MemoryStore::Op> {
            MemoryStore::Op::remember("tea"), MemoryStore::Op::forget("m-00000000") }));
    EXPECT_EQ(result.attachments, (std::vector<std::string> { "x.png" }));
    EXPECT_EQ(result.reasons, (std::vector<std::string> { "create_bot is not available now" }));
}

TEST(ActionExtractor, ChecksBotProfiles)
{
    const std::string refused = "create_bot has wrong keys or values";
    struct Case {
        std::string_view body;
        std::string expected;
    };
    const Case cases[] = {
        { R"({"type":"create_bot","name":"  Ada  ","role":"","persona":" kind\nand calm ","color":"teal","shape":"blob"})",
            R"({"color":"teal","name":"Ada","persona":"kind\nand calm","role":"","shape":"blob","type":"create_bot"})" },
        { R"({"type":"create_bot","name":"Ada","color":"magenta","shape":"star"})",
            R"({"color":null,"name":"Ada","shape":null,"type":"create_bot"})" },
        { R"({"type":"create_bot","name":"Ada","color":"Teal"})",
            R"({"color":null,"name":"Ada","type":"create_bot"})" },
        { R"({"type":"create_bot","name":"12345678901234567890"})",
            R"({"name":"12345678901234567890","type":"create_bot"})" },
        { R"({"type":"create_bot","name":"Ada","color":3})", refused },
        { R"({"type":"create_bot","name":"Ada","shape":null})", refused },
        { R"({"type":"create_bot","name":"   "})", refused },
        { R"({"type":"create_bot","name":""})", refused },
        { R"({"type":"create_bot","name":"123456789012345678901"})", refused },
        { R"({"type":"create_bot","name":"A\nB"})", refused },
        { R"({"type":"create_bot","name":"Ada","role":"1234567890123"})", refused },
        { R"({"type":"create_bot","name":"Ada","role":"a\tb"})", refused },
        { R"({"type":"create_bot","role":"helper"})", refused },
        { R"({"type":"create_bot","name":"Ada","botId":"ada"})", refused },
        { R"({"type":"update_bot","botId":"helper","role":"coach"})",
            R"({"botId":"helper","role":"coach","type":"update_bot"})" },
        { R"({"type":"update_bot","botId":"helper"})", "update_bot has wrong keys or values" },
        { R"({"type":"update_bot","botId":"Helper","name":"H"})", "update_bot has wrong keys or values" },
        { R"({"type":"delete_bot","botId":"helper"})", R"({"botId":"helper","type":"delete_bot"})" },
        { R"({"type":"delete_bot","botId":"-helper"})", "delete_bot has wrong keys or values" },
        { R"({"type":"delete_bot"})", "delete_bot has wrong keys or values" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.body);
        EXPECT_EQ(outcome(testCase.body), testCase.expected);
    }
}

TEST(ActionExtractor, AsksAnotherBotByIdOrByName)
{
    const std::string refused = "ask_bot has wrong keys or values";
    struct Case {
        std::string_view body;
        std::string expected;
    };
    const Case cases[] = {
        { R"({"type":"ask_bot","botId":"coach","message":"  How was the run?\n"})",
            R"({"botId":"coach","message":"How was the run?","type":"ask_bot"})" },
        // The id need not be a known bot; the phone decides.
        { R"({"type":"ask_bot","botId":"stranger","message":"Hi"})",
            R"({"botId":"stranger","message":"Hi","type":"ask_bot"})" },
        { R"({"type":"ask_bot","botName":" Coach ","message":"Hi"})",
            R"({"botName":"Coach","message":"Hi","type":"ask_bot"})" },
        { R"({"type":"ask_bot","botId":"coach","botName":"Coach","message":"Hi"})", refused },
        { R"({"type":"ask_bot","message":"Hi"})", refused },
        { R"({"type":"ask_bot","botId":"main","message":"Hi"})", refused },
        { R"({"type":"ask_bot","botId":"coach","message":"   "})", refused },
        { R"({"type":"ask_bot","botId":"coach"})", refused },
        { R"({"type":"ask_bot","botName":"","message":"Hi"})", refused },
        { R"({"type":"ask_bot","botName":7,"message":"Hi"})", refused },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.body);
        EXPECT_EQ(outcome(testCase.body), testCase.expected);
    }
}

TEST(ActionExtractor, ChangesSettingsOnlyOfItselfOrAsTheMainBot)
{
    const std::string refused = "update_settings has wrong keys or values";
    struct Case {
        const char* name;
        ActionExtractor::Context context;
        std::string_view body;
        std::string expected;
    };
    const Case cases[] = {
        { "own settings", helperContext(),
            R"({"type":"update_settings","botId":"helper","reason":" needs the web ","web":true,"folders":[{"path":"~/x"}]})",
            R"({"botId":"helper","folders":[{"path":"~/x"}],"reason":"needs the web","type":"update_settings","web":true})" },
        { "main bot for another bot", mainBotContext(),
            R"({"type":"update_settings","botId":"helper","reason":"r","bash":false,"autoCompact":{"mode":"off"}})",
            R"({"autoCompact":{"mode":"off"},"bash":false,"botId":"helper","reason":"r","type":"update_settings"})" },
        { "main bot for a bot that is not the user's", mainBotContext(),
            R"({"type":"update_settings","botId":"stranger","reason":"r","web":true})", refused },
        { "another bot for the main bot", helperContext(),
            R"({"type":"update_settings","botId":"main","reason":"r","web":true})", refused },
        { "web as a string", mainBotContext(),
            R"({"type":"update_settings","botId":"main","reason":"r","web":"yes"})", refused },
        { "folders as a string", mainBotContext(),
            R"({"type":"update_settings","botId":"main","reason":"r","folders":"~/x"})", refused },
        { "nothing to change", mainBotContext(), R"({"type":"update_settings","botId":"main","reason":"r"})",
            refused },
        { "no reason", mainBotContext(), R"({"type":"update_settings","botId":"main","web":true})", refused },
        { "profile field changed", mainBotContext(),
            R"({"type":"update_settings","botId":"main","reason":"r","color":"red"})",
            R"({"botId":"main","color":"red","reason":"r","type":"update_settings"})" },
        { "bad profile field", mainBotContext(),
            R"({"type":"update_settings","botId":"main","reason":"r","name":"","web":true})", refused },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(outcome(testCase.body, testCase.context), testCase.expected);
    }
}

TEST(ActionExtractor, ChecksRoutineProposals)
{
    auto routinesOff = mainBotContext();
    routinesOff.routinesEnabled = false;
    struct Case {
        const char* name;
        ActionExtractor::Context context;
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        { "schedule forwarded in its canonical form", mainBotContext(),
            R"({"type":"create_routine","botId":"main","name":" News ","prompt":"Summarise.","schedule":{"kind":"weekly","days":["sun","mon"],"time":"+7:05"},"enabled":true,"target":"bot","includeToday":false})",
            R"({"botId":"main","enabled":true,"includeToday":false,"name":"News","prompt":"Summarise.","schedule":{"days":["mon","sun"],"kind":"weekly","time":"07:05"},"target":"bot","type":"create_routine"})" },
        { "schedule too frequent", mainBotContext(),
            R"({"type":"create_routine","botId":"main","name":"N","prompt":"P","schedule":{"kind":"cron","expr":"*/10 * * * *"}})",
            "create_routine has wrong keys or values" },
        { "schedule missing", mainBotContext(),
            R"({"type":"create_routine","botId":"main","name":"N","prompt":"P"})",
            "create_routine has wrong keys or values" },
        { "routines off", routinesOff,
            R"({"type":"create_routine","botId":"main","name":"N","prompt":"P","schedule":{"kind":"interval","hours":2}})",
            "create_routine has wrong keys or values" },
        { "routine for another bot from the main bot", mainBotContext(),
            R"({"type":"create_routine","botId":"coach","name":"N","prompt":"P","schedule":{"kind":"interval","hours":2}})",
            R"({"botId":"coach","name":"N","prompt":"P","schedule":{"hours":2,"kind":"interval"},"type":"create_routine"})" },
        { "routine for another bot from a helper", helperContext(),
            R"({"type":"create_routine","botId":"coach","name":"N","prompt":"P","schedule":{"kind":"interval","hours":2}})",
            "create_routine has wrong keys or values" },
        { "bad target", mainBotContext(),
            R"({"type":"create_routine","botId":"main","name":"N","prompt":"P","schedule":{"kind":"interval","hours":2},"target":"phone"})",
            "create_routine has wrong keys or values" },
        { "enabled as text", mainBotContext(),
            R"({"type":"create_routine","botId":"main","name":"N","prompt":"P","schedule":{"kind":"interval","hours":2},"enabled":"yes"})",
            "create_routine has wrong keys or values" },
        { "another bot's routine updated by the main bot", mainBotContext(),
            R"({"type":"update_routine","routineId":"r-2","enabled":false})",
            R"({"botId":"helper","enabled":false,"routineId":"r-2","routineName":"Plants","type":"update_routine"})" },
        { "another bot's routine updated by a helper", helperContext(),
            R"({"type":"update_routine","routineId":"r-1","enabled":false})",
            "update_routine has wrong keys or values" },
        { "own routine updated by a helper", helperContext(),
            R"({"type":"update_routine","routineId":"r-2","name":"Water plants"})",
            R"({"botId":"helper","name":"Water plants","routineId":"r-2","routineName":"Plants","type":"update_routine"})" },
        { "update without a change", mainBotContext(), R"({"type":"update_routine","routineId":"r-1"})",
            "update_routine has wrong keys or values" },
        { "update with a botId of its own", mainBotContext(),
            R"({"type":"update_routine","routineId":"r-1","botId":"main","enabled":true})",
            "update_routine has wrong keys or values" },
        { "unknown routine", mainBotContext(), R"({"type":"delete_routine","routineId":"r-9"})",
            "delete_routine has wrong keys or values" },
        { "delete", mainBotContext(), R"({"type":"delete_routine","routineId":"r-2"})",
            R"({"botId":"helper","routineId":"r-2","routineName":"Plants","type":"delete_routine"})" },
        { "delete with routines off", routinesOff, R"({"type":"delete_routine","routineId":"r-2"})",
            "delete_routine has wrong keys or values" },
        { "prompt too long", mainBotContext(),
            "{\"type\":\"update_routine\",\"routineId\":\"r-1\",\"prompt\":\"" + std::string(2001, 'p')
                + "\"}",
            "update_routine has wrong keys or values" },
        { "name too long", mainBotContext(),
            "{\"type\":\"update_routine\",\"routineId\":\"r-1\",\"name\":\"" + std::string(41, 'n') + "\"}",
            "update_routine has wrong keys or values" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(outcome(testCase.body, testCase.context), testCase.expected);
    }
}

TEST(ActionExtractor, RoutinesOffStillRemember)
{
    auto context = mainBotContext();
    context.routinesEnabled = false;
    auto result = extracted(block(R"({"type":"delete_routine","routineId":"r-1"})")
            + block(R"({"type":"remember","text":"walks at noon"})"),
        context);
    EXPECT_EQ(result.memory, (std::vector<MemoryStore::Op> { MemoryStore::Op::remember("walks at noon") }));
    EXPECT_EQ(result.reasons, (std::vector<std::string> { "delete_routine has wrong keys or values" }));
}

TEST(ActionExtractor, ReasonsFollowBlockOrderWithTheUnclosedBlockLast)
{
    auto result = extracted("Hi\n" + block("nope") + block(R"({"type":"create_bot","name":"Ada"})")
        + block(R"({"type":"mystery"})") + block("{}")
        + "```action\n{\"type\":\"create_bot\",\"name\":\"B\"}");
    EXPECT_EQ(result.reasons,
        (std::vector<std::string> { "the JSON is not valid", "mystery is not available now",
            "the type is missing", "a block was not closed with ```" }));
    EXPECT_EQ(
        encoded(result.actions), (std::vector<std::string> { R"({"name":"Ada","type":"create_bot"})" }));
    EXPECT_EQ(result.text, "Hi");
}

// The patterns as a regular-expression engine reads them: ICU's, whose syntax they are written in.
struct ReferenceExtraction {
    std::string text;
    std::vector<std::string> reasons;
};

icu::UnicodeString replacedAll(
    const icu::UnicodeString& text, const char* pattern, uint32_t flags, const char* by)
{
    UErrorCode status = U_ZERO_ERROR;
    icu::RegexMatcher matcher(icu::UnicodeString::fromUTF8(pattern), text, flags, status);
    auto replaced = matcher.replaceAll(icu::UnicodeString::fromUTF8(by), status);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    return replaced;
}

ReferenceExtraction referenceExtraction(const std::string& reply)
{
    const char* blockPattern = "```action[ \\t]*\\r?\\n(.*?)```";
    const char* unclosedPattern = "```action[ \\t]*\\r?\\n.*\\z";
    auto text = icu::UnicodeString::fromUTF8(reply);
    ReferenceExtraction reference;
    UErrorCode status = U_ZERO_ERROR;
    icu::RegexMatcher blocks(icu::UnicodeString::fromUTF8(blockPattern), text, UREGEX_DOTALL, status);
    while (blocks.find()) {
        std::string body;
        blocks.group(1, status).toUTF8String(body);
        auto value = JSON::decode(body);
        reference.reasons.emplace_back(value ? "the type is missing" : "the JSON is not valid");
    }
    auto withoutBlocks = replacedAll(text, blockPattern, UREGEX_DOTALL, "");
    icu::RegexMatcher unclosed(
        icu::UnicodeString::fromUTF8(unclosedPattern), withoutBlocks, UREGEX_DOTALL, status);
    if (unclosed.find())
        reference.reasons.emplace_back("a block was not closed with ```");
    auto stripped
        = replacedAll(replacedAll(withoutBlocks, unclosedPattern, UREGEX_DOTALL, ""), "\\n{3,}", 0, "\n\n");
    int32_t begin = 0;
    int32_t end = stripped.length();
    while (begin < end && u_isUWhiteSpace(stripped.char32At(begin)))
        begin = stripped.moveIndex32(begin, 1);
    while (end > begin && u_isUWhiteSpace(stripped.char32At(stripped.moveIndex32(end, -1))))
        end = stripped.moveIndex32(end, -1);
    stripped.tempSubStringBetween(begin, end).toUTF8String(reference.text);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    return reference;
}

TEST(ActionExtractor, FindsTheSameBlocksAsTheRegularExpressions)
{
    // Pieces that make and break fences; no body ever holds a valid type, so every closed block
    // is refused and the reasons count the blocks.
    const std::vector<std::string> pieces = { "```action", "```", "`", "action", " ", "\t", "\r", "\n",
        "\n\n\n", "{}", "[1]", "x", "\xC2\xA0", "\xE2\x80\xA8", "\xC3\xA9" };
    std::mt19937 random(5106);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(0, 40);
    for (int sample = 0; sample < 3000; ++sample) {
        std::string reply;
        for (int count = length(random); count > 0; --count)
            reply += pieces[pick(random)];
        SCOPED_TRACE(JSON(reply).encoded());
        auto reference = referenceExtraction(reply);
        auto result = extracted(reply);
        EXPECT_EQ(result.text, reference.text);
        EXPECT_EQ(result.reasons, reference.reasons);
        EXPECT_EQ(ActionExtractor::stripBlocks(reply), reference.text);
        if (HasFailure())
            return;
    }
}

TEST(ActionExtractor, ExtractsFromManyThreadsAtOnce)
{
    const std::string reply = block(R"({"type":"create_bot","name":"Ada","color":"red"})")
        + block(R"({"type":"update_settings","botId":"helper","reason":"r","web":true})")
        + block(R"({"type":"remember","text":"tea"})");
    auto expected = extracted(reply);
    std::vector<std::jthread> threads;
    std::vector<int> agreed(8, 0);
    for (std::size_t thread = 0; thread < agreed.size(); ++thread) {
        threads.emplace_back([&, thread] {
            for (int round = 0; round < 50; ++round) {
                auto result = extracted(reply);
                agreed[thread] += encoded(result.actions) == encoded(expected.actions)
                    && result.memory == expected.memory && result.reasons == expected.reasons;
            }
        });
    }
    threads.clear();
    EXPECT_EQ(agreed, std::vector<int>(agreed.size(), 50));
}

}
