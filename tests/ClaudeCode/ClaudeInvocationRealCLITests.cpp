// The argument vector and the settings document against the real Claude Code CLI: it must accept
// both, its own permission rules must keep writes inside the places the settings allow, and what
// they leave open it asks our executable about, as its permission tool, which asks our gate.
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
#include <sys/stat.h>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

class ClaudeInvocationRealCLI : public ::testing::Test {
protected:
    JSON writeStep(const fs::path& file, const std::string& content)
    {
        return JSON::object({ { "tool_use",
            JSON::object({ { "name", "Write" },
                { "input", JSON::object({ { "file_path", file.string() }, { "content", content } }) } }) } });
    }

    // Runs the CLI in the work folder with the settings written as a run writes them; the last step
    // of the script says "Done.".
    test::PeerResult run(JSON::Array steps, const ResolvedPermissions& permissions,
        std::optional<std::string> mcpConfigPath = std::nullopt)
    {
        fs::create_directories(work);
        steps.push_back(JSON::object({ { "text", "Done." } }));
        model.emplace(folder / "model", JSON(std::move(steps)).encoded());
        fs::path settingsFile = data / "claude-settings" / "ios-test.json";
        writePrivateFile(ClaudeInvocation::settingsJSON(work, permissions, resolver).encoded(), settingsFile);
        std::vector<std::string> command = { "env", "-C", work.string(), "-i" };
        for (const auto& [name, value] : model->claudeEnvironment(folder / "home"))
            command.push_back(name + "=" + value);
        command.push_back(test::realClaudeExecutable().string());
        for (const auto& argument : ClaudeInvocation::fullArguments(permissions,
                 { .appendedSystemPrompt = "You are a test bot.",
                   .settingsFile = settingsFile,
                   .mcpConfigPath = mcpConfigPath }))
            command.push_back(argument);
        return test::runPeer(command, "Write the two notes.");
    }

    test::TemporaryFolder folder;
    fs::path data = folder / "data";
    fs::path work = data / "workspaces" / "ios-test";
    PermissionResolver resolver { folder / "home", data, 3.0 };
    std::optional<test::ScriptedModel> model;
};

}

TEST_F(ClaudeInvocationRealCLI, WritesOnlyWhereTheSettingsAllow)
{
    fs::create_directories(folder / "outside");
    test::PeerResult result = run(
        { writeStep(folder / "outside" / "stolen.txt", "x"), writeStep(work / "notes.txt", "kept") }, {});
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_FALSE(fs::exists(folder / "outside" / "stolen.txt"));
    EXPECT_EQ(test::readFile(work / "notes.txt"), "kept");
    struct stat info { };
    ASSERT_EQ(stat((data / "claude-settings" / "ios-test.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    auto last = JSON::decode(result.output.substr(result.output.rfind('\n', result.output.size() - 2) + 1));
    ASSERT_TRUE(last) << result.output;
    EXPECT_EQ(*last->subscript("result"), JSON("Done."));
    const JSON* denials = last->subscript("permission_denials");
    ASSERT_TRUE(denials && denials->arrayValue() && denials->arrayValue()->size() == 1) << result.output;
    EXPECT_EQ(*denials->arrayValue()->front().subscript("tool_name"), JSON("Write"));
}

TEST_F(ClaudeInvocationRealCLI, TheGatesAnswerDecidesWhetherTheFileIsWritten)
{
    // A read-only folder holding a writable one: the settings neither allow nor refuse a write beside
    // the writable folder, so Claude Code asks its permission tool.
    fs::path shared = folder / "shared";
    fs::create_directories(shared / "inner");
    std::mutex lock;
    std::vector<JSON> questions;
    PermissionGate gate([&](const JSON& request) {
        std::lock_guard guard(lock);
        questions.push_back(request);
        const JSON* input = request.subscript("input");
        const JSON* path = input ? input->subscript("file_path") : nullptr;
        if (path && path->stringValue() && path->stringValue()->ends_with("allowed.txt"))
            return JSON::object({ { "behavior", "allow" }, { "updatedInput", *input } });
        return JSON::object({ { "behavior", "deny" }, { "message", "The user said no." } });
    });
    PermissionHelper helper { VELLUMAR_EXECUTABLE, { std::string(PermissionMCPServer::flag) } };
    ResolvedPermissions permissions;
    permissions.folders = { FolderGrant { .path = shared, .writable = false, .label = shared.string() },
        FolderGrant { .path = shared / "inner", .writable = true, .label = (shared / "inner").string() } };

    test::PeerResult result
        = run({ writeStep(shared / "allowed.txt", "yes"), writeStep(shared / "refused.txt", "no") },
            permissions, helper.mcpConfig(gate.path()));
    gate.close();
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(test::readFile(shared / "allowed.txt"), "yes");
    EXPECT_FALSE(fs::exists(shared / "refused.txt"));
    std::lock_guard guard(lock);
    ASSERT_EQ(questions.size(), 2u) << result.output;
    for (std::size_t index = 0; index < questions.size(); ++index) {
        EXPECT_EQ(*questions[index].subscript("tool_name"), JSON("Write"));
        EXPECT_FALSE(questions[index].subscript("tool_use_id")->stringValue()->empty());
        EXPECT_EQ(*questions[index].subscript("input")->subscript("file_path"),
            JSON((shared / (index == 0 ? "allowed.txt" : "refused.txt")).string()));
    }
    // The model was told of the refusal in the user's words.
    EXPECT_NE(model->requestLog().find("The user said no."), std::string::npos);
}
