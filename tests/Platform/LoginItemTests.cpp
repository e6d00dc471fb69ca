#include "Platform/LoginItem.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace vellumar;
using namespace vellumar::test;

TEST(LoginItem, EnabledWhenTheEntryExistsAndIsNotHidden)
{
    const struct {
        const char* name;
        std::optional<std::string> contents;
        bool enabled;
    } cases[] = {
        { "no entry", std::nullopt, false },
        { "plain entry", "[Desktop Entry]\nType=Application\nExec=vellumar\n", true },
        { "hidden", "[Desktop Entry]\nHidden=true\n", false },
        { "hidden with spaces and CRLF", "[Desktop Entry]\r\n  Hidden=true \r\n", false },
        { "hidden false", "[Desktop Entry]\nHidden=false\n", true },
        { "another key", "[Desktop Entry]\nX-Hidden=true\n", true },
        { "empty file", "", true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryFolder folder;
        if (testCase.contents)
            writeBytes(folder / "vellumar.desktop", *testCase.contents);
        EXPECT_EQ(platform::loginItemEnabled(folder / "vellumar.desktop"), testCase.enabled);
    }
}

TEST(LoginItem, AFolderAtTheEntryIsNotAnEntry)
{
    TemporaryFolder folder;
    std::filesystem::create_directories(folder / "vellumar.desktop");
    EXPECT_FALSE(platform::loginItemEnabled(folder / "vellumar.desktop"));
}
