#include "VellumarMacCore/Jobs/ActivityKind.h"

#include <gtest/gtest.h>

#include <string>

namespace vellumar {
namespace {

    // The numbering and the raw values are the phone's.
    TEST(ActivityKind, RawValuesAreThePhones)
    {
        std::string raw;
        for (std::size_t number = 0; number < allActivityKinds.size(); ++number) {
            EXPECT_EQ(static_cast<std::size_t>(allActivityKinds[number]), number);
            EXPECT_EQ(activityKindFromRawValue(rawValue(allActivityKinds[number])), allActivityKinds[number]);
            raw += std::string(rawValue(allActivityKinds[number])) + " ";
        }
        EXPECT_EQ(raw,
            "queued starting thinking reading searching_files writing_files running_command browsing working "
            "preparing writing_reply compacting waiting_for_approval attaching done failed canceled "
            "interrupted ");
    }

}
}
