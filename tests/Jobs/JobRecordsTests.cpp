#include "VellumarMacCore/Jobs/JobRecords.h"

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

}
}
