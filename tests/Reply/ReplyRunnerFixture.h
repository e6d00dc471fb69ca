// A reply runner whose `claude` is tests/Reply/peers/fake_claude.py: it records each start and plays
// the step a test scripted (failures and timing the real CLI cannot show on demand), or hands over to the
// real CLI against the scripted model.
#pragma once

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "VellumarMacCore/Reply/JobControl.h"
#include "VellumarMacCore/Reply/JobSubmission.h"
#include "VellumarMacCore/Reply/RunPermissionDecisions.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/JobsTestSupport.h"
#include "tests/support/ScriptedModel.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::test {

inline constexpr const char* kFakeSessionID = "2f0c7a1e-5b7d-4d8e-9a43-1c2b3d4e5f60";

inline JSON resultLine(const std::string& text, bool isError = false, const char* sessionID = kFakeSessionID)
{
    JSON::Object line { { "type", "result" }, { "subtype", isError ? "error_during_execution" : "success" },
        { "is_error", isError }, { "result", text } };
    if (sessionID)
        line.emplace("session_id", sessionID);
    return line;
}

// A start that answers `text` in `sessionID`; `extra` adds to the step.
inline JSON replyStep(
    const std::string& text, JSON::Object extra = {}, const char* sessionID = kFakeSessionID)
{
    auto init = JSON::object({ { "type", "system" }, { "subtype", "init" }, { "session_id", sessionID } });
    extra.emplace("stdout", JSON::array({ init, resultLine(text, false, sessionID) }));
    return JSON(std::move(extra));
}

inline JSON failStep(const std::string& stderrText, int status = 1)
{
    return JSON::object({ { "stderr", stderrText }, { "exit", status }, { "writeClaudeFile", true } });
}

inline const JSON kHangStep = JSON::object({ { "hang", true }, { "writeClaudeFile", true } });

// Steps of the scripted model.
inline JSON textStep(const std::string& text) { return JSON::object({ { "text", text } }); }

inline JSON writeStep(const std::filesystem::path& file, const std::string& content)
{
    return JSON::object({ { "tool_use",
        JSON::object({ { "name", "Write" },
            { "input", JSON::object({ { "file_path", file.string() }, { "content", content } }) } }) } });
}

// With Claude Code's longest time limit: past its default two minutes a command goes on in the
// background and the model is asked again, which a row's command may take on a busy machine.
inline JSON bashStep(const std::string& command)
{
    return JSON::object({ { "tool_use",
        JSON::object({ { "name", "Bash" },
            { "input",
                JSON::object({ { "command", command }, { "description", "Run a command." },
                    { "timeout", 600000 } }) } }) } });
}

// A step of the model for each command, then the reply "Done.".
inline JSON commandSteps(const std::vector<std::string>& commands)
{
    JSON::Array steps;
    for (const auto& command : commands)
        steps.push_back(bashStep(command));
    steps.push_back(textStep("Done."));
    return JSON(std::move(steps));
}

struct RunnerWorld {
    TemporaryFolder folder;
    std::filesystem::path home = folder / "home";
    std::filesystem::path dataFolder = folder / "data";
    std::filesystem::path fakeFolder = folder / "fake";
    std::unique_ptr<ScriptedModel> model;
    std::unique_ptr<RelayData> data;
    ClaudeReplyRunner::Options options;
    std::unique_ptr<ClaudeReplyRunner> runner;
    int hanging = -1; // the read end of the FIFO a hanging start writes to

    RunnerWorld()
    {
        std::filesystem::create_directories(fakeFolder);
        std::filesystem::create_directories(home);
        std::filesystem::create_directories(dataFolder);
        std::filesystem::copy_file(sourceDir() / "tests/Reply/peers/fake_claude.py", fakeFolder / "claude");
        std::filesystem::permissions(fakeFolder / "claude", std::filesystem::perms::owner_all);
        ::mkfifo((fakeFolder / "release").c_str(), 0600);
        // Opened before any start, so that a start that signals never waits for a reader.
        ::mkfifo((fakeFolder / "hanging").c_str(), 0600);
        hanging = ::open((fakeFolder / "hanging").c_str(), O_RDONLY | O_NONBLOCK);
        options.locate = [this] { return std::optional(fakeFolder / "claude"); };
        options.path = [] { return std::string("/usr/local/bin:/usr/bin:/bin"); };
        options.baseEnvironment = { { "HOME", home.string() } };
    }
    ~RunnerWorld() { ::close(hanging); }

    // Anything the data should find on its first read (a session record, say) is written before.
    ClaudeReplyRunner& start()
    {
        data = std::make_unique<RelayData>(RelayData::Options { .folder = dataFolder, .home = home });
        runner = std::make_unique<ClaudeReplyRunner>(*data, options);
        return *runner;
    }

    void play(const JSON& steps) { std::ofstream(fakeFolder / "steps.json") << steps.encoded(); }

    // Every start becomes the real CLI against a model answering from `modelSteps`.
    ClaudeReplyRunner& startReal(const JSON& modelSteps)
    {
        playReal(modelSteps);
        return start();
    }

    // The same, for a runner built elsewhere with `options`.
    void playReal(const JSON& modelSteps)
    {
        model = std::make_unique<ScriptedModel>(folder / "model", modelSteps.encoded());
        playAgainst(*model);
    }

    // The next start becomes the real CLI against `against`, which the caller keeps: a second job
    // started beside a first talks to a model of its own.
    void playAgainst(const ScriptedModel& against)
    {
        JSON::Object environment;
        for (const auto& [name, value] : against.claudeEnvironment(home)) {
            if (name != "PATH" && name != "HOME")
                environment.emplace(name, value);
        }
        play(JSON::array({ JSON::object({ { "real",
            JSON::object({ { "executable", realClaudeExecutable().string() },
                { "environment", JSON(std::move(environment)) } }) } }) }));
    }

    // The permission sub-mode of the real executable, deciding as the relay does.
    void openGates()
    {
        options.permissionHelper
            = PermissionHelper { VELLUMAR_EXECUTABLE, { std::string(PermissionMCPServer::flag) } };
        options.decidePermission = decidePermission;
    }

    std::filesystem::path workFolder(const std::string& conversationID) const
    {
        return data->workspaces.folderURL(conversationID);
    }

    static std::shared_ptr<JobControl> control(
        JobControl::QuestionHandler ask = {}, std::optional<std::string> stoppedNote = std::nullopt)
    {
        return std::make_shared<JobControl>(
            "j-1", std::move(stoppedNote), JobControl::EventHandler {}, std::move(ask));
    }

    ReplyOutput run(
        const JobSubmission& job, std::stop_token stop = {}, std::optional<std::string> stoppedNote = {})
    {
        return runner->run(job, control({}, std::move(stoppedNote)), std::move(stop));
    }

    static JobSubmission submission(const std::string& message = "Hello")
    {
        return { .conversationID = "ios-1", .botID = "bot-1", .message = message, .timeLimit = 600 };
    }

    // Whether a start has begun to hang, within a patience that guards against a hang of the test.
    bool awaitHanging() const
    {
        pollfd signal { hanging, POLLIN, 0 };
        char line[16];
        return ::poll(&signal, 1, 120'000) == 1 && ::read(hanging, line, sizeof line) > 0;
    }

    void releaseHanging() const { std::ofstream(fakeFolder / "release") << "go\n"; }

    // What each start recorded, in start order.
    std::vector<JSON> calls() const
    {
        std::vector<JSON> found;
        for (int call = 0;; ++call) {
            std::filesystem::path file = fakeFolder / ("call-" + std::to_string(call) + ".json");
            if (!std::filesystem::exists(file))
                return found;
            found.push_back(decoded(readFile(file)));
        }
    }

    // Writes a stored session "old-session-1" for ("ios-1", "bot-1") last used a minute ago.
    void storeSession(JSON::Object entry = {})
    {
        entry.emplace("sessionId", "old-session-1");
        entry.emplace("botId", "bot-1");
        entry.emplace("updatedAt", static_cast<std::int64_t>(std::time(nullptr) - 60));
        std::ofstream(dataFolder / "sessions.json")
            << JSON(JSON::Object { { "ios-1", JSON(entry) } }).encoded();
    }
};

// The text `body` returns, or the status, code and message of the RelayHTTPError it throws;
// "stopped" for a cancellation.
template <typename Body> std::string replyOrError(Body&& body)
{
    try {
        return body();
    } catch (const RelayHTTPError& error) {
        return std::to_string(error.status()) + " " + error.code() + " " + error.message();
    } catch (const CancellationError&) {
        return "stopped";
    }
}

inline std::optional<std::string> argumentAfter(const JSON& call, std::string_view option)
{
    const auto& argv = *call.subscript("argv")->arrayValue();
    auto found = std::find(argv.begin(), argv.end(), JSON(std::string(option)));
    if (found == argv.end() || std::next(found) == argv.end())
        return std::nullopt;
    return *std::next(found)->stringValue();
}

// The folder of the gate's socket, as the run named it to Claude Code.
inline std::filesystem::path gateFolder(const JSON& call)
{
    auto config = decoded(*argumentAfter(call, "--mcp-config"));
    auto args = *config.subscript("mcpServers")->subscript("vellumar")->subscript("args")->arrayValue();
    return std::filesystem::path(*args.back().stringValue()).parent_path();
}

// The host of a run that a test kills: this test program started again for the one test, in a world
// of its own inside the test's, given the test's world's folder in this variable.
inline constexpr const char* kKilledHostOf = "VELLUMAR_TEST_KILLED_HOST_OF";

inline std::vector<std::string> killedHostCommand(const RunnerWorld& world)
{
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string folder = world.folder.path().string();
    return { "env", "TMPDIR=" + folder, std::string(kKilledHostOf) + "=" + folder,
        std::filesystem::read_symlink("/proc/self/exe").string(),
        "--gtest_filter=" + std::string(test->test_suite_name()) + "." + test->name() };
}

// The killed host's own part: runs `job` in a world of its own below `root`, the test's world's folder
// it was given, hands the reply to `replied` where given, and ends the process at once, as the test is
// about to kill it anyway.
[[noreturn]] inline void runAsKilledHost(RunnerWorld& world, const std::filesystem::path& root,
    const JobSubmission& job, bool gated, const std::function<void(const std::string&)>& replied = nullptr)
{
    world.home = root / "home";
    world.dataFolder = root / "data";
    world.fakeFolder = root / "fake";
    world.options.baseEnvironment = { { "HOME", world.home.string() } };
    if (gated)
        world.openGates();
    world.start();
    auto output = world.run(job);
    if (replied)
        replied(output.reply);
    std::_Exit(0);
}

inline std::string stdinOf(const JSON& call) { return *call.subscript("stdin")->stringValue(); }

}
