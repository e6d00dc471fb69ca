#include "VellumarMacCore/Reply/JobSubmission.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/support/JobsTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellumar {
namespace {

    using test::decoded;
    using test::repeated;

    // A whole body when it starts with "{" or "["; otherwise members added to the smallest body that
    // passes.
    JSON body(std::string_view text = {})
    {
        if (text.starts_with("{") || text.starts_with("["))
            return decoded(text);
        std::string members = R"("conversationId":"ios-c1","botId":"b1","message":"hi")";
        return decoded("{" + members + (text.empty() ? "" : ",") + std::string(text) + "}");
    }

    // The message of the error `parse` throws, or "accepted" with the bot ("name|role|persona|primary").
    std::string refusal(const JSON& value)
    {
        try {
            auto bot = JobSubmission::parse(value).bot;
            return bot
                ? bot->name + "|" + bot->role + "|" + bot->persona + "|" + (bot->primary ? "primary" : "")
                : "accepted";
        } catch (const RelayHTTPError& error) {
            EXPECT_EQ(error, RelayHTTPError::badRequest(error.message()));
            return error.message();
        }
    }

    TEST(JobSubmission, RefusesWithTheMessageOfTheFirstBrokenRule)
    {
        const std::string message = "message must be 1 to 8000 characters.";
        const std::string timeLimit = "timeLimitSeconds must be a whole number of seconds.";
        const std::string actions = "allowedActions is not valid.";
        auto list = [](int count, const std::string& before, const std::string& after) {
            std::string items;
            for (int index = 0; index < count; ++index)
                items += (index ? "," : "") + before + std::to_string(index) + after;
            return "[" + items + "]";
        };
        // 👍🏽 as a phone may encode it: two scalars in UTF-16 escapes, one character.
        auto thumbs = [](int count) {
            return R"({"conversationId":"ios-c","botId":"b","message":")"
                + repeated(R"(\ud83d\udc4d\ud83c\udffd)", count) + "\"}";
        };
        const std::pair<std::string, std::string> cases[] = {
            { "[]", "The body must be a JSON object." },
            { R"({"botId":"b","message":"m","extra":1})", "The request has keys this relay does not know." },
            { R"({"conversationId":"ios-c","botId":"b","message":"   \n ","attachments":[]})", message },
            { R"({"conversationId":"ios-c","botId":"b","message":"   ","attachments":["uploads/a.png"]})",
                "accepted" },
            { thumbs(8000), "accepted" },
            { thumbs(8001), message },
            { R"("mode":"Queue")", "mode must be queue or interrupt." },
            // The bot's members trimmed, or the member at fault named.
            { R"("bot":{"name":"Q","role":null,"persona":null,"primary":null})", "Q|||" },
            { R"("bot":{"name":"  Quill\t","role":" scribe ","persona":"\n one\r\n\ttwo \n","primary":true})",
                "Quill|scribe|one\r\n\ttwo|primary" },
            { R"("bot":"Quill")", "bot is not valid." },
            { R"("bot":{"name":"Q","role":"abcdefghijklm"})", "bot.role is not valid." },
            { R"("bot":{"name":"Q","primary":1})", "bot.primary must be true or false." },
            { R"("timeLimitSeconds":90.5)", timeLimit },
            { R"("timeLimitSeconds":-1)", timeLimit },
            { R"("allowedActions":[")" + repeated("a", 41) + "\"]", actions },
            { R"("allowedActions":[)" + repeated("\"same\",", 31) + "\"same\"]", "accepted" },
            { R"("allowedActions":[)" + repeated("\"same\",", 32) + "\"same\"]", actions },
            { R"("attachments":)" + list(10, "\"uploads/f", ".png\""), "accepted" },
            { R"("attachments":)" + list(11, "\"uploads/f", ".png\""),
                "attachments must be a list of at most 10 file IDs." },
            { R"("attachments":["uploads/\u00e9.png","uploads/e\u0301.png"])",
                "attachments may only name uploaded files." },
            { R"("otherBots":)" + list(50, R"({"name":"B","id":"b)", "\"}"), "accepted" },
            { R"("otherBots":)" + list(51, R"({"name":"B","id":"b)", "\"}"), "otherBots is not valid." },
            { R"("autoCompact":{"mode":"auto","tokens":1000001})",
                "autoCompact.tokens must be 20000 to 1000000." },
        };
        for (const auto& [text, expected] : cases) {
            SCOPED_TRACE(text);
            EXPECT_EQ(refusal(body(text)), expected);
        }
    }

}
}
