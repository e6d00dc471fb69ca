#include "VellumarMacCore/Reply/JobRecords.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"

#include <gtest/gtest.h>

namespace vellumar {
namespace {

    TEST(JobMode, RawValuesRoundTripAndNothingElseIsAMode)
    {
        for (auto mode : { JobMode::queue, JobMode::interrupt })
            EXPECT_EQ(jobModeFromRawValue(rawValue(mode)), mode);
        EXPECT_EQ(rawValue(JobMode::queue), "queue");
        EXPECT_EQ(rawValue(JobMode::interrupt), "interrupt");
        for (const char* text : { "Queue", "INTERRUPT", "", "queue ", "stop" }) {
            SCOPED_TRACE(text);
            EXPECT_FALSE(jobModeFromRawValue(text));
        }
    }

    TEST(OtherBot, KeepsTheIDExactlyAsSent)
    {
        auto element = JSON::decode(R"({"id":"bot_9-x","name":"\tNine ","role":" "})");
        ASSERT_TRUE(element);
        EXPECT_EQ(OtherBot::parse(*element), (OtherBot { "bot_9-x", "Nine", "" }));
    }

    TEST(AutoCompactSetting, AbsentAndNullGiveNoSetting)
    {
        EXPECT_FALSE(AutoCompactSetting::parse(nullptr));
        JSON null;
        EXPECT_FALSE(AutoCompactSetting::parse(&null));
    }

    TEST(AutoCompactSetting, TokenRangeBoundsAreInclusive)
    {
        for (auto tokens :
            { AutoCompactSetting::kTokenRange.lowest, AutoCompactSetting::kTokenRange.highest }) {
            JSON value(JSON::Object { { "mode", "auto" }, { "tokens", static_cast<long long>(tokens) } });
            EXPECT_EQ(AutoCompactSetting::parse(&value)->tokens, tokens);
        }
        for (auto tokens :
            { AutoCompactSetting::kTokenRange.lowest - 1, AutoCompactSetting::kTokenRange.highest + 1 }) {
            JSON value(JSON::Object { { "mode", "auto" }, { "tokens", static_cast<long long>(tokens) } });
            EXPECT_THROW(AutoCompactSetting::parse(&value), RelayHTTPError);
        }
    }

    TEST(ReplyOutput, EveryFieldTakesPartInEquality)
    {
        auto made = [](int changedField) {
            ReplyOutput output;
            output.reply = changedField == 0 ? "Hello!" : "Hello.";
            if (changedField != 1)
                output.actions.push_back(JSON::object({ { "type", "ask_bot" } }));
            if (changedField != 2)
                output.context = JSON::object({ { "tokens", 1200 } });
            output.files.push_back(JSON::object({ { "fileId", "out/a.txt" } }));
            if (changedField == 3)
                output.files.push_back(JSON::object({ { "fileId", "out/b.txt" } }));
            if (changedField == 4)
                output.compacted = JSON::object({});
            if (changedField == 5)
                output.memory = JSON::array({});
            return output;
        };
        constexpr int kUnchanged = -1;
        EXPECT_EQ(made(kUnchanged), made(kUnchanged));
        for (int field = 0; field < 6; ++field) {
            SCOPED_TRACE(field);
            EXPECT_NE(made(field), made(kUnchanged));
        }
    }

}
}
