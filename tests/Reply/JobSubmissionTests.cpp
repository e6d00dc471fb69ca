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
            EXPECT_EQ(error, RelayHTTPError::badRequest(error.message()))
                << error.status() << " " << error.code();
            return error.message();
        }
        return "accepted";
    }

    // 👍🏽: a thumb and a skin-tone modifier, two scalars and eight bytes, one character.
    constexpr std::string_view kThumbWithTone = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";

    TEST(JobSubmission, ParsesEveryMemberOfAFullRequest)
    {
        auto submission = JobSubmission::parse(decoded(R"({
            "conversationId": "ios-A.b_c:d-1",
            "botId": "writer_2",
            "message": "  Draft the letter\n\tplease  ",
            "mode": "interrupt",
            "timeLimitSeconds": 600,
            "bot": {"name": " Quill ", "role": "scribe", "persona": "Careful.\nKind.", "primary": true},
            "otherBots": [{"id": "helper", "name": " Help ", "role": " aide "}, {"id": "x9", "name": "X", "role": " "}],
            "allowedActions": ["ask_bot", "create_bot", "ask_bot"],
            "attachments": ["uploads/a.png", "uploads/notes.txt"],
            "permissions": {"web": false, "bash": true},
            "autoCompact": {"mode": "suggest", "tokens": 80000},
            "approvals": ["a-ffffffffffff", "a-0123456789ab"],
            "vault": [1, {"x": []}]
        })"));

        JobSubmission expected;
        expected.conversationID = "ios-A.b_c:d-1";
        expected.botID = "writer_2";
        expected.message = "Draft the letter\n\tplease";
        expected.mode = JobMode::interrupt;
        expected.timeLimit = 600;
        expected.bot = BotProfile { "Quill", "scribe", "Careful.\nKind.", true };
        expected.otherBots = { { "helper", "Help", "aide" }, { "x9", "X", "" } };
        expected.allowedActions = { "ask_bot", "create_bot" };
        expected.attachments = { "uploads/a.png", "uploads/notes.txt" };
        PermissionSettings permissions;
        permissions.web = false;
        permissions.bash = true;
        expected.permissions = permissions;
        expected.autoCompact = AutoCompactSetting { "suggest", 80000 };
        expected.approvals = { "a-ffffffffffff", "a-0123456789ab" };
        EXPECT_EQ(submission, expected);
    }

    TEST(JobSubmission, LeavesAbsentAndNullMembersAtTheirDefaults)
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
    }

    TEST(JobSubmission, RefusesWithTheMessageOfTheFirstBrokenRule)
    {
        const std::string message = "message must be 1 to 8000 characters.";
        const std::string timeLimit = "timeLimitSeconds must be a whole number of seconds.";
        const std::string actions = "allowedActions is not valid.";
        const std::string attachments = "attachments may only name uploaded files.";
        const std::string otherBots = "otherBots is not valid.";
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
        struct Case {
            std::string body;
            std::string message;
        };
        const Case cases[] = {
            { "[]", "The body must be a JSON object." },
            { R"({"botId":"b","message":"m","extra":1})", "The request has keys this relay does not know." },
            { R"({"botId":"b","message":"m"})", "conversationId is not valid." },
            { R"({"conversationId":"web-1","botId":"b","message":"m"})", "conversationId is not valid." },
            { R"({"conversationId":"ios-a b","message":"m"})", "conversationId is not valid." },
            { R"({"conversationId":"ios-c","botId":"Bot","message":"m"})", "botId is not valid." },
            { R"({"conversationId":"ios-c","botId":"b","attachments":{}})",
                "attachments must be a list of at most 10 file IDs." },
            { R"({"conversationId":"ios-c","botId":"b","message":"m","attachments":[1]})", attachments },
            { R"({"conversationId":"ios-c","botId":"b"})", message },
            { R"({"conversationId":"ios-c","botId":"b","message":"   \n ","attachments":[]})", message },
            { R"({"conversationId":"ios-c","botId":"b","attachments":["uploads/a.png"]})", message },
            { R"({"conversationId":"ios-c","botId":"b","message":"ring\u0007"})", message },
            { R"("mode":"Queue")", "mode must be queue or interrupt." },
            { R"("mode":0)", "mode must be queue or interrupt." },
            { R"("mode":"queue ")", "mode must be queue or interrupt." },
            { R"("timeLimitSeconds":90.5)", timeLimit },
            { R"("timeLimitSeconds":-1)", timeLimit },
            { R"("timeLimitSeconds":"60")", timeLimit },
            { R"("timeLimitSeconds":[],"permissions":7)", timeLimit },
            { R"("permissions":{"web":1},"vault":{})", "permissions.web must be true or false." },
            { R"("vault":false,"bot":1)", "vault is not valid." },
            { R"("bot":{"name":"n","role":4},"otherBots":1)", "bot.role is not valid." },
            { R"("allowedActions":["Ask_bot"])", actions },
            { R"("allowedActions":[null])", actions },
            { R"("allowedActions":[")" + repeated("a", 41) + "\"]", actions },
            { R"("allowedActions":[)" + repeated("\"same\",", 32) + "\"same\"]", actions },
            { R"("allowedActions":"a","autoCompact":1)", actions },
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
            { R"("otherBots":[{"id":"a","name":"Ann","role":"abcdefghijklm"}])",
                "otherBots.role is not valid." },
            { R"("otherBots":[{"id":"a","name":"Ann","role":"a\nb"}])", "otherBots.role is not valid." },
            { R"("otherBots":[{"id":"a","name":"A","role":7},{"id":"-"}])", "otherBots.role is not valid." },
            { R"("otherBots":)" + list(50, R"({"name":"B","id":"b)", "\"}"), "accepted" },
            { R"("otherBots":)" + list(51, R"({"name":"B","id":"b)", "\"}"), otherBots },
            { R"("otherBots":{})", otherBots },
            { R"("otherBots":[{"id":"a","name":"Ann","color":"red"}])", otherBots },
            { R"("otherBots":[{"id":"-a","name":"Ann"}])", otherBots },
            { R"("otherBots":[{"name":"Ann"}])", otherBots },
            { R"("otherBots":[{"id":"a","name":"   "}])", otherBots },
            { R"("otherBots":[{"id":"a","name":"abcdefghijklmnopqrstu"}])", otherBots },
            { R"("otherBots":["a"])", otherBots },
            // Compaction: tokens within their range, both ends included.
            { R"("autoCompact":{"mode":"off","tokens":20000})", "accepted" },
            { R"("autoCompact":{"mode":"auto","tokens":1000000})", "accepted" },
            { R"("autoCompact":{"mode":"auto","tokens":19999})", tokens },
            { R"("autoCompact":{"mode":"auto","tokens":1000001})", tokens },
            { R"("autoCompact":{"mode":"auto","tokens":null})", tokens },
            { R"("autoCompact":{"mode":"auto","tokens":50000,"when":"now"})", autoCompact },
            { R"("autoCompact":{"mode":"Auto"})", autoCompact },
            { R"("autoCompact":{"tokens":50000})", autoCompact },
            { R"("autoCompact":"auto")", autoCompact },
            { R"("autoCompact":{"mode":"x","tokens":1})", autoCompact },
            // Approvals: at most two distinct ids.
            { R"("approvals":["a-000000000001","a-000000000002","a-000000000003"])", approvals },
            { R"("approvals":["a-0123456789AB"])", approvals },
            { R"("approvals":["a-0123456789ab","a-0123456789ab"])", approvals },
            { R"("approvals":"a-0123456789ab")", approvals },
            { R"("approvals":[12])", approvals },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.body);
            EXPECT_EQ(refusal(body(testCase.body)), testCase.message);
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
        auto withMessage = [](const std::string& text) {
            return JSON(
                JSON::Object { { "conversationId", "ios-c" }, { "botId", "b" }, { "message", text } });
        };
        auto longest = repeated(kThumbWithTone, 8000);
        // White space around the text does not count towards the limit.
        EXPECT_EQ(JobSubmission::parse(withMessage("\n  " + longest + " \t\r\n")).message, longest);
        EXPECT_EQ(
            refusal(withMessage(repeated(kThumbWithTone, 8001))), "message must be 1 to 8000 characters.");

        // Python escapes every character outside ASCII as UTF-16 \u escapes, surrogate pairs included,
        // as some phone encoders do.
        auto peer = test::runPeer({ "python3", "-c",
            "import json, sys\n"
            "message = '\\U0001F44D\\U0001F3FD' * int(sys.argv[1])\n"
            "print(json.dumps({'conversationId': 'ios-c', 'botId': 'b', 'message': message}))",
            "8000" });
        ASSERT_EQ(peer.exitStatus, 0);
        ASSERT_NE(peer.output.find("\\ud83d\\udc4d"), std::string::npos);
        EXPECT_EQ(JobSubmission::parse(decoded(peer.output)).message, longest);
    }

    TEST(JobSubmission, BlankMessageIsKeptEmptyOnlyWithAnAttachment)
    {
        auto submission
            = JobSubmission::parse(body(R"({"conversationId":"ios-c","botId":"b","message":"   ",)"
                                        R"("attachments":["uploads/a.png"]})"));
        EXPECT_EQ(submission.message, "");
        EXPECT_EQ(submission.attachments, std::vector<std::string> { "uploads/a.png" });
    }

    TEST(JobSubmission, AllowedActionsKeepFirstOccurrencesOfAtMostThirtyTwoNamesSent)
    {
        auto value = decoded(R"(["ask_bot","_","ask_bot",")" + repeated("a", 40) + "\"]");
        EXPECT_EQ(JobSubmission::parseAllowedActions(&value),
            (std::vector<std::string> { "ask_bot", "_", repeated("a", 40) }));
        auto thirtyTwo = decoded("[" + repeated("\"same\",", 31) + "\"same\"]");
        EXPECT_EQ(JobSubmission::parseAllowedActions(&thirtyTwo), std::vector<std::string> { "same" });
    }

}
}
