// The reply runner with the real Claude Code CLI from tests/peers against the scripted model
// endpoint. The runner keeps the API variables away from Claude Code, and its options make the CLI
// ignore the user's settings files, so the runner is pointed at a two-line shell script that adds the
// endpoint's variables and then runs the real CLI with everything the runner gave it.
#include "tests/support/JobsTestSupport.h"
#include "RealClaudeWrapper.h"
#include "ReplyRunnerFixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

struct RealCLIWorld : test::RunnerWorld {
    std::unique_ptr<test::ScriptedModel> model;
    std::unique_ptr<ClaudeReplyRunner> runner;
    std::mutex questionsLock;
    std::vector<JSON> questions;
    ClaudeReplyRunner::DecidePermission answer = [](const JSON&, const ClaudeReplyRunner::QuestionContext&) {
        return JSON::object({ { "behavior", "deny" }, { "message", "The user said no." } });
    };

    explicit RealCLIWorld(const JSON& steps)
    {
        model = std::make_unique<test::ScriptedModel>(folder / "model", steps.encoded());
        fs::path claude = test::realClaudeWrapper(folder.path(), *model, home);
        makeData();

        ClaudeReplyRunner::Options options;
        options.locate = [claude] { return std::optional(claude); };
        options.path = [] { return std::string("/usr/local/bin:/usr/bin:/bin"); };
        options.baseEnvironment = { { "HOME", home.string() } };
        // Stands in for the runner's own decision: every question is kept and answered by `answer`.
        openGates(options, [this](const JSON& question, const ClaudeReplyRunner::QuestionContext& context) {
            std::lock_guard guard(questionsLock);
            questions.push_back(question);
            return answer(question, context);
        });
        runner = std::make_unique<ClaudeReplyRunner>(*data, std::move(options));
    }

    ReplyOutput run(const JobSubmission& job) { return runner->run(job, control(), {}); }
};

JSON writeStep(const fs::path& file, const std::string& content)
{
    return JSON::object({ { "tool_use",
        JSON::object({ { "name", "Write" },
            { "input", JSON::object({ { "file_path", file.string() }, { "content", content } }) } }) } });
}

JSON commandStep(const std::string& id, const std::string& command)
{
    return JSON::object({ { "tool_use",
        JSON::object({ { "id", id }, { "name", "Bash" },
            { "input",
                JSON::object({ { "command", command }, { "description", "Run a command." } }) } }) } });
}

// The text of every tool result the model was sent, by the id of its call.
std::map<std::string, std::string> toolResults(const std::string& requestLog)
{
    std::map<std::string, std::string> results;
    std::istringstream lines(requestLog);
    for (std::string line; std::getline(lines, line);) {
        auto request = JSON::decode(line);
        const JSON* messages = request ? request->subscript("body")->subscript("messages") : nullptr;
        if (!messages || !messages->arrayValue())
            continue;
        for (const auto& message : *messages->arrayValue()) {
            const JSON* content = message.subscript("content");
            if (!content || !content->arrayValue())
                continue;
            for (const auto& block : *content->arrayValue()) {
                const JSON* type = block.subscript("type");
                if (!type || *type != JSON("tool_result"))
                    continue;
                std::string text;
                const JSON* output = block.subscript("content");
                if (output && output->stringValue())
                    text = *output->stringValue();
                else if (output && output->arrayValue()) {
                    for (const auto& part : *output->arrayValue())
                        text += part.subscript("text") ? *part.subscript("text")->stringValue() : "";
                }
                results[*block.subscript("tool_use_id")->stringValue()] = text;
            }
        }
    }
    return results;
}

// A temporary folder made as the runner makes one for each run, standing for another conversation's
// run that is still going on.
struct OtherRunFolder {
    fs::path path = ClaudeReplyRunner::makeTemporaryFolder();
    ~OtherRunFolder() { ClaudeReplyRunner::removeQuietly(path); }
};

}

TEST(ClaudeReplyRunnerRealCLI, ASecondTurnResumesTheSessionOfTheFirst)
{
    RealCLIWorld world(JSON::array({ JSON::object({ { "text", "Hello from the model." } }),
        JSON::object({ { "text", "Second reply." } }) }));

    ReplyOutput first = world.run(test::RunnerWorld::submission("ios-1", "Where shall we go?"));
    EXPECT_EQ(first.reply, "Hello from the model.");
    ASSERT_TRUE(first.context);
    EXPECT_GT(first.context->subscript("tokens")->intValue().value_or(0), 0);
    auto session = world.data->sessions.sessionID("ios-1", "bot-1");
    ASSERT_TRUE(session) << world.model->requestLog();

    // The script answers by the number of assistant messages the request carries, so only a resumed
    // session gets the second step.
    ReplyOutput second = world.run(test::RunnerWorld::submission("ios-1", "And when?"));
    EXPECT_EQ(second.reply, "Second reply.");
    std::string log = world.model->requestLog();
    EXPECT_NE(log.find("Where shall we go?"), std::string::npos);
    EXPECT_NE(log.find("And when?"), std::string::npos);
    EXPECT_TRUE(world.data->sessions.sessionID("ios-1", "bot-1"));
    auto recent = world.data->sessions.summaryAndRecent("ios-1", "bot-1").recent;
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_EQ(*recent[1].subscript("reply")->stringValue(), "Second reply.");
}

TEST(ClaudeReplyRunnerRealCLI, AWriteOutsideTheGrantedFoldersNeverReachesTheDisk)
{
    test::TemporaryFolder places;
    fs::path granted = fs::canonical(places.path()) / "granted";
    fs::path outside = fs::canonical(places.path()) / "outside";
    fs::create_directories(granted);
    fs::create_directories(outside);
    RealCLIWorld world(JSON::array({ writeStep(outside / "stolen.txt", "no"),
        writeStep(granted / "plan.md", "yes"), JSON::object({ { "text", "Wrote the plan." } }) }));

    auto job = test::RunnerWorld::submission("ios-1", "Write the plan.");
    PermissionSettings settings;
    settings.folders = { PermissionSettings::Folder { granted.string(), true } };
    job.permissions = settings;
    ReplyOutput output = world.run(job);

    EXPECT_EQ(output.reply, "Wrote the plan.");
    EXPECT_FALSE(fs::exists(outside / "stolen.txt"));
    EXPECT_EQ(test::readFile(granted / "plan.md"), "yes");
    // Claude Code was told of the refusal.
    EXPECT_NE(world.model->requestLog().find("stolen.txt"), std::string::npos);
    // The write inside the granted folder needed nobody's consent.
    // Newest first: the refused write is logged as denied, the other as Claude Code reported it.
    auto activity = world.data->activity.entries("ios-1");
    ASSERT_EQ(activity.size(), 2u);
    EXPECT_EQ(*activity[1].subscript("target")->stringValue(), (outside / "stolen.txt").string());
    EXPECT_EQ(*activity[1].subscript("status")->stringValue(), "denied");
    EXPECT_EQ(*activity[0].subscript("status")->stringValue(), "ok");
    EXPECT_FALSE(activity[0].subscript("approved"));
    std::lock_guard guard(world.questionsLock);
    for (const auto& question : world.questions) {
        const JSON* input = question.subscript("input");
        ASSERT_TRUE(input);
        EXPECT_NE(*input->subscript("file_path")->stringValue(), (granted / "plan.md").string());
    }
}

TEST(ClaudeReplyRunnerRealCLI, TheGateAsksTheDecisionAndAnApprovedWriteIsLoggedAsApproved)
{
    test::TemporaryFolder places;
    // A read-only folder holding a writable one: a write beside the writable folder is neither allowed
    // nor refused by the settings, so Claude Code asks the gate.
    fs::path shared = fs::canonical(places.path()) / "shared";
    fs::create_directories(shared / "inner");
    RealCLIWorld world(JSON::array({ writeStep(shared / "allowed.txt", "yes"),
        writeStep(shared / "refused.txt", "no"), JSON::object({ { "text", "Done." } }) }));
    std::vector<std::string> contexts;
    world.answer = [&](const JSON& question, const ClaudeReplyRunner::QuestionContext& context) {
        contexts.push_back(context.conversationKey + " " + context.workFolder.string());
        const JSON* input = question.subscript("input");
        if (!input || !input->subscript("file_path")->stringValue()->ends_with("allowed.txt"))
            return JSON::object({ { "behavior", "deny" }, { "message", "The user said no." } });
        context.approvedTools->insert(*question.subscript("tool_use_id")->stringValue());
        return JSON::object({ { "behavior", "allow" }, { "updatedInput", *input } });
    };

    auto job = test::RunnerWorld::submission("ios-1", "Write the two notes.");
    PermissionSettings settings;
    settings.folders = { PermissionSettings::Folder { shared.string(), false },
        PermissionSettings::Folder { (shared / "inner").string(), true } };
    job.permissions = settings;
    EXPECT_EQ(world.run(job).reply, "Done.");

    EXPECT_EQ(test::readFile(shared / "allowed.txt"), "yes");
    EXPECT_FALSE(fs::exists(shared / "refused.txt"));
    {
        // The answers were written under this lock on the gate's threads.
        std::lock_guard guard(world.questionsLock);
        ASSERT_EQ(world.questions.size(), 2u) << world.model->requestLog();
        ASSERT_EQ(contexts.size(), 2u);
        EXPECT_EQ(contexts[0], "ios-1 " + world.workFolder("ios-1").string());
    }
    auto activity = world.data->activity.entries("ios-1");
    ASSERT_EQ(activity.size(), 2u);
    EXPECT_EQ(*activity[1].subscript("target")->stringValue(), (shared / "allowed.txt").string());
    EXPECT_EQ(
        activity[1].subscript("approved") ? activity[1].subscript("approved")->boolValue() : std::nullopt,
        true);
    EXPECT_EQ(*activity[0].subscript("status")->stringValue(), "denied");
    EXPECT_FALSE(activity[0].subscript("approved"));
}

TEST(ClaudeReplyRunnerRealCLI, CommandsSeeNoOtherTemporaryFilesAndCannotPlantAGitHook)
{
    if (auto reason = test::commandSandboxUnavailableReason())
        GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    test::TemporaryFolder places;
    fs::path granted = fs::canonical(places.path()) / "project";
    fs::create_directories(granted);
    ASSERT_EQ(test::runPeer({ "git", "init", "-q", granted.string() }).exitStatus, 0);
    fs::path looseFile = fs::canonical(places.path()) / "loose.txt";
    std::ofstream(looseFile) << "loose-marker-7Qz";
    OtherRunFolder otherRun;
    std::ofstream(otherRun.path / "output.txt") << "other-run-marker-4Kx";

    struct Case {
        const char* id;
        std::string command;
        std::string shown; // what the model must see; empty when the command must fail
    };
    const std::string g = "'" + granted.string() + "'";
    const Case cases[] = {
        { "toolu_loose", "cat '" + looseFile.string() + "'", "" },
        { "toolu_other_run", "cat '" + (otherRun.path / "output.txt").string() + "'", "" },
        { "toolu_hook", "echo 'echo pwned' > " + g + "/.git/hooks/pre-commit", "" },
        { "toolu_plain", "echo plain > " + g + "/notes.txt && cat " + g + "/notes.txt", "plain" },
        // Commits the note of the row before: the rest of Git's folder stays writable.
        { "toolu_commit",
            "cd " + g
                + " && git add notes.txt && git -c user.name=Bot -c user.email=bot@example.com "
                  "commit -qm committed-from-a-command && git log --format=%s",
            "committed-from-a-command" },
        { "toolu_own_folder", "echo own-folder > \"$TMPDIR/own.txt\" && cat \"$TMPDIR/own.txt\"",
            "own-folder" },
    };
    JSON::Array steps;
    for (const auto& c : cases)
        steps.push_back(commandStep(c.id, c.command));
    steps.push_back(JSON::object({ { "text", "Done." } }));
    RealCLIWorld world { JSON(std::move(steps)) };

    auto job = test::RunnerWorld::submission("ios-1", "Run the commands.");
    PermissionSettings settings;
    settings.bash = true;
    settings.folders = { PermissionSettings::Folder { granted.string(), true } };
    job.permissions = settings;
    EXPECT_EQ(world.run(job).reply, "Done.");

    std::string log = world.model->requestLog();
    auto results = toolResults(log);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        ASSERT_TRUE(results.contains(c.id)) << log;
        if (!c.shown.empty()) {
            EXPECT_NE(results[c.id].find(c.shown), std::string::npos) << results[c.id];
        }
    }
    EXPECT_EQ(log.find("loose-marker-7Qz"), std::string::npos) << results["toolu_loose"];
    EXPECT_EQ(log.find("other-run-marker-4Kx"), std::string::npos) << results["toolu_other_run"];
    EXPECT_FALSE(fs::exists(granted / ".git/hooks/pre-commit"));
    EXPECT_EQ(test::readFile(granted / "notes.txt"), "plain\n");
}
