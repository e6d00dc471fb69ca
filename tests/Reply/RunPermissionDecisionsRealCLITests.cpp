// The run's permission decisions behind the real Claude Code CLI from tests/peers, against the
// scripted model endpoint: Claude Code starts the permission sub-mode of our executable, which hands
// each question through the gate to the decision, and the user's answer comes from the job.
#include "tests/Reply/RealClaudeWorld.h"

#include "VellumarMacCore/Reply/RunPermissionDecisions.h"
#include "tests/support/PathEscapes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>

namespace vellumar::test {

TEST(RunPermissionDecisionsRealCLI, EscapesAreRefusedOrAskedAboutWhereTheWriteLandsAndADeniedWriteIsNotMade)
{
    namespace fs = std::filesystem;
    // A write into Git's folder is asked about, and the user says no to it; every other question is
    // allowed once.
    RealClaudeWorld world;
    fs::path granted = world.home / "project";
    fs::path work = world.makeData().workspaces.folder("ios-1");
    fs::path denied = granted / ".git/notes.txt";
    fs::create_directories(denied.parent_path());
    PathEscapes escapes(world.home, work, granted);
    // The runner clears links out of the work folder before a run, while a bot can plant them with
    // a command during one: they are moved back in once the runner has cleared the folder.
    fs::path planted = world.folder / "planted";
    fs::rename(work, planted);
    std::ofstream(world.prelude) << "mv '" << planted.string() << "'/* '" << work.string() << "'/\n";
    JSON::Array steps;
    std::map<fs::path, std::string> refused; // landing place: its content before, "" for none
    for (const auto& escape : escapes.cases) {
        steps.push_back(writeStep(escape.path, "written"));
        if (escape.decision == PathEscape::Decision::deny && !escape.lands.empty())
            refused[escape.lands] = readFile(escape.lands);
    }
    steps.push_back(writeStep(denied, "written"));
    steps.push_back(textStep("Finished."));
    world.openGates(decidePermission);
    world.start(JSON(std::move(steps)));

    std::mutex lock;
    std::vector<JSON> prompts;
    auto control = std::make_shared<JobControl>(
        "j-1", std::nullopt, JobControl::EventHandler {}, [&](const JSON& prompt, std::stop_token) {
            std::lock_guard guard(lock);
            prompts.push_back(prompt);
            return std::string(
                prompt.subscript("path")->stringValue()->ends_with(".git/notes.txt") ? "deny" : "once");
        });
    auto job = RunnerWorld::submission("Write the notes.");
    PermissionSettings settings;
    settings.folders = { PermissionSettings::Folder { granted.string(), true } };
    job.permissions = settings;
    EXPECT_EQ(world.runner->run(job, control, {}).reply, "Finished.") << world.model->requestLog();

    // This Claude Code refuses many of them itself (it folds dot-dots before it writes, and refuses
    // links out of its folders and files that are not regular): whoever refuses, nothing lands.
    for (const auto& [file, content] : refused) {
        SCOPED_TRACE(file.string());
        EXPECT_EQ(readFile(file), content);
    }
    EXPECT_EQ(readFile(escapes.heldFile), "held");
    EXPECT_FALSE(fs::exists(denied));
    // Whatever the user was asked about and allowed is where the write landed.
    std::lock_guard guard(lock);
    ASSERT_GE(prompts.size(), 2u);
    for (const auto& prompt : prompts) {
        std::string shown = *prompt.subscript("path")->stringValue();
        SCOPED_TRACE(shown);
        ASSERT_TRUE(shown.starts_with("~/"));
        if (!shown.ends_with(".git/notes.txt")) {
            EXPECT_EQ(readFile(world.home / shown.substr(2)), "written");
        }
    }
    auto activity = world.data->activity.entries("ios-1");
    ASSERT_FALSE(activity.empty());
    EXPECT_EQ(*activity[0].subscript("target"), JSON(denied.string()));
    EXPECT_EQ(*activity[0].subscript("status"), JSON("denied"));
    EXPECT_EQ(activity[0].subscript("approved"), nullptr);
}

}
