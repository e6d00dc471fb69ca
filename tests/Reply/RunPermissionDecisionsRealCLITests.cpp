// The run's permission decisions behind the real Claude Code CLI from tests/peers, against the
// scripted model endpoint: Claude Code starts the permission sub-mode of our executable, which hands
// each question through the gate to the decision, and the user's answer comes from the job.
#include "RealClaudeWrapper.h"
#include "ReplyRunnerFixture.h"

#include "VellumarMacCore/Reply/RunPermissionDecisions.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

namespace vellumar::test {

namespace {

    namespace fs = std::filesystem;

    JSON writeStep(const fs::path& file, const std::string& content)
    {
        return JSON::object({ { "tool_use",
            JSON::object({ { "name", "Write" },
                { "input", JSON::object({ { "file_path", file.string() }, { "content", content } }) } }) } });
    }

    struct DecidedRun {
        std::vector<JSON> prompts;
        ReplyOutput output;
        std::vector<JSON> activity; // newest first
    };

    // One job that writes `file` in a granted writable folder, the user answering `answer`.
    DecidedRun runWithAnswer(
        RunnerWorld& world, const fs::path& granted, const fs::path& file, std::string answer)
    {
        ScriptedModel model(world.folder / "model",
            JSON::array({ writeStep(file, "written"), JSON::object({ { "text", "Finished." } }) }).encoded());
        fs::path claude = realClaudeWrapper(world.folder.path(), model, world.home);
        world.makeData();

        ClaudeReplyRunner::Options options;
        options.locate = [claude] { return std::optional(claude); };
        options.path = [] { return std::string("/usr/local/bin:/usr/bin:/bin"); };
        options.baseEnvironment = { { "HOME", world.home.string() } };
        RunnerWorld::openGates(options, decidePermission);
        ClaudeReplyRunner runner(*world.data, std::move(options));

        std::mutex lock;
        DecidedRun result;
        auto control = std::make_shared<JobControl>(
            "j-1", std::nullopt, JobControl::EventHandler {}, [&](const JSON& prompt, std::stop_token) {
                std::lock_guard guard(lock);
                result.prompts.push_back(prompt);
                return answer;
            });
        auto job = RunnerWorld::submission("ios-1", "Write the note.");
        PermissionSettings settings;
        settings.folders = { PermissionSettings::Folder { granted.string(), true } };
        job.permissions = settings;
        result.output = runner.run(job, control, {});
        result.activity = world.data->activity.entries("ios-1");
        std::lock_guard guard(lock);
        return result;
    }

}

TEST(RunPermissionDecisionsRealCLI, WriteAnsweredOnceIsWrittenAndLoggedAsApproved)
{
    RunnerWorld world;
    TemporaryFolder places;
    fs::path granted = fs::canonical(places.path()) / "project";
    fs::path file = granted / ".git/notes.txt";
    fs::create_directories(file.parent_path());
    auto run = runWithAnswer(world, granted, file, "once");

    ASSERT_EQ(run.prompts.size(), 1U);
    EXPECT_EQ(*run.prompts[0].subscript("reason"), JSON("This is Git's own folder (.git)."));
    EXPECT_EQ(readFile(file), "written");
    EXPECT_EQ(run.output.reply, "Finished.");
    ASSERT_EQ(run.activity.size(), 1U);
    EXPECT_EQ(
        run.activity[0].subscript("approved") ? *run.activity[0].subscript("approved") : JSON(), JSON(true));
}

TEST(RunPermissionDecisionsRealCLI, WriteAnsweredDenyIsNotWritten)
{
    RunnerWorld world;
    TemporaryFolder places;
    fs::path granted = fs::canonical(places.path()) / "project";
    fs::path file = granted / ".git/notes.txt";
    fs::create_directories(file.parent_path());
    auto run = runWithAnswer(world, granted, file, "deny");

    ASSERT_EQ(run.prompts.size(), 1U);
    EXPECT_FALSE(fs::exists(file));
    ASSERT_EQ(run.activity.size(), 1U);
    EXPECT_EQ(*run.activity[0].subscript("status"), JSON("denied"));
    EXPECT_EQ(run.activity[0].subscript("approved"), nullptr);
}

}
