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

// "main" is the user's main bot, "helper" another of the user's bots; "off" is the main bot with
// routines turned off.
ActionExtractor::Context contextOf(std::string_view bot)
{
    ActionExtractor::Context context;
    context.botID = bot == "helper" ? "helper" : "main";
    context.primary = bot != "helper";
    context.otherBotIDs = { bot == "helper" ? "main" : "helper", "coach" };
    context.routines = { { "r-1", { "main", "Morning news" } }, { "r-2", { "helper", "Plants" } } };
    context.routinesEnabled = bot != "off";
    context.timeZone = std::shared_ptr<const icu::TimeZone>(icu::TimeZone::createTimeZone("Europe/Berlin"));
    return context;
}

ActionExtractor::Result extracted(
    std::string_view reply, const std::vector<std::string>& allowed = kEveryAction)
{
    return ActionExtractor::extract(reply, allowed, contextOf("main"));
}

// One block's outcome: the reason it was refused ("refused" for wrong keys or values), or what it
// became.
std::string outcome(std::string_view body, std::string_view bot = "main")
{
    auto result = ActionExtractor::extract(block(body), kEveryAction, contextOf(bot));
    if (!result.reasons.empty())
        return result.reasons[0].ends_with(" has wrong keys or values") ? "refused" : result.reasons[0];
    if (!result.actions.empty())
        return result.actions[0].encoded();
    if (!result.memory.empty())
        return (result.memory[0].kind == MemoryStore::Op::Kind::remember ? "remember " : "forget ")
            + result.memory[0].text;
    return result.attachments.empty() ? "nothing" : "attach " + result.attachments[0];
}

TEST(ActionExtractor, ChecksEachBlockByItsType)
{
    struct Case {
        std::string_view bot;
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        { "main", "nope", "the JSON is not valid" },
        { "main", R"([{"type":"remember","text":"x"}])", "the type is missing" },
        { "main", R"({"type":7})", "the type is missing" },
        { "main", R"("create_bot")", "the type is missing" },
        { "main", R"({"type":"remember","text":" tea  please "})", "remember tea please" },
        { "main", R"({"type":"remember","text":"tea","why":"x"})", "remember is not valid" },
        { "main", R"({"type":"remember","text":5})", "remember is not valid" },
        { "main", R"({"type":"remember","text":"a\u0007b"})", "remember is not valid" },
        { "main", R"({"type":"forget","memoryId":"m-0123abcd"})", "forget m-0123abcd" },
        { "main", R"({"type":"forget","memoryId":"m-0123ABCD"})", "forget is not valid" },
        { "main", R"({"type":"forget","memoryId":"m-0123abcd","text":"x"})", "forget is not valid" },
        { "main", R"({"type":"forget","text":"likes tea"})", "forget is not valid" },
        { "main", R"({"type":"attach_file","path":"a.txt"})", "attach a.txt" },
        { "main", R"({"type":"attach_file","path":"g.txt","name":"G"})", "attach_file is not valid" },
        { "main", R"({"type":"attach_file","path":7})", "attach_file is not valid" },
        // Profiles: trimmed, unknown colours and shapes shown as the phone's default, limits in characters.
        { "main",
            R"({"type":"create_bot","name":"  Ada  ","role":"","persona":" kind\nand calm ","color":"teal","shape":"blob"})",
            R"({"color":"teal","name":"Ada","persona":"kind\nand calm","role":"","shape":"blob","type":"create_bot"})" },
        { "main", R"({"type":"create_bot","name":"Ada","color":"Teal","shape":"star"})",
            R"({"color":null,"name":"Ada","shape":null,"type":"create_bot"})" },
        { "main", R"({"type":"create_bot","name":"12345678901234567890"})",
            R"({"name":"12345678901234567890","type":"create_bot"})" },
        { "main", R"({"type":"create_bot","name":"123456789012345678901"})", "refused" },
        { "main", R"({"type":"create_bot","name":"A\nB"})", "refused" },
        { "main", R"({"type":"create_bot","name":"   "})", "refused" },
        { "main", R"({"type":"create_bot","name":"Ada","color":3})", "refused" },
        { "main", R"({"type":"create_bot","name":"Ada","role":"1234567890123"})", "refused" },
        { "main", R"({"type":"create_bot","role":"helper"})", "refused" },
        { "main", R"({"type":"create_bot","name":"Ada","botId":"ada"})", "refused" },
        { "main", R"({"type":"update_bot","botId":"helper","role":"coach"})",
            R"({"botId":"helper","role":"coach","type":"update_bot"})" },
        { "main", R"({"type":"update_bot","botId":"helper"})", "refused" },
        { "main", R"({"type":"update_bot","botId":"Helper","name":"H"})", "refused" },
        { "main", R"({"type":"delete_bot","botId":"helper"})", R"({"botId":"helper","type":"delete_bot"})" },
        { "main", R"({"type":"delete_bot"})", "refused" },
        // Asking: by id (known to the phone, not here) or by name, never both and never itself.
        { "main", R"({"type":"ask_bot","botId":"stranger","message":"  How was the run?\n"})",
            R"({"botId":"stranger","message":"How was the run?","type":"ask_bot"})" },
        { "main", R"({"type":"ask_bot","botName":" Coach ","message":"Hi"})",
            R"({"botName":"Coach","message":"Hi","type":"ask_bot"})" },
        { "main", R"({"type":"ask_bot","botId":"coach","botName":"Coach","message":"Hi"})", "refused" },
        { "main", R"({"type":"ask_bot","message":"Hi"})", "refused" },
        { "main", R"({"type":"ask_bot","botId":"main","message":"Hi"})", "refused" },
        { "main", R"({"type":"ask_bot","botId":"coach","message":"   "})", "refused" },
        { "main", R"({"type":"ask_bot","botName":"","message":"Hi"})", "refused" },
        // Settings: of itself, or of the user's other bots as the main bot; something must change.
        { "helper",
            R"({"type":"update_settings","botId":"helper","reason":" needs the web ","web":true,"folders":[{"path":"~/x"}]})",
            R"({"botId":"helper","folders":[{"path":"~/x"}],"reason":"needs the web","type":"update_settings","web":true})" },
        { "main",
            R"({"type":"update_settings","botId":"helper","reason":"r","bash":false,"autoCompact":{"mode":"off"}})",
            R"({"autoCompact":{"mode":"off"},"bash":false,"botId":"helper","reason":"r","type":"update_settings"})" },
        { "main", R"({"type":"update_settings","botId":"main","reason":"r","color":"red"})",
            R"({"botId":"main","color":"red","reason":"r","type":"update_settings"})" },
        { "main", R"({"type":"update_settings","botId":"stranger","reason":"r","web":true})", "refused" },
        { "helper", R"({"type":"update_settings","botId":"main","reason":"r","web":true})", "refused" },
        { "main", R"({"type":"update_settings","botId":"main","reason":"r","web":"yes"})", "refused" },
        { "main", R"({"type":"update_settings","botId":"main","reason":"r","folders":"~/x"})", "refused" },
        { "main", R"({"type":"update_settings","botId":"main","reason":"r"})", "refused" },
        { "main", R"({"type":"update_settings","botId":"main","web":true})", "refused" },
        { "main", R"({"type":"update_settings","botId":"main","reason":"r","name":"","web":true})",
            "refused" },
        // Routines: the schedule in its canonical form, owners as for settings, only while routines are on.
        { "main",
            R"({"type":"create_routine","botId":"main","name":" News ","prompt":"Summarise.","schedule":{"kind":"weekly","days":["sun","mon"],"time":"+7:05"},"enabled":true,"target":"bot","includeToday":false})",
            R"({"botId":"main","enabled":true,"includeToday":false,"name":"News","prompt":"Summarise.","schedule":{"days":["mon","sun"],"kind":"weekly","time":"07:05"},"target":"bot","type":"create_routine"})" },
        { "main",
            R"({"type":"create_routine","botId":"coach","name":"N","prompt":"P","schedule":{"kind":"interval","hours":2}})",
            R"({"botId":"coach","name":"N","prompt":"P","schedule":{"hours":2,"kind":"interval"},"type":"create_routine"})" },
        { "helper",
            R"({"type":"create_routine","botId":"coach","name":"N","prompt":"P","schedule":{"kind":"interval","hours":2}})",
            "refused" },
        { "off",
            R"({"type":"create_routine","botId":"main","name":"N","prompt":"P","schedule":{"kind":"interval","hours":2}})",
            "refused" },
        { "main",
            R"({"type":"create_routine","botId":"main","name":"N","prompt":"P","schedule":{"kind":"cron","expr":"*/10 * * * *"}})",
            "refused" },
        { "main", R"({"type":"create_routine","botId":"main","name":"N","prompt":"P"})", "refused" },
        { "main",
            R"({"type":"create_routine","botId":"main","name":"N","prompt":"P","schedule":{"kind":"interval","hours":2},"target":"phone"})",
            "refused" },
        { "main",
            R"({"type":"create_routine","botId":"main","name":"N","prompt":"P","schedule":{"kind":"interval","hours":2},"enabled":"yes"})",
            "refused" },
        { "main", R"({"type":"update_routine","routineId":"r-2","enabled":false})",
            R"({"botId":"helper","enabled":false,"routineId":"r-2","routineName":"Plants","type":"update_routine"})" },
        { "helper", R"({"type":"update_routine","routineId":"r-2","name":"Water plants"})",
            R"({"botId":"helper","name":"Water plants","routineId":"r-2","routineName":"Plants","type":"update_routine"})" },
        { "helper", R"({"type":"update_routine","routineId":"r-1","enabled":false})", "refused" },
        { "main", R"({"type":"update_routine","routineId":"r-1"})", "refused" },
        { "main", R"({"type":"update_routine","routineId":"r-1","botId":"main","enabled":true})", "refused" },
        { "main",
            "{\"type\":\"update_routine\",\"routineId\":\"r-1\",\"prompt\":\"" + std::string(2001, 'p')
                + "\"}",
            "refused" },
        { "main",
            "{\"type\":\"update_routine\",\"routineId\":\"r-1\",\"name\":\"" + std::string(41, 'n') + "\"}",
            "refused" },
        { "main", R"({"type":"delete_routine","routineId":"r-2"})",
            R"({"botId":"helper","routineId":"r-2","routineName":"Plants","type":"delete_routine"})" },
        { "main", R"({"type":"delete_routine","routineId":"r-9"})", "refused" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.bot) + ": " + testCase.body);
        EXPECT_EQ(outcome(testCase.body, testCase.bot), testCase.expected);
    }
}

TEST(ActionExtractor, KeepsThreeMemoryOperationsFiveDistinctAttachmentsAndFiveActions)
{
    std::string reply = "Noted.\n";
    for (auto text : { "likes tea", "has a cat", "plays chess", "walks" })
        reply += block(JSON::object({ { "type", "remember" }, { "text", text } }).encoded());
    reply += block(R"({"type":"forget","memoryId":"m-0123abcd"})");
    for (auto path : { "a.txt", "b.txt", "a.txt", "c.txt", "d.txt", "e.txt", "f.txt" })
        reply += block(JSON::object({ { "type", "attach_file" }, { "path", path } }).encoded());
    for (int index = 0; index < 7; ++index)
        reply += block(
            JSON::object({ { "type", "create_bot" }, { "name", "Bot " + std::to_string(index) } }).encoded());
    // Blocks before an unclosed one still count.
    auto result = extracted(reply + "```action\n{\"type\":\"create_bot\",\"name\":\"B\"}");
    EXPECT_EQ(result.memory,
        (std::vector<MemoryStore::Op> { MemoryStore::Op::remember("likes tea"),
            MemoryStore::Op::remember("has a cat"), MemoryStore::Op::remember("plays chess") }));
    EXPECT_EQ(result.attachments, (std::vector<std::string> { "a.txt", "b.txt", "c.txt", "d.txt", "e.txt" }));
    ASSERT_EQ(result.actions.size(), 5u);
    EXPECT_EQ(result.actions[4].encoded(), R"({"name":"Bot 4","type":"create_bot"})");
    EXPECT_EQ(result.reasons,
        (std::vector<std::string> { "remember is not valid", "forget is not valid",
            "attach_file is not valid", "attach_file is not valid", "more than 5 blocks",
            "more than 5 blocks", "a block was not closed with ```" }));
    EXPECT_EQ(result.text, "Noted.");
}

TEST(ActionExtractor, OffersOnlyTheAllowedActionsAndNamesOthersByThirtyCharacters)
{
    auto result = extracted(block(R"({"type":"create_bot","name":"Ada"})")
            + block(R"({"type":"remember","text":"tea"})")
            + block(R"({"type":"attach_file","path":"x.png"})"),
        {});
    EXPECT_TRUE(result.actions.empty());
    EXPECT_EQ(result.memory, (std::vector<MemoryStore::Op> { MemoryStore::Op::remember("tea") }));
    EXPECT_EQ(result.attachments, (std::vector<std::string> { "x.png" }));
    EXPECT_EQ(result.reasons, (std::vector<std::string> { "create_bot is not available now" }));

    EXPECT_EQ(extracted(block(R"({"type":"delete_bot","botId":"b"})"), { "create_bot" }).reasons,
        (std::vector<std::string> { "delete_bot is not available now" }));
    // Thirty characters, not thirty bytes: each "é" here is two scalars and one character.
    std::string accented;
    for (int index = 0; index < 35; ++index)
        accented += "e\xCC\x81";
    EXPECT_EQ(outcome(JSON::object({ { "type", accented } }).encoded()),
        accented.substr(0, 90) + " is not available now");
}

// The fence patterns as ICU's engine, whose syntax they are written in, reads them.
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
        reference.reasons.emplace_back(JSON::decode(body) ? "the type is missing" : "the JSON is not valid");
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
    // Hand-picked replies first, then random ones from pieces that make and break fences. No body holds
    // a valid type, so every closed block is refused and the reasons count the blocks.
    std::vector<std::string> replies = { " \n\tHello.\n\n\n\nHow are you?\n\n\nBye.\xC2\xA0\n ",
        "Code:\n```action python\nprint(1)\n```\nDone.", "A\n```action \t\r\n{}```\nB",
        "A ```action\n{}``` B", "```action\n{\"a\":\"```\"}```", "Text ```action {}``` end",
        "Intro\n\n\n```action\n{\"type\":", "x````action\n{}```y",
        "Sure.\n```action\n[]\n```\nMore\n```action\n{\"type\":\"forget\"}\nand the rest" };
    const std::vector<std::string> pieces = { "```action", "```", "`", "action", " ", "\t", "\r", "\n",
        "\n\n\n", "{}", "[1]", "x", "\xC2\xA0", "\xE2\x80\xA8", "\xC3\xA9" };
    std::mt19937 random(5106);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(0, 40);
    for (int sample = 0; sample < 3000; ++sample) {
        std::string reply;
        for (int count = length(random); count > 0; --count)
            reply += pieces[pick(random)];
        replies.push_back(reply);
    }
    for (const auto& reply : replies) {
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
    std::vector<int> agreed(8, 0);
    {
        std::vector<std::jthread> threads;
        for (auto& count : agreed) {
            threads.emplace_back([&] {
                for (int round = 0; round < 50; ++round) {
                    auto result = extracted(reply);
                    count += result.actions == expected.actions && result.memory == expected.memory
                        && result.reasons == expected.reasons;
                }
            });
        }
    }
    EXPECT_EQ(agreed, std::vector<int>(agreed.size(), 50));
}

}
