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

    // The smallest body that passes, as text so that cases can extend it by hand.
    constexpr std::string_view kMinimalMembers = R"("conversationId":"ios-c1","botId":"b1","message":"hi")";

    JSON body(std::string_view extraMembers = {})
    {
        std::string text = "{" + std::string(kMinimalMembers);
        if (!extraMembers.empty())
            text += "," + std::string(extraMembers);
        text += "}";
        return decoded(text);
    }

    // The error `parse` throws, or nullopt when it accepts the body.
    std::optional<RelayHTTPError> refusal(const JSON& value)
    {
        try {
            JobSubmission::parse(value);
        } catch (const RelayHTTPError& error) {
            return error;
        }
        return std::nullopt;
    }

    void expectRefused(const JSON& value, const std::string& message)
    {
        auto error = refusal(value);
        ASSERT_TRUE(error) << "accepted " << value.encoded();
        EXPECT_EQ(*error, RelayHTTPError::badRequest(message))
            << error->status() << " " << error->code() << " " << error->message();
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
            "otherBots": [{"id": "helper", "name": "Help", "role": "aide"}, {"id": "x9", "name": "X"}],
            "allowedActions": ["ask_bot", "create_bot"],
            "attachments": ["uploads/a.png", "uploads/notes.txt"],
            "permissions": {"web": false, "bash": true},
            "autoCompact": {"mode": "suggest", "tokens": 80000},
            "approvals": ["a-0123456789ab", "a-ba9876543210"],
            "vault": ["ignored"]
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
        expected.approvals = { "a-0123456789ab", "a-ba9876543210" };
        EXPECT_EQ(submission, expected);
        EXPECT_FALSE(submission.routineID);
    }

    TEST(JobSubmission, LeavesOptionalMembersAtTheirDefaults)
    {
        auto submission = JobSubmission::parse(body());
        EXPECT_EQ(submission.mode, JobMode::queue);
        EXPECT_EQ(submission.timeLimit, 1800);
        EXPECT_FALSE(submission.bot);
        EXPECT_TRUE(submission.otherBots.empty());
        EXPECT_TRUE(submission.allowedActions.empty());
        EXPECT_TRUE(submission.attachments.empty());
        EXPECT_FALSE(submission.permissions);
        EXPECT_FALSE(submission.autoCompact);
        EXPECT_TRUE(submission.approvals.empty());
        EXPECT_FALSE(submission.routineID);

        const char* nulls
            = R"("mode":null,"timeLimitSeconds":null,"bot":null,"otherBots":null,)"
              R"("allowedActions":null,"attachments":null,"permissions":null,"autoCompact":null,)"
              R"("approvals":null,"vault":null)";
        EXPECT_EQ(JobSubmission::parse(body(nulls)), submission);
    }

    TEST(JobSubmission, RefusesWithTheMessageOfTheFirstBrokenRule)
    {
        struct Case {
            const char* name;
            std::string body;
            std::string message;
        };
        const std::string unknownKeys = "The request has keys this relay does not know.";
        const std::string conversation = "conversationId is not valid.";
        const std::string bot = "botId is not valid.";
        const std::string attachmentList = "attachments must be a list of at most 10 file IDs.";
        const std::string attachmentKind = "attachments may only name uploaded files.";
        const std::string message = "message must be 1 to 8000 characters.";
        const std::string timeLimit = "timeLimitSeconds must be a whole number of seconds.";
        const Case cases[] = {
            { "array body", "[]", "The body must be a JSON object." },
            { "string body", R"("hello")", "The body must be a JSON object." },
            { "null body", "null", "The body must be a JSON object." },
            { "unknown key before missing conversation", R"({"botId":"b","message":"m","extra":1})",
                unknownKeys },
            { "unknown key with everything else valid",
                R"({"conversationId":"ios-c","botId":"b","message":"m","Mode":"queue"})", unknownKeys },
            { "conversation missing", R"({"botId":"b","message":"m"})", conversation },
            { "conversation not a string", R"({"conversationId":5,"botId":"b","message":"m"})",
                conversation },
            { "conversation without prefix", R"({"conversationId":"web-1","botId":"b","message":"m"})",
                conversation },
            { "conversation only the prefix", R"({"conversationId":"ios-","botId":"b","message":"m"})",
                conversation },
            { "conversation before bot", R"({"conversationId":"ios-a b","message":"m"})", conversation },
            { "bot missing", R"({"conversationId":"ios-c","message":"m"})", bot },
            { "bot upper case", R"({"conversationId":"ios-c","botId":"Bot","message":"m"})", bot },
            { "bot of 33 characters",
                R"({"conversationId":"ios-c","message":"m","botId":")" + repeated("b", 33) + "\"}", bot },
            { "attachments before message", R"({"conversationId":"ios-c","botId":"b","attachments":{}})",
                attachmentList },
            { "attachments as a string",
                R"({"conversationId":"ios-c","botId":"b","message":"m","attachments":"uploads/a"})",
                attachmentList },
            { "attachment not a string",
                R"({"conversationId":"ios-c","botId":"b","message":"m","attachments":[1]})", attachmentKind },
            { "message missing", R"({"conversationId":"ios-c","botId":"b"})", message },
            { "message not a string", R"({"conversationId":"ios-c","botId":"b","message":["m"]})", message },
            { "message empty", R"({"conversationId":"ios-c","botId":"b","message":""})", message },
            { "message only spaces", R"({"conversationId":"ios-c","botId":"b","message":"   \n "})",
                message },
            { "message with BEL", R"({"conversationId":"ios-c","botId":"b","message":"ring\u0007"})",
                message },
            { "message with NUL", R"({"conversationId":"ios-c","botId":"b","message":"a\u0000b"})", message },
            { "message with vertical tab", R"({"conversationId":"ios-c","botId":"b","message":"a\u000bb"})",
                message },
            { "message with C1 control", R"({"conversationId":"ios-c","botId":"b","message":"a\u0085b"})",
                message },
            { "message of 8001 letters",
                R"({"conversationId":"ios-c","botId":"b","message":")" + repeated("x", 8001) + "\"}",
                message },
            { "mode capitalised", R"({"conversationId":"ios-c","botId":"b","message":"m","mode":"Queue"})",
                "mode must be queue or interrupt." },
            { "mode a number", R"({"conversationId":"ios-c","botId":"b","message":"m","mode":0})",
                "mode must be queue or interrupt." },
            { "time limit fraction",
                R"({"conversationId":"ios-c","botId":"b","message":"m","timeLimitSeconds":90.5})",
                timeLimit },
            { "time limit negative",
                R"({"conversationId":"ios-c","botId":"b","message":"m","timeLimitSeconds":-5})", timeLimit },
            { "time limit string",
                R"({"conversationId":"ios-c","botId":"b","message":"m","timeLimitSeconds":"60"})",
                timeLimit },
            { "time limit boolean",
                R"({"conversationId":"ios-c","botId":"b","message":"m","timeLimitSeconds":true})",
                timeLimit },
            { "time limit 1e15",
                R"({"conversationId":"ios-c","botId":"b","message":"m","timeLimitSeconds":1e15})",
                timeLimit },
            { "time limit before permissions",
                R"({"conversationId":"ios-c","botId":"b","message":"m","timeLimitSeconds":[],"permissions":7})",
                timeLimit },
            { "permissions message passes through",
                R"({"conversationId":"ios-c","botId":"b","message":"m","permissions":{"sudo":true}})",
                "permissions has keys this relay does not know." },
            { "permissions before vault",
                R"({"conversationId":"ios-c","botId":"b","message":"m","permissions":{"web":1},"vault":{}})",
                "permissions.web must be true or false." },
            { "vault object", R"({"conversationId":"ios-c","botId":"b","message":"m","vault":{}})",
                "vault is not valid." },
            { "vault string", R"({"conversationId":"ios-c","botId":"b","message":"m","vault":"v"})",
                "vault is not valid." },
            { "vault before bot",
                R"({"conversationId":"ios-c","botId":"b","message":"m","vault":false,"bot":1})",
                "vault is not valid." },
            { "bot message passes through",
                R"({"conversationId":"ios-c","botId":"b","message":"m","bot":{"name":"n","role":4}})",
                "bot.role is not valid." },
            { "bot before other bots",
                R"({"conversationId":"ios-c","botId":"b","message":"m","bot":[],"otherBots":1})",
                "bot is not valid." },
            { "other bots not a list",
                R"({"conversationId":"ios-c","botId":"b","message":"m","otherBots":{}})",
                "otherBots is not valid." },
            { "allowed action with capital",
                R"({"conversationId":"ios-c","botId":"b","message":"m","allowedActions":["Ask_bot"]})",
                "allowedActions is not valid." },
            { "allowed action with digit",
                R"({"conversationId":"ios-c","botId":"b","message":"m","allowedActions":["ask2"]})",
                "allowedActions is not valid." },
            { "allowed action of 41 letters",
                R"({"conversationId":"ios-c","botId":"b","message":"m","allowedActions":[")"
                    + repeated("a", 41) + "\"]}",
                "allowedActions is not valid." },
            { "allowed action not a string",
                R"({"conversationId":"ios-c","botId":"b","message":"m","allowedActions":[null]})",
                "allowedActions is not valid." },
            { "allowed actions before auto compact",
                R"({"conversationId":"ios-c","botId":"b","message":"m","allowedActions":"a","autoCompact":1})",
                "allowedActions is not valid." },
            { "auto compact before approvals",
                R"({"conversationId":"ios-c","botId":"b","message":"m","autoCompact":{"mode":"on"},"approvals":1})",
                R"(autoCompact must be {"mode": "off" | "auto" | "suggest", "tokens": n}.)" },
            { "approvals not a list",
                R"({"conversationId":"ios-c","botId":"b","message":"m","approvals":"a-0123456789ab"})",
                "approvals must list at most 2 approval IDs." },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            expectRefused(decoded(testCase.body), testCase.message);
        }
    }

    TEST(JobSubmission, TimeLimitIsClampedAndZeroMeansTheLongest)
    {
        struct Case {
            const char* name;
            std::optional<std::string> value;
            double seconds;
        };
        const Case cases[] = {
            { "absent", std::nullopt, 1800 },
            { "null", "null", 1800 },
            { "zero", "0", 10800 },
            { "negative zero", "-0", 10800 },
            { "one", "1", 60 },
            { "thirty", "30", 60 },
            { "least", "60", 60 },
            { "in range", "61", 61 },
            { "most", "10800", 10800 },
            { "above", "10801", 10800 },
            { "twenty thousand", "20000", 10800 },
            { "whole in exponent form", "6e2", 600 },
            { "whole with fraction digits", "120.0", 120 },
            { "largest whole below 1e15", "999999999999999", 10800 },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            std::optional<JSON> value;
            if (testCase.value)
                value = decoded(*testCase.value);
            EXPECT_EQ(JobSubmission::parseTimeLimit(value ? &*value : nullptr), testCase.seconds);
            if (testCase.value) {
                EXPECT_EQ(JobSubmission::parse(body("\"timeLimitSeconds\":" + *testCase.value)).timeLimit,
                    testCase.seconds);
            }
        }
    }

    TEST(JobSubmission, MessageLimitCountsCharactersNotBytesOrScalars)
    {
        auto withMessage = [](const std::string& text) {
            return JSON(
                JSON::Object { { "conversationId", "ios-c" }, { "botId", "b" }, { "message", text } });
        };
        auto longest = repeated(kThumbWithTone, 8000);
        EXPECT_EQ(JobSubmission::parse(withMessage(longest)).message, longest);
        expectRefused(withMessage(repeated(kThumbWithTone, 8001)), "message must be 1 to 8000 characters.");

        // White space around the text does not count towards the limit.
        EXPECT_EQ(JobSubmission::parse(withMessage("\n  " + longest + " \t\r\n")).message, longest);
    }

    TEST(JobSubmission, AcceptsTheLongestMessageAsAnIndependentEncoderEscapesIt)
    {
        // Python escapes every character outside ASCII as UTF-16 \u escapes, surrogate pairs included,
        // as some phone encoders do.
        auto peer = test::runPeer({ "python3", "-c",
            "import json, sys\n"
            "message = '\\U0001F44D\\U0001F3FD' * int(sys.argv[1])\n"
            "print(json.dumps({'conversationId': 'ios-c', 'botId': 'b', 'message': message}))",
            "8000" });
        ASSERT_EQ(peer.exitStatus, 0);
        ASSERT_NE(peer.output.find("\\ud83d\\udc4d"), std::string::npos);
        EXPECT_EQ(JobSubmission::parse(decoded(peer.output)).message, repeated(kThumbWithTone, 8000));
    }

    TEST(JobSubmission, BlankMessageIsKeptEmptyOnlyWithAnAttachment)
    {
        auto submission = JobSubmission::parse(body(R"("message":"   ","attachments":["uploads/a.png"])"));
        EXPECT_EQ(submission.message, "");
        EXPECT_EQ(submission.attachments, std::vector<std::string> { "uploads/a.png" });

        expectRefused(decoded(R"({"conversationId":"ios-c","botId":"b","message":"   ","attachments":[]})"),
            "message must be 1 to 8000 characters.");
        expectRefused(decoded(R"({"conversationId":"ios-c","botId":"b","attachments":["uploads/a.png"]})"),
            "message must be 1 to 8000 characters.");
    }

    TEST(JobSubmission, AttachmentsNameOnlyUploadsThemselves)
    {
        struct Case {
            const char* name;
            std::string list;
            std::optional<std::string> message; // nullopt: accepted
        };
        const std::string kind = "attachments may only name uploaded files.";
        std::string eleven;
        for (int i = 0; i < 11; ++i)
            eleven += std::string(i ? "," : "") + "\"uploads/f" + std::to_string(i) + ".png\"";
        std::string ten = eleven.substr(0, eleven.rfind(','));
        const Case cases[] = {
            { "one upload", R"(["uploads/a.png"])", std::nullopt },
            { "ten uploads", "[" + ten + "]", std::nullopt },
            { "empty list", "[]", std::nullopt },
            { "preview copy", R"(["uploads/a.png-preview.jpg"])", kind },
            { "video frame", R"(["uploads/clip-frames/frame-1.jpg"])", kind },
            { "bot file", R"(["report.pdf"])", kind },
            { "bot file in a folder", R"(["out/uploads/a.png"])", kind },
            { "prefix without slash", R"(["uploadsa.png"])", kind },
            { "prefix in capitals", R"(["Uploads/a.png"])", kind },
            { "same upload twice", R"(["uploads/a.png","uploads/a.png"])", kind },
            { "same upload in two normal forms", R"(["uploads/\u00e9.png","uploads/e\u0301.png"])", kind },
            { "preview suffix in the middle", R"(["uploads/a-preview.jpg.png"])", std::nullopt },
            { "eleven uploads", "[" + eleven + "]", "attachments must be a list of at most 10 file IDs." },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto value = decoded(testCase.list);
            if (testCase.message) {
                expectRefused(body("\"attachments\":" + testCase.list), *testCase.message);
                continue;
            }
            auto ids = JobSubmission::parseAttachments(&value);
            ASSERT_EQ(ids.size(), value.arrayValue()->size());
            for (std::size_t i = 0; i < ids.size(); ++i)
                EXPECT_EQ(ids[i], *(*value.arrayValue())[i].stringValue()) << "request order";
        }
    }

    TEST(JobSubmission, VaultIsCheckedAndLeavesNoTrace)
    {
        auto plain = JobSubmission::parse(body());
        EXPECT_EQ(JobSubmission::parse(body(R"("vault":[])")), plain);
        EXPECT_EQ(JobSubmission::parse(body(R"("vault":null)")), plain);
        EXPECT_EQ(JobSubmission::parse(body(R"("vault":[1,{"x":[]},"y"])")), plain);
    }

    TEST(JobSubmission, ModeAcceptsItsTwoRawValuesAndNull)
    {
        EXPECT_EQ(JobSubmission::parse(body(R"("mode":null)")).mode, JobMode::queue);
        EXPECT_EQ(JobSubmission::parse(body(R"("mode":"queue")")).mode, JobMode::queue);
        EXPECT_EQ(JobSubmission::parse(body(R"("mode":"interrupt")")).mode, JobMode::interrupt);
    }

    TEST(JobSubmission, AllowedActionsKeepFirstOccurrencesInOrder)
    {
        auto value = decoded(R"(["ask_bot","ask_bot","create_bot","ask_bot","_"])");
        EXPECT_EQ(JobSubmission::parseAllowedActions(&value),
            (std::vector<std::string> { "ask_bot", "create_bot", "_" }));

        std::string longest = "[\"" + repeated("a", 40) + "\"]";
        auto longestValue = decoded(longest);
        EXPECT_EQ(JobSubmission::parseAllowedActions(&longestValue).size(), 1u);

        // Repeats still count towards the limit of the list sent.
        std::string names;
        for (int i = 0; i < 33; ++i)
            names += std::string(i ? "," : "") + "\"same\"";
        expectRefused(body("\"allowedActions\":[" + names + "]"), "allowedActions is not valid.");
        auto thirtyTwo = decoded("[" + names.substr(names.find(',') + 1) + "]");
        EXPECT_EQ(JobSubmission::parseAllowedActions(&thirtyTwo), std::vector<std::string> { "same" });
    }

    TEST(JobSubmission, AutoCompactDefaultsItsTokensAndChecksTheirRange)
    {
        struct Case {
            const char* name;
            const char* value;
            std::optional<AutoCompactSetting> expected;
            const char* message; // when refused
        };
        const char* shape = R"(autoCompact must be {"mode": "off" | "auto" | "suggest", "tokens": n}.)";
        const char* tokens = "autoCompact.tokens must be 20000 to 1000000.";
        const Case cases[] = {
            { "only mode", R"({"mode":"auto"})", AutoCompactSetting { "auto", 50000 }, nullptr },
            { "off", R"({"mode":"off","tokens":20000})", AutoCompactSetting { "off", 20000 }, nullptr },
            { "highest", R"({"mode":"suggest","tokens":1000000})", AutoCompactSetting { "suggest", 1000000 },
                nullptr },
            { "whole in fraction form", R"({"mode":"auto","tokens":30000.0})",
                AutoCompactSetting { "auto", 30000 }, nullptr },
            { "tokens below", R"({"mode":"auto","tokens":19999})", std::nullopt, tokens },
            { "tokens above", R"({"mode":"auto","tokens":1000001})", std::nullopt, tokens },
            { "tokens null", R"({"mode":"auto","tokens":null})", std::nullopt, tokens },
            { "tokens fraction", R"({"mode":"auto","tokens":20000.5})", std::nullopt, tokens },
            { "tokens string", R"({"mode":"auto","tokens":"50000"})", std::nullopt, tokens },
            { "third key", R"({"mode":"auto","tokens":50000,"when":"now"})", std::nullopt, shape },
            { "mode missing", R"({"tokens":50000})", std::nullopt, shape },
            { "mode unknown", R"({"mode":"Auto"})", std::nullopt, shape },
            { "mode null", R"({"mode":null})", std::nullopt, shape },
            { "not an object", R"("auto")", std::nullopt, shape },
            { "shape before tokens", R"({"mode":"x","tokens":1})", std::nullopt, shape },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            if (testCase.message) {
                expectRefused(body(std::string("\"autoCompact\":") + testCase.value), testCase.message);
                continue;
            }
            EXPECT_EQ(
                JobSubmission::parse(body(std::string("\"autoCompact\":") + testCase.value)).autoCompact,
                testCase.expected);
        }
    }

    TEST(JobSubmission, ApprovalsListAtMostTwoDistinctIDs)
    {
        struct Case {
            const char* name;
            const char* value;
            bool accepted;
        };
        const Case cases[] = {
            { "two distinct", R"(["a-0123456789ab","a-ffffffffffff"])", true },
            { "one", R"(["a-000000000000"])", true },
            { "none", "[]", true },
            { "three", R"(["a-000000000001","a-000000000002","a-000000000003"])", false },
            { "upper-case hex", R"(["a-0123456789AB"])", false },
            { "thirteen characters", R"(["a-0123456789a"])", false },
            { "fifteen characters", R"(["a-0123456789abc"])", false },
            { "other prefix", R"(["p-0123456789ab"])", false },
            { "repeated", R"(["a-0123456789ab","a-0123456789ab"])", false },
            { "not a string", "[12]", false },
            { "not a list", "{}", false },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto members = std::string("\"approvals\":") + testCase.value;
            if (!testCase.accepted) {
                expectRefused(body(members), "approvals must list at most 2 approval IDs.");
                continue;
            }
            auto value = decoded(testCase.value);
            EXPECT_EQ(JobSubmission::parse(body(members)).approvals.size(), value.arrayValue()->size());
        }
        EXPECT_EQ(JobSubmission::parse(body(R"("approvals":["a-ffffffffffff","a-0123456789ab"])")).approvals,
            (std::vector<std::string> { "a-ffffffffffff", "a-0123456789ab" }));
    }

    TEST(JobSubmission, OtherBotsAreReadOneByOne)
    {
        struct Case {
            const char* name;
            std::string value;
            std::optional<std::vector<OtherBot>> expected;
            const char* message;
        };
        const char* list = "otherBots is not valid.";
        const char* role = "otherBots.role is not valid.";
        auto namedBots = [](int count) {
            std::string bots = "[";
            for (int i = 0; i < count; ++i)
                bots += std::string(i ? "," : "") + R"({"id":"b)" + std::to_string(i) + R"(","name":"B"})";
            return bots + "]";
        };
        const Case cases[] = {
            { "no role", R"([{"id":"a","name":"Ann"}])", std::vector<OtherBot> { { "a", "Ann", "" } },
                nullptr },
            { "null role", R"([{"id":"a","name":"Ann","role":null}])",
                std::vector<OtherBot> { { "a", "Ann", "" } }, nullptr },
            { "blank role kept empty", R"([{"id":"a","name":"Ann","role":"  "}])",
                std::vector<OtherBot> { { "a", "Ann", "" } }, nullptr },
            { "trimmed name and role", R"([{"id":"a","name":" Ann ","role":" chef "}])",
                std::vector<OtherBot> { { "a", "Ann", "chef" } }, nullptr },
            { "twelve-character role", R"([{"id":"a","name":"Ann","role":"abcdefghijkl"}])",
                std::vector<OtherBot> { { "a", "Ann", "abcdefghijkl" } }, nullptr },
            { "thirteen-character role", R"([{"id":"a","name":"Ann","role":"abcdefghijklm"}])", std::nullopt,
                role },
            { "role a number", R"([{"id":"a","name":"Ann","role":1}])", std::nullopt, role },
            { "role with line break", R"([{"id":"a","name":"Ann","role":"a\nb"}])", std::nullopt, role },
            { "fifty", namedBots(50), std::nullopt, nullptr },
            { "fifty-one", namedBots(51), std::nullopt, list },
            { "extra key", R"([{"id":"a","name":"Ann","color":"red"}])", std::nullopt, list },
            { "id missing", R"([{"name":"Ann"}])", std::nullopt, list },
            { "id invalid", R"([{"id":"-a","name":"Ann"}])", std::nullopt, list },
            { "name blank", R"([{"id":"a","name":"   "}])", std::nullopt, list },
            { "name of 21 characters", R"([{"id":"a","name":"abcdefghijklmnopqrstu"}])", std::nullopt, list },
            { "element not an object", R"(["a"])", std::nullopt, list },
            { "first failure ends the parse", R"([{"id":"a","name":"A","role":7},{"id":"-"}])", std::nullopt,
                role },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            if (testCase.message) {
                expectRefused(body("\"otherBots\":" + testCase.value), testCase.message);
                continue;
            }
            auto parsed = JobSubmission::parse(body("\"otherBots\":" + testCase.value)).otherBots;
            if (testCase.expected)
                EXPECT_EQ(parsed, *testCase.expected);
            else
                EXPECT_EQ(parsed.size(), 50u);
        }
    }

    TEST(JobSubmission, ActionNamesAreLowerCaseLettersAndUnderscores)
    {
        EXPECT_TRUE(JobSubmission::isActionName("ask_bot"));
        EXPECT_TRUE(JobSubmission::isActionName(repeated("z", 40)));
        EXPECT_FALSE(JobSubmission::isActionName(repeated("z", 41)));
        EXPECT_FALSE(JobSubmission::isActionName("ask-bot"));
        EXPECT_FALSE(JobSubmission::isActionName("ask bot"));
        EXPECT_FALSE(JobSubmission::isActionName("\xC3\xA9"));
    }

}
}
