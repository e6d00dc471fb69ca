#include "Platform/SystemNames.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace vellumar::platform;
using namespace vellumar::test;

namespace {

TEST(SystemNames, ComputerNameIsThePrettyHostnameElseTheHostName)
{
    TemporaryFolder folder;
    std::string hostName = runPeer({ "hostname" }).output;
    ASSERT_FALSE(hostName.empty());
    hostName.pop_back();
    struct Case {
        const char* name;
        std::string machineInfo;
        std::string expected;
    } cases[] = {
        { "double quotes with escapes", "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Jane's \\\"Mac\\\"\"\n",
            "Jane's \"Mac\"" },
        { "single quotes keep backslashes", "PRETTY_HOSTNAME='Studio \\ Mac'\n", "Studio \\ Mac" },
        { "bare", "PRETTY_HOSTNAME=Studio\r\n", "Studio" },
        { "the last one counts", "PRETTY_HOSTNAME=Old\nPRETTY_HOSTNAME=New\n", "New" },
        { "a longer key is another key", "PRETTY_HOSTNAME_X=Other\n", hostName },
        { "empty", "PRETTY_HOSTNAME=\"\"\n", hostName },
        { "past the read limit", repeated("#", 70000) + "\nPRETTY_HOSTNAME=Far\n", hostName },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeBytes(folder / "machine-info", c.machineInfo);
        EXPECT_EQ(computerName(folder / "machine-info"), c.expected);
    }
    EXPECT_EQ(computerName(folder / "missing"), hostName);
}

}
