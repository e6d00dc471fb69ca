// The reply runner with the real Claude Code CLI from tests/peers against the scripted model endpoint:
// what its file tools and commands may reach.
#include "tests/Reply/RealClaudeWorld.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

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
        for (const auto& message :
            messages && messages->arrayValue() ? *messages->arrayValue() : JSON::Array {}) {
            const JSON* content = message.subscript("content");
            for (const auto& block :
                content && content->arrayValue() ? *content->arrayValue() : JSON::Array {}) {
                if (!block.subscript("type") || *block.subscript("type") != JSON("tool_result"))
                    continue;
                std::string text;
                const JSON* output = block.subscript("content");
                if (output && output->stringValue())
                    text = *output->stringValue();
                for (const auto& part :
                    output && output->arrayValue() ? *output->arrayValue() : JSON::Array {})
                    text += part.subscript("text") ? *part.subscript("text")->stringValue() : "";
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

// A read-only folder holding a writable one: a write beside the writable folder is neither allowed nor
// refused by the settings, so Claude Code asks the gate.
TEST(ClaudeReplyRunnerRealCLI, WritesLandOnlyWhereTheGrantsOrTheGateAllowAndAreLoggedAsDecided)
{
    test::TemporaryFolder places;
    fs::path granted = fs::canonical(places.path()) / "granted";
    fs::path outside = fs::canonical(places.path()) / "outside";
    fs::path shared = fs::canonical(places.path()) / "shared";
    fs::create_directories(granted);
    fs::create_directories(outside);
    fs::create_directories(shared / "inner");
    test::RealClaudeWorld world;
    // Stands in for the runner's own decision: the write to allowed.txt is approved, every other refused.
    std::mutex questionsLock;
    std::vector<std::string> questions; // the file, the conversation and the work folder
    world.openGates([&](const JSON& question, const ClaudeReplyRunner::QuestionContext& context) {
        const JSON* input = question.subscript("input");
        std::string file = *input->subscript("file_path")->stringValue();
        std::lock_guard guard(questionsLock);
        questions.push_back(file + " " + context.conversationKey + " " + context.workFolder.string());
        if (!file.ends_with("allowed.txt"))
            return JSON::object({ { "behavior", "deny" }, { "message", "The user said no." } });
        context.approvedTools->insert(*question.subscript("tool_use_id")->stringValue());
        return JSON::object({ { "behavior", "allow" }, { "updatedInput", *input } });
    });
    world.start(JSON::array({ test::writeStep(outside / "stolen.txt", "no"),
        test::writeStep(granted / "plan.md", "yes"), test::writeStep(shared / "allowed.txt", "yes"),
        test::writeStep(shared / "refused.txt", "no"), test::textStep("Done.") }));

    auto job = test::RunnerWorld::submission("Write the notes.");
    PermissionSettings settings;
    settings.folders = { PermissionSettings::Folder { granted.string(), true },
        PermissionSettings::Folder { shared.string(), false },
        PermissionSettings::Folder { (shared / "inner").string(), true } };
    job.permissions = settings;
    EXPECT_EQ(world.run(job).reply, "Done.");

    EXPECT_FALSE(fs::exists(outside / "stolen.txt"));
    EXPECT_EQ(test::readFile(granted / "plan.md"), "yes");
    EXPECT_EQ(test::readFile(shared / "allowed.txt"), "yes");
    EXPECT_FALSE(fs::exists(shared / "refused.txt"));
    {
        // Written under this lock on the gate's threads. The write inside the granted folder asked nobody.
        std::lock_guard guard(questionsLock);
        const std::string context = " ios-1 " + world.workFolder("ios-1").string();
        EXPECT_NE(std::find(questions.begin(), questions.end(), (shared / "allowed.txt").string() + context),
            questions.end());
        EXPECT_NE(std::find(questions.begin(), questions.end(), (shared / "refused.txt").string() + context),
            questions.end());
        for (const auto& question : questions)
            EXPECT_FALSE(question.starts_with((granted / "plan.md").string())) << question;
    }
    // Newest first: the refused writes are logged as denied, the one the user approved as approved.
    auto activity = world.data->activity.entries("ios-1");
    ASSERT_EQ(activity.size(), 4u) << world.model->requestLog();
    const std::pair<fs::path, std::string> logged[]
        = { { shared / "refused.txt", "denied" }, { shared / "allowed.txt", "approved" },
              { granted / "plan.md", "ok" }, { outside / "stolen.txt", "denied" } };
    for (std::size_t index = 0; index < activity.size(); ++index) {
        SCOPED_TRACE(logged[index].first.string());
        EXPECT_EQ(*activity[index].subscript("target"), JSON(logged[index].first.string()));
        EXPECT_EQ(activity[index].subscript("approved") ? "approved"
                                                        : *activity[index].subscript("status")->stringValue(),
            logged[index].second);
    }
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
    steps.push_back(test::textStep("Done."));
    test::RealClaudeWorld world;
    world.openGates([](const JSON&, const ClaudeReplyRunner::QuestionContext&) {
        return JSON::object({ { "behavior", "deny" }, { "message", "The user said no." } });
    });
    world.start(JSON(std::move(steps)));

    auto job = test::RunnerWorld::submission("Run the commands.");
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
        EXPECT_NE(results[c.id].find(c.shown), std::string::npos) << results[c.id];
    }
    EXPECT_EQ(log.find("loose-marker-7Qz"), std::string::npos) << results["toolu_loose"];
    EXPECT_EQ(log.find("other-run-marker-4Kx"), std::string::npos) << results["toolu_other_run"];
    EXPECT_FALSE(fs::exists(granted / ".git/hooks/pre-commit"));
    EXPECT_EQ(test::readFile(granted / "notes.txt"), "plain\n");
    // Commands the user never granted ran in the sandbox, approved by nobody.
    auto activity = world.data->activity.entries("ios-1");
    EXPECT_EQ(activity.size(), std::size(cases));
    for (const auto& entry : activity)
        EXPECT_EQ(entry.subscript("approved"), nullptr) << entry.encoded();
}
