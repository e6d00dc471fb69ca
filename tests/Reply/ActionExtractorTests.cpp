#include "VellumarMacCore/Reply/ActionExtractor.h"

#include "tests/support/JobsTestSupport.h"

#include <gtest/gtest.h>

#include <unicode/regex.h>
#include <unicode/uchar.h>

#include <random>
#include <string>
#include <vector>

using vellumar::JSON;
using vellumar::MemoryStore;
using vellumar::test::repeated;
namespace ActionExtractor = vellumar::ActionExtractor;

namespace {

const std::vector<std::string> kEveryAction = { "create_bot", "update_bot", "delete_bot", "ask_bot",
    "update_settings", "create_routine", "update_routine", "delete_routine" };

std::string block(std::string_view body) { return "```action\n" + std::string(body) + "\n```\n"; }

// "main" is the user's main bot, "helper" another of the user's bots; "off" is the main bot with
// routines turned off.
ActionExtractor::Context contextOf(std::string_view bot)
{
    bool helper = bot == "helper";
    return { .botID = helper ? "helper" : "main",
        .primary = !helper,
        .otherBotIDs = { helper ? "main" : "helper", "coach" },
        .routines = { { "r-1", { "main", "Morning news" } }, { "r-2", { "helper", "Plants" } } },
        .routinesEnabled = bot != "off",
        .timeZone = std::shared_ptr<const icu::TimeZone>(icu::TimeZone::createTimeZone("Europe/Berlin")) };
}

// One block's outcome: the reason it was refused ("refused" for wrong keys or values), or what it
// became.
std::string outcome(std::string_view body, std::string_view bot)
{
    auto result = ActionExtractor::extract(block(body), kEveryAction, contextOf(bot));
    if (!result.reasons.empty())
        return result.reasons[0].ends_with(" has wrong keys or values") ? "refused" : result.reasons[0];
    if (!result.actions.empty())
        return result.actions[0].encoded();
    if (!result.memory.empty())
        return (result.memory[0].kind == MemoryStore::Op::Kind::remember ? "remember " : "forget ")
            + result.memory[0].text;
    return "attach " + result.attachments.at(0);
}

TEST(ActionExtractor, ChecksEachBlockByItsType)
{
    struct Case {
        std::string body;
        std::string expected;
        std::string_view bot = "main";
    };
    const std::string routine = R"("name":"N","prompt":"P","schedule":{"kind":"interval","hours":2})";
    const Case cases[] = {
        { "nope", "the JSON is not valid" },
        { R"([{"type":"remember","text":"x"}])", "the type is missing" },
        // Thirty characters of an unknown type, not thirty bytes: each "é" here is two scalars.
        { "{\"type\":\"" + repeated("e\xCC\x81", 35) + "\"}",
            repeated("e\xCC\x81", 30) + " is not available now" },
        { R"({"type":"remember","text":" tea  please "})", "remember tea please" },
        { R"({"type":"remember","text":"tea","why":"x"})", "remember is not valid" },
        { R"({"type":"forget","memoryId":"m-0123abcd"})", "forget m-0123abcd" },
        { R"({"type":"attach_file","path":"a.txt"})", "attach a.txt" },
        // Profiles: trimmed, unknown colours and shapes shown as the phone's default, limits in characters.
        { R"({"type":"create_bot","name":"  Ada  ","role":"","persona":" kind\nand calm ","color":"teal","shape":"blob"})",
            R"({"color":"teal","name":"Ada","persona":"kind\nand calm","role":"","shape":"blob","type":"create_bot"})" },
        { R"({"type":"create_bot","name":"123456789012345678901"})", "refused" },
        { R"({"type":"update_bot","botId":"helper"})", "refused" },
        { R"({"type":"delete_bot","botId":"helper"})", R"({"botId":"helper","type":"delete_bot"})" },
        // Asking: by id (known to the phone, not here) or by name, never both and never itself.
        { R"({"type":"ask_bot","botId":"stranger","message":"  How was the run?\n"})",
            R"({"botId":"stranger","message":"How was the run?","type":"ask_bot"})" },
        { R"({"type":"ask_bot","botId":"coach","botName":"Coach","message":"Hi"})", "refused" },
        { R"({"type":"ask_bot","botId":"main","message":"Hi"})", "refused" },
        { R"({"type":"ask_bot","botId":"coach","message":")" + repeated("e\xCC\x81", 5001) + "\"}",
            "refused" },
        // Settings: of itself, or of the user's other bots as the main bot; something must change.
        { R"({"type":"update_settings","botId":"helper","reason":" needs the web ","web":true,"folders":[{"path":"~/x"}]})",
            R"({"botId":"helper","folders":[{"path":"~/x"}],"reason":"needs the web","type":"update_settings","web":true})",
            "helper" },
        { R"({"type":"update_settings","botId":"stranger","reason":"r","web":true})", "refused" },
        { R"({"type":"update_settings","botId":"main","reason":"r","web":true})", "refused", "helper" },
        { R"({"type":"update_settings","botId":"main","reason":"r"})", "refused" },
        // Routines: the schedule in its canonical form, owners as for settings, only while routines are on.
        { R"({"type":"create_routine","botId":"main","name":" News ","prompt":"Summarise.","schedule":{"kind":"weekly","days":["sun","mon"],"time":"+7:05"},"enabled":true,"target":"bot","includeToday":false})",
            R"({"botId":"main","enabled":true,"includeToday":false,"name":"News","prompt":"Summarise.","schedule":{"days":["mon","sun"],"kind":"weekly","time":"07:05"},"target":"bot","type":"create_routine"})" },
        { R"({"type":"create_routine","botId":"coach",)" + routine + "}",
            R"({"botId":"coach","name":"N","prompt":"P","schedule":{"hours":2,"kind":"interval"},"type":"create_routine"})" },
        { R"({"type":"create_routine","botId":"coach",)" + routine + "}", "refused", "helper" },
        { R"({"type":"create_routine","botId":"main",)" + routine + "}", "refused", "off" },
        { R"({"type":"update_routine","routineId":"r-2","name":"Water plants"})",
            R"({"botId":"helper","name":"Water plants","routineId":"r-2","routineName":"Plants","type":"update_routine"})",
            "helper" },
        { R"({"type":"update_routine","routineId":"r-1","enabled":false})", "refused", "helper" },
        { R"({"type":"delete_routine","routineId":"r-9"})", "refused" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.bot) + ": " + testCase.body.substr(0, 200));
        EXPECT_EQ(outcome(testCase.body, testCase.bot), testCase.expected);
    }
}

// The fence patterns as ICU's engine, whose syntax they are written in, reads them: the text and one
// reason per block, since no body below holds a valid type.
std::pair<std::string, std::vector<std::string>> referenceExtraction(const std::string& reply)
{
    auto replaced = [](const icu::UnicodeString& text, const char* pattern, const char* by) {
        UErrorCode status = U_ZERO_ERROR;
        icu::RegexMatcher matcher(icu::UnicodeString::fromUTF8(pattern), text, UREGEX_DOTALL, status);
        auto result = matcher.replaceAll(icu::UnicodeString::fromUTF8(by), status);
        EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
        return result;
    };
    const char* blockPattern = "```action[ \\t]*\\r?\\n(.*?)```";
    const char* unclosedPattern = "```action[ \\t]*\\r?\\n.*\\z";
    auto text = icu::UnicodeString::fromUTF8(reply);
    std::vector<std::string> reasons;
    UErrorCode status = U_ZERO_ERROR;
    icu::RegexMatcher blocks(icu::UnicodeString::fromUTF8(blockPattern), text, UREGEX_DOTALL, status);
    while (blocks.find()) {
        std::string body;
        blocks.group(1, status).toUTF8String(body);
        reasons.emplace_back(JSON::decode(body) ? "the type is missing" : "the JSON is not valid");
    }
    auto withoutBlocks = replaced(text, blockPattern, "");
    if (icu::RegexMatcher(icu::UnicodeString::fromUTF8(unclosedPattern), withoutBlocks, UREGEX_DOTALL, status)
            .find())
        reasons.emplace_back("a block was not closed with ```");
    auto stripped = replaced(replaced(withoutBlocks, unclosedPattern, ""), "\\n{3,}", "\n\n");
    int32_t begin = 0;
    int32_t end = stripped.length();
    while (begin < end && u_isUWhiteSpace(stripped.char32At(begin)))
        begin = stripped.moveIndex32(begin, 1);
    while (end > begin && u_isUWhiteSpace(stripped.char32At(stripped.moveIndex32(end, -1))))
        end = stripped.moveIndex32(end, -1);
    std::string strippedText;
    stripped.tempSubStringBetween(begin, end).toUTF8String(strippedText);
    return { strippedText, reasons };
}

TEST(ActionExtractor, FindsTheSameBlocksAsTheRegularExpressions)
{
    // Hand-picked replies first, then random ones from pieces that make and break fences.
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
        auto [text, reasons] = referenceExtraction(reply);
        auto result = ActionExtractor::extract(reply, kEveryAction, contextOf("main"));
        EXPECT_EQ(result.text, text);
        EXPECT_EQ(result.reasons, reasons);
        EXPECT_EQ(ActionExtractor::stripBlocks(reply), text);
        if (HasFailure())
            return;
    }
}

}
