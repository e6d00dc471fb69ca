#include "VellumarMacCore/Relay/PairedHandlers.h"

#include <gtest/gtest.h>

using namespace vellumar;

TEST(PairedHandlers, HandlerRegisteredDuringANotificationIsCalledFromTheNextOne)
{
    PairedHandlers handlers;
    std::vector<std::string> calls;
    handlers.append([&](const PairedDevice& device) {
        calls.push_back("first " + device.id);
        if (calls.size() == 1)
            handlers.append([&](const PairedDevice& later) { calls.push_back("late " + later.id); });
    });
    handlers.notify({ .id = "d-1" });
    handlers.notify({ .id = "d-2" });
    EXPECT_EQ(calls, (std::vector<std::string> { "first d-1", "first d-2", "late d-2" }));
}
