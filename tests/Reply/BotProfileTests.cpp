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
        const std::pair<std::string, std::string> cases[] = {
            { R"({"name":"Q","role":null,"persona":null,"primary":null})", "Q|||" },
            { R"({"name":"  Quill\t","role":" scribe ","persona":"\n one\r\n\ttwo \n","primary":true})",
                "Quill|scribe|one\r\n\ttwo|primary" },
            { R"("Quill")", bot },
            { R"({"name":"Q","role":"abcdefghijklm"})", role },
            { R"({"name":"Q","primary":1})", "bot.primary must be true or false." },
        };
        for (const auto& [value, expected] : cases) {
            SCOPED_TRACE(value);
            EXPECT_EQ(parsed(value), expected);
        }
    }

}
}
