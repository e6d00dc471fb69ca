// The argument vector and the settings document against the real Claude Code CLI: it must accept
// both, and its own permission rules must keep writes inside the places the settings allow.
#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/support/ScriptedModel.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace vellumar;
namespace fs = std::filesystem;

TEST(ClaudeInvocationRealCLI, WritesOnlyWhereTheSettingsAllow)
{
    test::TemporaryFolder folder;
    fs::path home = folder / "home";
    fs::path data = folder / "data";
    fs::path work = data / "workspaces" / "ios-test";
    fs::path outside = folder / "outside";
    fs::create_directories(work);
    fs::create_directories(outside);
    fs::create_directories(home);

    JSON script = JSON::array({
        JSON::object({ { "tool_use",
            JSON::object({ { "name", "Write" },
                { "input",
                    JSON::object(
                        { { "file_path", (outside / "stolen.txt").string() }, { "content", "x" } }) } }) } }),
        JSON::object({ { "tool_use",
            JSON::object({ { "name", "Write" },
                { "input",
                    JSON::object(
                        { { "file_path", (work / "notes.txt").string() }, { "content", "kept" } }) } }) } }),
        JSON::object({ { "text", "Done." } }),
    });
    test::ScriptedModel model(folder / "model", script.encoded());

    PermissionResolver resolver(home, data, 3.0);
    ResolvedPermissions permissions;
    fs::path settingsFile = data / "claude-settings" / "ios-test.json";
    writePrivateFile(ClaudeInvocation::settingsJSON(work, permissions, resolver).encoded(), settingsFile);
    struct stat info { };
    ASSERT_EQ(stat(settingsFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    std::vector<std::string> command = { "env", "-C", work.string(), "-i" };
    for (const auto& [name, value] : model.claudeEnvironment(home))
        command.push_back(name + "=" + value);
    command.push_back(test::realClaudeExecutable().string());
    for (const auto& argument : ClaudeInvocation::fullArguments(
             permissions, { .appendedSystemPrompt = "You are a test bot.", .settingsFile = settingsFile }))
        command.push_back(argument);

    test::PeerResult run = test::runPeer(command, "Write the two notes.");
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_FALSE(fs::exists(outside / "stolen.txt"));
    EXPECT_EQ(test::readFile(work / "notes.txt"), "kept");

    std::string lastLine = run.output.substr(run.output.rfind('\n', run.output.size() - 2) + 1);
    auto result = JSON::decode(lastLine);
    ASSERT_TRUE(result) << lastLine;
    EXPECT_EQ(*result->subscript("type")->stringValue(), "result");
    EXPECT_EQ(*result->subscript("result")->stringValue(), "Done.");
    const JSON* denials = result->subscript("permission_denials");
    ASSERT_NE(denials, nullptr);
    ASSERT_EQ(denials->arrayValue()->size(), 1u);
    EXPECT_EQ(*denials->arrayValue()->front().subscript("tool_name")->stringValue(), "Write");
}
