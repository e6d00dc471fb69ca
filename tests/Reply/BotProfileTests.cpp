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

    // The profile as text ("name|role|persona|primary"), or the message of the refusal.
    std::string parsed(std::string_view text)
    {
        auto value = decoded(text);
        try {
            auto bot = BotProfile::parse(&value);
            return bot->name + "|" + bot->role + "|" + bot->persona + "|" + (bot->primary ? "primary" : "");
        } catch (const RelayHTTPError& error) {
            EXPECT_EQ(error, RelayHTTPError::badRequest(error.message()));
            return error.message();
        }
    }

    TEST(BotProfile, ReadsTrimmedMembersAndRefusesWithTheMessageOfTheMemberAtFault)
    {
        const char* bot = "bot is not valid.";
        const char* role = "bot.role is not valid.";
        const char* persona = "bot.persona is not valid.";
        const std::pair<std::string, std::string> cases[] = {
            { R"({"name":"Q","role":null,"persona":null,"primary":null})", "Q|||" },
            { R"({"name":"Q","primary":false})", "Q|||" },
            { R"({"name":"  Quill\t","role":" scribe ","persona":"\n one\r\n\ttwo \n","primary":true})",
                "Quill|scribe|one\r\n\ttwo|primary" },
            // The phone may send its memory list too; the relay ignores it.
            { R"({"name":"Q","nuvoMemory":{"anything":[1,2]}})", "Q|||" },
            { R"({"name":"Q","role":")" + repeated("e\\u0301", 12) + "\"}",
                "Q|" + repeated("e\xCC\x81", 12) + "||" },
            { R"({"name":"Q","persona":")" + repeated("p", 1000) + "\"}", "Q||" + repeated("p", 1000) + "|" },
            { R"("Quill")", bot },
            { R"({"name":"Q","avatar":"x"})", bot },
            { R"({"role":"r"})", bot },
            { R"({"name":"abcdefghijklmnopqrstu"})", bot },
            { R"({"name":"a\nb"})", bot },
            { R"({"name":"","role":5})", bot },
            { R"({"name":"Q","role":"abcdefghijklm"})", role },
            { R"({"name":"Q","role":"a\nb","persona":false})", role },
            { R"({"name":"Q","persona":"a\u0007b"})", persona },
            { R"({"name":"Q","persona":")" + repeated("p", 1001) + "\"}", persona },
            { R"({"name":"Q","persona":1,"primary":1})", persona },
            { R"({"name":"Q","primary":1})", "bot.primary must be true or false." },
        };
        for (const auto& [value, expected] : cases) {
            SCOPED_TRACE(value);
            EXPECT_EQ(parsed(value), expected);
        }
    }

    TEST(BotProfile, JSONFormReadsBackThroughAnIndependentDecoder)
    {
        auto value = decoded(
            R"({"name":" Zoë 🦊 ","role":"guide","persona":"Line one\n\t\"quoted\" / slashed","primary":true})");
        auto original = BotProfile::parse(&value);
        // Python re-encodes it with every non-ASCII character escaped, as a phone or a stored file may.
        auto peer = test::runPeer({ "python3", "-c",
                                      "import json, sys\n"
                                      "print(json.dumps(json.loads(sys.stdin.read()), ensure_ascii=True))" },
            original->json().encoded());
        ASSERT_EQ(peer.exitStatus, 0);
        auto reread = decoded(peer.output);
        EXPECT_EQ(BotProfile::parse(&reread), original);
    }

}
}
