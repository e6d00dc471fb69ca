#include "Platform/Paths.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

using namespace vellumar;
using namespace vellumar::test;

TEST(Paths, LoginShellPrefersTheVariableThenTheAccount)
{
    const struct {
        const char* name;
        std::optional<std::string> variable;
        std::optional<std::string> account;
        std::string expected;
    } cases[] = {
        { "variable", "/usr/bin/fish", "/bin/bash", "/usr/bin/fish" },
        { "empty variable kept", "", "/bin/bash", "" },
        { "account", std::nullopt, "/bin/bash", "/bin/bash" },
        { "account names none", std::nullopt, "", "/bin/sh" },
        { "no account", std::nullopt, std::nullopt, "/bin/sh" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(platform::loginShell(testCase.variable, testCase.account), testCase.expected);
    }
}

TEST(Paths, LoginShellReadsTheEnvironmentAndTheUserDatabase)
{
    const passwd* account = ::getpwuid(::geteuid());
    ASSERT_NE(account, nullptr);
    {
        ScopedEnvironmentVariable shell("SHELL", std::nullopt);
        EXPECT_EQ(
            platform::loginShell(), std::string(account->pw_shell).empty() ? "/bin/sh" : account->pw_shell);
    }
    ScopedEnvironmentVariable shell("SHELL", "");
    EXPECT_EQ(platform::loginShell(), "");
}

TEST(Paths, BaseFoldersFollowTheXDGRules)
{
    TemporaryFolder folder;
    ScopedEnvironmentVariable home("HOME", (folder / "home").string());
    const struct {
        const char* name;
        std::optional<std::string> value;
        std::filesystem::path data;
        std::filesystem::path config;
    } cases[] = {
        { "unset", std::nullopt, folder / "home/.local/share/Vellumar", folder / "home/.config" },
        { "absolute", "/x", "/x/Vellumar", "/x" },
        { "relative is ignored", "x", folder / "home/.local/share/Vellumar", folder / "home/.config" },
        { "empty is ignored", "", folder / "home/.local/share/Vellumar", folder / "home/.config" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ScopedEnvironmentVariable data("XDG_DATA_HOME", testCase.value);
        ScopedEnvironmentVariable config("XDG_CONFIG_HOME", testCase.value);
        EXPECT_EQ(platform::dataFolder(), testCase.data);
        EXPECT_EQ(platform::configHome(), testCase.config);
    }
}

TEST(Paths, BundleVersionIsAStringOrNothing)
{
    const struct {
        const char* name;
        std::optional<std::string> contents;
        std::optional<std::string> expected;
    } cases[] = {
        { "string", R"({"CFBundleShortVersionString":"1.4.2"})", "1.4.2" },
        { "number", R"({"CFBundleShortVersionString":1.4})", std::nullopt },
        { "missing key", R"({"CFBundleVersion":"7"})", std::nullopt },
        { "malformed", R"({"CFBundleShortVersionString":)", std::nullopt },
        { "no file", std::nullopt, std::nullopt },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryFolder folder;
        if (testCase.contents)
            writeBytes(folder / "bundle-info.json", *testCase.contents);
        EXPECT_EQ(platform::bundleVersion(folder / "bundle-info.json"), testCase.expected);
    }
}

TEST(Paths, BundleInfoValuesComeAsTheFileHoldsThem)
{
    TemporaryFolder folder;
    auto file = folder / "bundle-info.json";
    EXPECT_FALSE(platform::bundleInfoValue("SUPublicEDKey", file));
    writeBytes(file, R"({"SUPublicEDKey": 32, "SUFeedURL": "https://example.org/f\"eed"})");
    EXPECT_EQ(platform::bundleInfoValue("SUPublicEDKey", file), nlohmann::json(32));
    EXPECT_EQ(platform::bundleInfoValue("SUFeedURL", file), nlohmann::json("https://example.org/f\"eed"));
    EXPECT_FALSE(platform::bundleInfoValue("CFBundleShortVersionString", file));
}

TEST(Paths, ResourcesLieBesideTheBuiltProgramAndUnderShareOnceInstalled)
{
    TemporaryFolder folder;
    writeBytes(folder / "build/bundle-info.json", "{}");
    std::filesystem::create_directories(folder / "prefix/bin");
    EXPECT_EQ(platform::resourceFolder(folder / "build"), folder / "build");
    EXPECT_EQ(platform::resourceFolder(folder / "prefix/bin"), folder / "prefix/share/vellumar");
}
