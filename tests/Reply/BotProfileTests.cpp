#include "VellumarMacCore/Reply/BotProfile.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/support/JobsTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace vellumar {
namespace {

    using test::decoded;
    using test::repeated;

    std::optional<BotProfile> parsed(std::string_view text)
    {
        auto value = decoded(text);
        return BotProfile::parse(&value);
    }

    TEST(BotProfile, AbsentOrNullGivesNoProfile)
    {
        EXPECT_FALSE(BotProfile::parse(nullptr));
        EXPECT_FALSE(parsed("null"));
    }

    TEST(BotProfile, ReadsTrimmedMembersAndDefaults)
    {
        struct Case {
            const char* name;
            std::string value;
            BotProfile expected;
        };
        const Case cases[] = {
            { "name only", R"({"name":"Quill"})", { "Quill", "", "", false } },
            { "nulls give defaults", R"({"name":"Quill","role":null,"persona":null,"primary":null})",
                { "Quill", "", "", false } },
            { "trimmed", R"({"name":"  Quill\t","role":" scribe ","persona":"\n Kind \n","primary":true})",
                { "Quill", "scribe", "Kind", true } },
            { "persona keeps inner line breaks and tabs", R"({"name":"Q","persona":"one\ntwo\r\n\tthree"})",
                { "Q", "", "one\ntwo\r\n\tthree", false } },
            { "nuvoMemory is accepted and ignored", R"({"name":"Q","nuvoMemory":{"anything":[1,2]}})",
                { "Q", "", "", false } },
            { "twenty-character name", R"({"name":"abcdefghijklmnopqrst"})",
                { "abcdefghijklmnopqrst", "", "", false } },
            { "twelve accented characters as a role",
                R"({"name":"Q","role":")" + repeated("e\\u0301", 12) + "\"}",
                { "Q", repeated("e\xCC\x81", 12), "", false } },
            { "primary false", R"({"name":"Q","primary":false})", { "Q", "", "", false } },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(parsed(testCase.value), testCase.expected);
        }
    }

    TEST(BotProfile, RefusesWithTheMessageOfTheMemberAtFault)
    {
        struct Case {
            const char* name;
            std::string value;
            const char* message;
        };
        const char* bot = "bot is not valid.";
        const char* role = "bot.role is not valid.";
        const char* persona = "bot.persona is not valid.";
        const char* primary = "bot.primary must be true or false.";
        const Case cases[] = {
            { "boolean", "true", bot },
            { "number", "1", bot },
            { "string", R"("Quill")", bot },
            { "array", "[]", bot },
            { "extra key", R"({"name":"Q","avatar":"x"})", bot },
            { "name missing", R"({"role":"r"})", bot },
            { "name not a string", R"({"name":5})", bot },
            { "name only spaces", R"({"name":"   "})", bot },
            { "name of 21 characters", R"({"name":"abcdefghijklmnopqrstu"})", bot },
            { "name with line break", R"({"name":"a\nb"})", bot },
            { "name before role", R"({"name":"","role":5})", bot },
            { "role of 13 characters", R"({"name":"Q","role":"abcdefghijklm"})", role },
            { "role a number", R"({"name":"Q","role":1})", role },
            { "role with tab", R"({"name":"Q","role":"a\tb"})", role },
            { "persona with BEL", R"({"name":"Q","persona":"a\u0007b"})", persona },
            { "persona of 1001 characters", R"({"name":"Q","persona":")" + std::string(1001, 'p') + "\"}",
                persona },
            { "persona an array", R"({"name":"Q","persona":["p"]})", persona },
            { "role before persona", R"({"name":"Q","role":false,"persona":false})", role },
            { "primary the number 1", R"({"name":"Q","primary":1})", primary },
            { "primary a string", R"({"name":"Q","primary":"true"})", primary },
            { "persona before primary", R"({"name":"Q","persona":1,"primary":1})", persona },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto value = decoded(testCase.value);
            try {
                BotProfile::parse(&value);
                ADD_FAILURE() << "accepted";
            } catch (const RelayHTTPError& error) {
                EXPECT_EQ(error, RelayHTTPError::badRequest(testCase.message)) << error.message();
            }
        }
    }

    TEST(BotProfile, PersonaOfTheLongestLengthPasses)
    {
        auto value = JSON(JSON::Object { { "name", "Q" }, { "persona", std::string(1000, 'p') } });
        EXPECT_EQ(BotProfile::parse(&value)->persona.size(), 1000u);
    }

    TEST(BotProfile, JSONFormHasExactlyItsFourMembers)
    {
        BotProfile profile { "Quill", "scribe", "Kind.\nCareful.", true };
        EXPECT_EQ(profile.json().encoded(),
            R"({"name":"Quill","persona":"Kind.\nCareful.","primary":true,"role":"scribe"})");
    }

    TEST(BotProfile, JSONFormReadsBackThroughAnIndependentDecoder)
    {
        auto original = parsed(
            R"({"name":" Zoë 🦊 ","role":"guide","persona":"Line one\n\t\"quoted\" / slashed","primary":true})");
        ASSERT_TRUE(original);
        // Python re-encodes it with every non-ASCII character escaped, as a phone or a stored file may.
        auto peer = test::runPeer({ "python3", "-c",
                                      "import json, sys\n"
                                      "print(json.dumps(json.loads(sys.stdin.read()), ensure_ascii=True))" },
            original->json().encoded());
        ASSERT_EQ(peer.exitStatus, 0);
        EXPECT_EQ(parsed(peer.output), original);
        EXPECT_EQ(parsed(original->json().encoded()), original);
    }

}
}
