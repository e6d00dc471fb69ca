// The reply runner with the real Claude Code CLI from tests/peers against the scripted model endpoint: what
// the bot and the phone are told when the Git protection moves aside a hook the bot wrote.
#include "tests/Reply/GitRealCLISupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace vellumar;
namespace fs = std::filesystem;
using test::RunnerWorld;

// A hook written into a repository of the grant, by a command or by an approved Write, goes aside at
// once; the bot's next turn names it, the hook that counted and why, and the phone's activity marks the
// call that wrote it.
TEST(ClaudeReplyGitNoticesRealCLI, AHookThatWentAsideIsNamedToTheBotAndThePhone)
{
    if (auto reason = test::commandSandboxUnavailableReason())
        GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    struct Case {
        const char* name;
        std::function<JSON(const fs::path& hook)> step;
        bool fileTool;
    };
    const Case cases[] = {
        { "a command",
            [](const fs::path& hook) {
                return test::bashStep(
                    "python3 -c \"import sys; open(sys.argv[1], 'w').write('#!/bin/sh\\n')\" '"
                    + hook.string() + "'");
            },
            false },
        { "an approved Write", [](const fs::path& hook) { return test::writeStep(hook, "#!/bin/sh\n"); },
            true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        RunnerWorld world;
        const fs::path grant = fs::canonical(world.home) / "Projects";
        const fs::path hook = grant / "app/.git/hooks/pre-commit";
        test::makeRepository(grant / "app");
        world.openGates();
        world.startReal(
            JSON::array({ testCase.step(hook), test::textStep("Done."), test::textStep("Noted.") }));
        auto job = test::commandsJob(grant);
        auto once = RunnerWorld::control([](const JSON&, std::stop_token) { return std::string("once"); });
        EXPECT_EQ(world.runner->run(job, once, {}).reply, "Done.");
        EXPECT_FALSE(fs::exists(hook));

        EXPECT_EQ(world.run(job).reply, "Noted.");
        std::string requests = world.model->requestLog();
        EXPECT_NE(
            requests.find(hook.string()
                + " (the hook pre-commit was added): Git or another program outside the sandbox could act"
                  " on what the change put there"),
            std::string::npos)
            << requests;
        // The Write's own ENOENT, or its success, is explained as what went aside.
        EXPECT_EQ(requests.find("Your file tool's write of it is what went aside") != std::string::npos,
            testCase.fileTool);
        auto activity = world.data->activity.entries("ios-1");
        ASSERT_EQ(activity.size(), 1U);
        EXPECT_EQ(*activity[0].subscript("status"), JSON("moved aside by the Git protection"))
            << activity[0].encoded();
    }
}
