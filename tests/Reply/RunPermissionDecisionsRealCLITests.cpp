// The run's permission decisions behind the real Claude Code CLI from tests/peers, against the
// scripted model endpoint: Claude Code starts the permission sub-mode of our executable, which hands
// each question through the gate to the decision, and the user's answer comes from the job.
#include "RealClaudeWrapper.h"
#include "ReplyRunnerFixture.h"

#include "VellumarMacCore/Reply/RunPermissionDecisions.h"
#include "tests/support/PathEscapes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
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

    // One job that writes each of `files` in turn, with `granted` a writable folder and the user
    // answering `answer` to every question. `prelude` runs just before Claude Code starts, once the
    // runner has prepared the work folder.
    DecidedRun runWithAnswer(RunnerWorld& world, const fs::path& granted, const std::vector<fs::path>& files,
        std::string answer, std::string_view prelude = {})
    {
        JSON::Array steps;
        for (const auto& file : files)
            steps.push_back(writeStep(file, "written"));
        steps.push_back(JSON::object({ { "text", "Finished." } }));
        ScriptedModel model(world.folder / "model", JSON(std::move(steps)).encoded());
        fs::path claude = realClaudeWrapper(world.folder.path(), model, world.home, prelude);
        if (!world.data)
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
    auto run = runWithAnswer(world, granted, { file }, "once");

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
    auto run = runWithAnswer(world, granted, { file }, "deny");

    ASSERT_EQ(run.prompts.size(), 1U);
    EXPECT_FALSE(fs::exists(file));
    ASSERT_EQ(run.activity.size(), 1U);
    EXPECT_EQ(*run.activity[0].subscript("status"), JSON("denied"));
    EXPECT_EQ(run.activity[0].subscript("approved"), nullptr);
}

TEST(RunPermissionDecisionsRealCLI, EscapesAreRefusedOrAskedAboutWhereTheWriteLands)
{
    RunnerWorld world;
    world.makeData();
    fs::path granted = world.home / "project";
    fs::path work = world.data->workspaces.folder("ios-1");
    fs::create_directories(granted);
    PathEscapes escapes(world.home, work, granted);
    // The runner clears links out of the work folder before a run, while a bot can plant them with
    // a command during one: they are moved back in once the runner has cleared the folder.
    fs::path planted = world.folder / "planted";
    fs::rename(work, planted);
    std::vector<fs::path> files;
    std::map<fs::path, std::string> refused; // landing place: its content before, "" for none
    for (const auto& escape : escapes.cases) {
        files.push_back(escape.path);
        if (escape.decision == PathEscape::Decision::deny && !escape.lands.empty())
            refused[escape.lands] = readFile(escape.lands);
    }
    auto run = runWithAnswer(
        world, granted, files, "once", "mv '" + planted.string() + "'/* '" + work.string() + "'/\n");

    EXPECT_EQ(run.output.reply, "Finished.");
    // This Claude Code refuses many of them itself (it folds dot-dots before it writes, and refuses
    // links out of its folders and files that are not regular): whoever refuses, nothing lands.
    for (const auto& [file, content] : refused) {
        SCOPED_TRACE(file.string());
        EXPECT_EQ(readFile(file), content);
    }
    EXPECT_EQ(readFile(escapes.heldFile), "held");
    // Whatever the user was asked about is where the allowed write landed.
    EXPECT_FALSE(run.prompts.empty());
    for (const auto& prompt : run.prompts) {
        std::string shown = *prompt.subscript("path")->stringValue();
        SCOPED_TRACE(shown);
        ASSERT_TRUE(shown.starts_with("~/"));
        EXPECT_EQ(readFile(world.home / shown.substr(2)), "written");
    }
}

}
