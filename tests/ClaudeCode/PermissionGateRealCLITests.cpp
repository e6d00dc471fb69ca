// The whole approval path with the real Claude Code CLI: it starts our executable as its MCP
// permission tool, which asks our gate, and the gate's answer decides whether a write happens.
#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "VellumarMacCore/Permissions/PermissionHelper.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/support/ScriptedModel.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

JSON writeStep(const fs::path& file, const std::string& content)
{
    return JSON::object({ { "tool_use",
        JSON::object({ { "name", "Write" },
            { "input", JSON::object({ { "file_path", file.string() }, { "content", content } }) } }) } });
}

}

TEST(PermissionGateRealCLI, TheGatesAnswerDecidesWhetherTheFileIsWritten)
{
    test::TemporaryFolder folder;
    fs::path home = folder / "home";
    fs::path data = folder / "data";
    fs::path work = data / "workspaces" / "ios-test";
    // A read-only folder holding a writable one: the settings neither allow nor refuse a write
    // beside the writable folder, so Claude Code asks its permission tool.
    fs::path shared = folder / "shared";
    fs::create_directories(shared / "inner");
    for (const auto& made : { work, shared, home })
        fs::create_directories(made);

    JSON script = JSON::array({
        writeStep(shared / "allowed.txt", "yes"),
        writeStep(shared / "refused.txt", "no"),
        JSON::object({ { "text", "Done." } }),
    });
    test::ScriptedModel model(folder / "model", script.encoded());

    std::mutex lock;
    std::vector<JSON> questions;
    PermissionGate gate([&](const JSON& request) {
        {
            std::lock_guard guard(lock);
            questions.push_back(request);
        }
        const JSON* input = request.subscript("input");
        const JSON* path = input ? input->subscript("file_path") : nullptr;
        if (path && path->stringValue() && path->stringValue()->ends_with("allowed.txt"))
            return JSON::object({ { "behavior", "allow" }, { "updatedInput", *input } });
        return JSON::object({ { "behavior", "deny" }, { "message", "The user said no." } });
    });
    PermissionHelper helper { VELLUMAR_EXECUTABLE, { std::string(PermissionMCPServer::flag) } };

    PermissionResolver resolver(home, data, 3.0);
    ResolvedPermissions permissions;
    permissions.folders = { FolderGrant { .path = shared, .writable = false, .label = shared.string() },
        FolderGrant { .path = shared / "inner", .writable = true, .label = (shared / "inner").string() } };
    fs::path settingsFile = data / "claude-settings" / "ios-test.json";
    writePrivateFile(ClaudeInvocation::settingsJSON(work, permissions, resolver).encoded(), settingsFile);

    std::vector<std::string> command = { "env", "-C", work.string(), "-i" };
    for (const auto& [name, value] : model.claudeEnvironment(home))
        command.push_back(name + "=" + value);
    command.push_back(test::realClaudeExecutable().string());
    for (const auto& argument : ClaudeInvocation::fullArguments(permissions,
             { .appendedSystemPrompt = "You are a test bot.",
               .settingsFile = settingsFile,
               .mcpConfigPath = helper.mcpConfig(gate.path()) }))
        command.push_back(argument);

    test::PeerResult run = test::runPeer(command, "Write the two notes.");
    gate.close();
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(test::readFile(shared / "allowed.txt"), "yes");
    EXPECT_FALSE(fs::exists(shared / "refused.txt"));

    std::lock_guard guard(lock);
    ASSERT_EQ(questions.size(), 2u) << run.output;
    for (const auto& question : questions) {
        EXPECT_EQ(*question.subscript("tool_name")->stringValue(), "Write");
        ASSERT_NE(question.subscript("tool_use_id"), nullptr);
        EXPECT_FALSE(question.subscript("tool_use_id")->stringValue()->empty());
    }
    EXPECT_EQ(*questions[0].subscript("input")->subscript("file_path")->stringValue(),
        (shared / "allowed.txt").string());
    EXPECT_EQ(*questions[1].subscript("input")->subscript("file_path")->stringValue(),
        (shared / "refused.txt").string());
    // The model was told of the refusal in the user's words.
    EXPECT_NE(model.requestLog().find("The user said no."), std::string::npos);
}
