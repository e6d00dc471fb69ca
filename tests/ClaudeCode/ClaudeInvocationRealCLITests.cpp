// The real Claude Code CLI through the supervisor, with the arguments and the settings document a
// run gets, against the scripted model: it must accept both, keep writes inside the places the
// settings allow, ask our executable, as its permission tool, about what they leave open, and write
// its stream as the parser expects. Offline it needs only a writable HOME and the endpoint's address
// and key; with CLAUDE_CODE_MAX_RETRIES=0 it retries no failed request.
#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/ClaudeCode/ClaudeProcess.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "VellumarMacCore/Permissions/PermissionHelper.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/ClaudeCode/ParserSummary.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/ScriptedModel.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

// The command name of each process whose environment holds `marker`, by process id; a zombie's
// environment is empty, and it runs no code.
std::map<pid_t, std::string> processesMarkedWith(const std::string& marker)
{
    std::map<pid_t, std::string> found;
    std::error_code error;
    for (fs::directory_iterator entry("/proc", error), end; !error && entry != end; entry.increment(error)) {
        std::string name = entry->path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos
            && test::readFile(entry->path() / "environ").find(marker) != std::string::npos)
            found.emplace(std::stoi(name), test::readFile(entry->path() / "comm"));
    }
    return found;
}

std::size_t sleepsAmong(const std::map<pid_t, std::string>& processes)
{
    return std::count_if(
        processes.begin(), processes.end(), [](const auto& process) { return process.second == "sleep\n"; });
}

class ClaudeInvocationRealCLI : public ::testing::Test {
protected:
    // One step of the model's script: a call of the file tool `name` on `file`, after `text` if any.
    static JSON step(const std::string& name, const fs::path& file, std::optional<std::string> content = {},
        std::optional<std::string> text = {})
    {
        JSON::Object input { { "file_path", JSON(file.string()) } }, step;
        if (content)
            input.emplace("content", JSON(*content));
        if (text)
            step.emplace("text", JSON(*text));
        step.emplace("tool_use", JSON::object({ { "name", name }, { "input", JSON(input) } }));
        return JSON(step);
    }

    // The settings file as a run writes it for `permissions`.
    fs::path writeSettings(const ResolvedPermissions& permissions) const
    {
        fs::path settingsFile = data / "claude-settings" / "ios-test.json";
        writePrivateFile(ClaudeInvocation::settingsJSON(work, permissions, resolver,
                             ClaudeInvocation::gitProtection(work, permissions, resolver))
                             .encoded(),
            settingsFile);
        return settingsFile;
    }

    // Runs the CLI in the work folder with the settings written as a run writes them, and answers
    // the run's exit status and one summary of it, the session id and the test's folder written "*".
    std::pair<std::int32_t, std::string> run(const JSON& steps, const ResolvedPermissions& permissions,
        std::optional<std::string> mcpConfigPath = {})
    {
        fs::create_directories(work);
        model.emplace(folder / "model", steps.encoded());
        fs::path settingsFile = writeSettings(permissions);
        std::vector<RunnerEvent> events;
        ClaudeProcess process;
        auto outcome = process.start({ .executable = test::realClaudeExecutable(),
            .arguments = ClaudeInvocation::fullArguments(permissions,
                { .appendedSystemPrompt = "You are a test bot.",
                    .settingsFile = settingsFile,
                    .mcpConfigPath = mcpConfigPath }),
            .input = "Write the two notes.",
            .directory = work,
            .environment = model->claudeEnvironment(folder / "home"),
            .timeLimit = 120,
            .onEvent = [&](const RunnerEvent& event) { events.push_back(event); } });
        EXPECT_FALSE(outcome.stopReason) << outcome.stderrTail;
        EXPECT_TRUE(isValidSessionID(outcome.parser.sessionID().value_or("")));
        std::string summary = test::parserSummary(events, outcome.parser);
        for (const std::string& varying :
            { outcome.parser.sessionID().value_or("*"), folder.path().string() }) {
            for (auto at = summary.find(varying); at != std::string::npos; at = summary.find(varying, at))
                summary.replace(at, varying.size(), "*");
        }
        stderrTail = outcome.stderrTail;
        return { outcome.status, summary };
    }

    test::TemporaryFolder folder;
    fs::path data = folder / "data";
    fs::path work = data / "workspaces" / "ios-test";
    PermissionResolver resolver { folder / "home", data, 3.0 };
    std::optional<test::ScriptedModel> model;
    std::string stderrTail; // of the last run, for failure messages
};

}

// The text and the tool call of one model message come as two events; a write outside every folder is
// denied at once. Beside a read-only folder that holds a writable one the settings neither allow nor
// refuse a write, so Claude Code asks its permission tool: the gate's answer decides.
TEST_F(ClaudeInvocationRealCLI, WritesOnlyWhereTheSettingsOrTheGateAllow)
{
    fs::path shared = folder / "shared";
    fs::create_directories(shared / "inner");
    fs::create_directories(folder / "outside");
    test::writeBytes(work / "seed.txt", "milk");
    PermissionGate gate([&](const JSON& request) {
        const JSON& input = *request.subscript("input");
        if (input.subscript("file_path")->encoded().ends_with("allowed.txt\""))
            return JSON::object({ { "behavior", "allow" }, { "updatedInput", input } });
        return JSON::object({ { "behavior", "deny" }, { "message", "The user said no." } });
    });
    PermissionHelper helper { VELLUMAR_EXECUTABLE, { std::string(PermissionMCPServer::flag) } };
    ResolvedPermissions permissions;
    permissions.folders = { FolderGrant { .path = shared, .writable = false, .label = shared.string() },
        FolderGrant { .path = shared / "inner", .writable = true, .label = (shared / "inner").string() } };

    auto [status, summary]
        = run(JSON(JSON::Array { step("Read", work / "seed.txt", {}, "Checking."),
                  step("Write", folder / "outside/stolen.txt", "x"),
                  step("Write", shared / "allowed.txt", "yes"), step("Write", shared / "refused.txt", "no"),
                  step("Write", work / "notes.txt", "kept"), JSON::object({ { "text", "Done." } }) }),
            permissions, helper.mcpConfig(gate.path()));
    gate.close();
    EXPECT_EQ(status, 0) << stderrTail;
    EXPECT_EQ(summary,
        "preparing writing interim(Checking.) tool(Read) thinking tool(Write) thinking tool(Write) thinking "
        "tool(Write) thinking tool(Write) thinking writing | n=14 session=* final=Done./ok/success "
        "tool=toolu_01/Read/read/*/data/workspaces/ios-test/seed.txt/ok/"
        "{\"file_path\":\"*/data/workspaces/ios-test/seed.txt\"} "
        "tool=toolu_02/Write/write/*/outside/stolen.txt/error/{\"content\":\"x\",\"file_path\":\"*/outside/"
        "stolen.txt\"} tool=toolu_03/Write/write/*/shared/allowed.txt/ok/"
        "{\"content\":\"yes\",\"file_path\":\"*/shared/allowed.txt\"} tool=toolu_04/Write/write/*/shared/"
        "refused.txt/error/{\"content\":\"no\",\"file_path\":\"*/shared/refused.txt\"} "
        "tool=toolu_05/Write/write/*/data/workspaces/ios-test/notes.txt/ok/"
        "{\"content\":\"kept\",\"file_path\":\"*/data/workspaces/ios-test/notes.txt\"} "
        "denial=Write/toolu_02/{\"content\":\"x\",\"file_path\":\"*/outside/stolen.txt\"} "
        "denial=Write/toolu_04/{\"content\":\"no\",\"file_path\":\"*/shared/refused.txt\"} "
        "context={\"tokens\":13,\"window\":1000000} text=Done. waiting=Done.")
        << stderrTail;
    EXPECT_FALSE(fs::exists(folder / "outside" / "stolen.txt"));
    EXPECT_FALSE(fs::exists(shared / "refused.txt"));
    EXPECT_EQ(test::readFile(shared / "allowed.txt"), "yes");
    EXPECT_EQ(test::readFile(work / "notes.txt"), "kept");
    EXPECT_EQ(test::modeOf(data / "claude-settings" / "ios-test.json"), 0600u);
    // The model was told of the refusal in the user's words.
    EXPECT_NE(model->requestLog().find("The user said no."), std::string::npos);
}

// The process that started Claude Code is killed with SIGKILL while a sandboxed command sleeps beside
// another in the background: Claude Code, its helpers and both commands end long before the sleeps
// would, and the model is asked nothing more.
TEST_F(ClaudeInvocationRealCLI, ClaudeCodeAndItsCommandsEndWithAKilledHost)
{
    if (auto reason = test::commandSandboxUnavailableReason())
        GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    fs::create_directories(work);
    auto command
        = JSON::object({ { "command", "(sleep 30 &); echo waiting; sleep 30" }, { "description", "Wait." } });
    model.emplace(folder / "model",
        JSON::array(
            { JSON::object({ { "tool_use", JSON::object({ { "name", "Bash" }, { "input", command } }) } }),
                JSON::object({ { "text", "Done." } }) })
            .encoded());
    ResolvedPermissions permissions;
    permissions.bash = true;
    fs::path settingsFile = writeSettings(permissions);
    const std::string marker = "VELLUMAR_TEST_HOST=" + folder.path().string();
    std::vector<std::string> host { VELLUMAR_CLAUDE_PROCESS_HOST, work.string(), "Wait.", marker };
    for (const auto& [name, value] : model->claudeEnvironment(folder / "home"))
        host.push_back(name + "=" + value);
    host.push_back("--");
    host.push_back(test::realClaudeExecutable().string());
    for (auto& argument : ClaudeInvocation::fullArguments(
             permissions, { .appendedSystemPrompt = "You are a test bot.", .settingsFile = settingsFile }))
        host.push_back(std::move(argument));

    test::InteractivePeer running(host);
    ASSERT_TRUE(test::eventuallyWithin(120, [&] { return sleepsAmong(processesMarkedWith(marker)) == 2; }))
        << model->requestLog();
    running.kill();
    EXPECT_EQ(running.wait(), 128 + SIGKILL);
    bool allEnded = test::eventuallyWithin(10, [&] { return processesMarkedWith(marker).empty(); });
    // What outlived the host must not outlive the test.
    std::string left;
    for (const auto& [pid, name] : processesMarkedWith(marker)) {
        left += name;
        ::kill(pid, SIGKILL);
    }
    EXPECT_TRUE(allEnded) << "still running:\n" << left;
    EXPECT_EQ(model->requestLog().find("tool_result"), std::string::npos) << model->requestLog();
}
