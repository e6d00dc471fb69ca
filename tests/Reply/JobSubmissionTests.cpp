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

    // The message of the error `parse` throws, or "accepted".
    std::string refusal(const JSON& value)
    {
        try {
            JobSubmission::parse(value);
        } catch (const RelayHTTPError& error) {
            EXPECT_EQ(error, RelayHTTPError::badRequest(error.message()));
            return error.message();
        }
        return "accepted";
    }

    TEST(JobSubmission, ParsesEveryMemberOfAFullRequestAndLeavesAbsentOrNullOnesAtTheirDefaults)
    {
        JobSubmission expected;
        expected.conversationID = "ios-c1";
        expected.botID = "b1";
        expected.message = "hi";
        EXPECT_EQ(JobSubmission::parse(body()), expected);
        EXPECT_EQ(
            JobSubmission::parse(body(R"("mode":null,"timeLimitSeconds":null,"bot":null,"otherBots":null,)"
                                      R"("allowedActions":null,"attachments":null,"permissions":null,)"
                                      R"("autoCompact":null,"approvals":null,"vault":null)")),
            expected);
        EXPECT_EQ(JobSubmission::parse(body(R"("autoCompact":{"mode":"auto"})")).autoCompact,
            (AutoCompactSetting { "auto", 50000 }));

        expected.conversationID = "ios-A.b_c:d-1";
        expected.botID = "writer_2";
        expected.message = "Draft the letter\n\tplease";
        expected.mode = JobMode::interrupt;
        expected.timeLimit = 600;
        expected.bot = BotProfile { "Quill", "scribe", "Careful.\nKind.", true };
        expected.otherBots = { { "helper", "Help", "aide" }, { "x9", "X", "" } };
        expected.allowedActions = { "ask_bot", "create_bot" };
        expected.attachments = { "uploads/a.png", "uploads/notes.txt" };
        expected.permissions = PermissionSettings {};
        expected.permissions->web = false;
        expected.permissions->bash = true;
        expected.autoCompact = AutoCompactSetting { "suggest", 80000 };
        expected.approvals = { "a-ffffffffffff", "a-0123456789ab" };
        EXPECT_EQ(JobSubmission::parse(decoded(R"({
            "conversationId": "ios-A.b_c:d-1", "botId": "writer_2", "message": "  Draft the letter\n\tplease  ",
            "mode": "interrupt", "timeLimitSeconds": 600,
            "bot": {"name": " Quill ", "role": "scribe", "persona": "Careful.\nKind.", "primary": true},
            "otherBots": [{"id": "helper", "name": " Help ", "role": " aide "}, {"id": "x9", "name": "X", "role": " "}],
            "allowedActions": ["ask_bot", "create_bot", "ask_bot"],
            "attachments": ["uploads/a.png", "uploads/notes.txt"],
            "permissions": {"web": false, "bash": true},
            "autoCompact": {"mode": "suggest", "tokens": 80000},
            "approvals": ["a-ffffffffffff", "a-0123456789ab"],
            "vault": [1, {"x": []}]
        })")),
            expected);
    }

    TEST(JobSubmission, RefusesWithTheMessageOfTheFirstBrokenRule)
    {
        const std::string message = "message must be 1 to 8000 characters.";
        const std::string mode = "mode must be queue or interrupt.";
        const std::string timeLimit = "timeLimitSeconds must be a whole number of seconds.";
        const std::string actions = "allowedActions is not valid.";
        const std::string attachments = "attachments may only name uploaded files.";
        const std::string otherBots = "otherBots is not valid.";
        const std::string role = "otherBots.role is not valid.";
        const std::string autoCompact
            = R"(autoCompact must be {"mode": "off" | "auto" | "suggest", "tokens": n}.)";
        const std::string tokens = "autoCompact.tokens must be 20000 to 1000000.";
        const std::string approvals = "approvals must list at most 2 approval IDs.";
        auto list = [](int count, const std::string& before, const std::string& after) {
            std::string items;
            for (int index = 0; index < count; ++index)
                items += (index ? "," : "") + before + std::to_string(index) + after;
            return "[" + items + "]";
        };
        const std::pair<std::string, std::string> cases[] = {
            { "[]", "The body must be a JSON object." },
            { R"({"botId":"b","message":"m","extra":1})", "The request has keys this relay does not know." },
            { R"({"botId":"b","message":"m"})", "conversationId is not valid." },
            { R"({"conversationId":"web-1","botId":"b","message":"m"})", "conversationId is not valid." },
            { R"({"conversationId":"ios-c","botId":"Bot","message":"m"})", "botId is not valid." },
            { R"({"conversationId":"ios-c","botId":"b","attachments":{}})",
                "attachments must be a list of at most 10 file IDs." },
            { R"({"conversationId":"ios-c","botId":"b","message":"m","attachments":[1]})", attachments },
            { R"({"conversationId":"ios-c","botId":"b"})", message },
            { R"({"conversationId":"ios-c","botId":"b","message":"   \n ","attachments":[]})", message },
            { R"({"conversationId":"ios-c","botId":"b","message":"   ","attachments":["uploads/a.png"]})",
                "accepted" },
            { R"({"conversationId":"ios-c","botId":"b","message":"ring\u0007"})", message },
            { R"("mode":"Queue")", mode },
            { R"("mode":"queue ")", mode },
            { R"("timeLimitSeconds":90.5)", timeLimit },
            { R"("timeLimitSeconds":-1)", timeLimit },
            { R"("timeLimitSeconds":"60","permissions":7)", timeLimit },
            { R"("permissions":{"web":1},"vault":{})", "permissions.web must be true or false." },
            { R"("vault":false,"bot":1)", "vault is not valid." },
            { R"("bot":{"name":"n","role":4},"otherBots":1)", "bot.role is not valid." },
            // Action names: distinct, up to forty characters, thirty-two sent at most.
            { R"("allowedActions":["_",")" + repeated("a", 40) + "\"]", "accepted" },
            { R"("allowedActions":[")" + repeated("a", 41) + "\"]", actions },
            { R"("allowedActions":["Ask_bot"])", actions },
            { R"("allowedActions":[)" + repeated("\"same\",", 31) + "\"same\"]", "accepted" },
            { R"("allowedActions":[)" + repeated("\"same\",", 32) + "\"same\"]", actions },
            { R"("autoCompact":{"mode":"on"},"approvals":1)", autoCompact },
            // Attachments: the uploads themselves only, each once, ten at most.
            { R"("attachments":)" + list(10, "\"uploads/f", ".png\""), "accepted" },
            { R"("attachments":)" + list(11, "\"uploads/f", ".png\""),
                "attachments must be a list of at most 10 file IDs." },
            { R"("attachments":["uploads/a.png-preview.jpg"])", attachments },
            { R"("attachments":["uploads/clip-frames/frame-1.jpg"])", attachments },
            { R"("attachments":["report.pdf"])", attachments },
            { R"("attachments":["uploads/a.png","uploads/a.png"])", attachments },
            { R"("attachments":["uploads/\u00e9.png","uploads/e\u0301.png"])", attachments },
            // Other bots, each read on its own.
            { R"("otherBots":[{"id":"a","name":"Ann","role":"abcdefghijkl"}])", "accepted" },
            { R"("otherBots":[{"id":"a","name":"Ann","role":"abcdefghijklm"}])", role },
            { R"("otherBots":)" + list(50, R"({"name":"B","id":"b)", "\"}"), "accepted" },
            { R"("otherBots":)" + list(51, R"({"name":"B","id":"b)", "\"}"), otherBots },
            { R"("otherBots":[{"id":"a","name":"Ann","color":"red"}])", otherBots },
            { R"("otherBots":[{"id":"-a","name":"Ann"}])", otherBots },
            { R"("otherBots":[{"id":"a","name":"   "}])", otherBots },
            // Compaction: tokens within their range, both ends included.
            { R"("autoCompact":{"mode":"off","tokens":20000})", "accepted" },
            { R"("autoCompact":{"mode":"auto","tokens":1000000})", "accepted" },
            { R"("autoCompact":{"mode":"auto","tokens":19999})", tokens },
            { R"("autoCompact":{"mode":"auto","tokens":1000001})", tokens },
            { R"("autoCompact":{"mode":"auto","tokens":50000,"when":"now"})", autoCompact },
            { R"("autoCompact":{"mode":"Auto"})", autoCompact },
            // Approvals: at most two distinct ids.
            { R"("approvals":["a-000000000001","a-000000000002","a-000000000003"])", approvals },
            { R"("approvals":["a-0123456789AB"])", approvals },
            { R"("approvals":["a-0123456789ab","a-0123456789ab"])", approvals },
        };
        for (const auto& [text, expected] : cases) {
            SCOPED_TRACE(text);
            EXPECT_EQ(refusal(body(text)), expected);
        }
    }

    TEST(JobSubmission, TimeLimitIsClampedAndZeroMeansTheLongest)
    {
        const std::pair<std::string, double> cases[] = { { "0", 10800 }, { "59", 60 }, { "61", 61 },
            { "120.0", 120 }, { "10801", 10800 }, { "999999999999999", 10800 } };
        EXPECT_EQ(JobSubmission::parseTimeLimit(nullptr), 1800);
        for (const auto& [value, seconds] : cases) {
            SCOPED_TRACE(value);
            EXPECT_EQ(JobSubmission::parse(body("\"timeLimitSeconds\":" + value)).timeLimit, seconds);
        }
    }

    TEST(JobSubmission, MessageLimitCountsCharactersNotBytesOrScalars)
    {
        // 👍🏽: a thumb and a skin-tone modifier, two scalars and eight bytes, one character. Python
        // escapes every character outside ASCII as UTF-16 \u escapes, surrogate pairs included, as some
        // phone encoders do.
        auto peer = test::runPeer({ "python3", "-c",
            "import json, sys\n"
            "for count in (8000, 8001):\n"
            "    print(json.dumps({'conversationId': 'ios-c', 'botId': 'b', 'message': "
            "'\\n ' + '\\U0001F44D\\U0001F3FD' * count + ' \\t'}))" });
        ASSERT_EQ(peer.exitStatus, 0);
        auto newline = peer.output.find('\n');
        ASSERT_NE(peer.output.find("\\ud83d\\udc4d"), std::string::npos);
        EXPECT_EQ(JobSubmission::parse(decoded(peer.output.substr(0, newline))).message,
            repeated("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 8000));
        EXPECT_EQ(refusal(decoded(peer.output.substr(newline + 1))), "message must be 1 to 8000 characters.");
    }

}
}
