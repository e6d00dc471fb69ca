// Where the guard of a granted "~/Projects" cannot undo what a command planted, with the real CLI,
// bubblewrap and the scripted model: what it can take away, it does, the phone's reply names the
// repository and what stays there, the log says so, and the next run's start tries again.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <string>
#include <memory>

namespace {

// The user's hooks folder, named by core.hooksPath, whose pre-commit runs every executable part
// beside it.
const std::string kUsersHooksFolder
    = "repo app && mkdir app/.githooks && git -C app config core.hooksPath .githooks"
      " && printf '#!/bin/sh\\nfor part in .githooks/*.sh; do [ -x \"$part\" ] "
      "&& \"$part\"; done; true\\n' > app/.githooks/pre-commit"
      " && chmod +x app/.githooks/pre-commit && userhook app/.githooks/lint.sh";

// A part whose name leaves no room for the guard's ".refused-<time>-<random>": no name beside it can
// hold it.
const std::string kLongPart = "app/.githooks/$(printf 'x%.0s' $(seq 230)).sh";

const std::string kUsersCommitAndWhatWasTold = "git -C app commit -q --allow-empty -m by-the-user"
                                               " && git -C app log -1 --format=%s && cat \"$OUT\""
                                               " && test ! -x "
    + kLongPart + " && grep -q \"$RAN\" " + kLongPart
    + " && echo no-execute-bit"
      " && grep -q 'could not be moved aside (File name too long), so it is left without execute permission' "
      "\"$LOG\" && echo logged"
      " && grep -qF \"(From Vellumar for Mac: the Git protection could not undo\" \"$REPLIES/1\""
      " && grep -qF \"In $PWD/app: $PWD/\""
    + kLongPart
    + " \"$REPLIES/1\" && echo first-reply-names-app"
      " && grep -qF \"In $PWD/app: $PWD/\""
    + kLongPart + " \"$REPLIES/2\" && echo next-start-tried-again";

}

TEST(ClaudeReplyGitFailsLoudlyRealCLI, WhatCannotGoAsideLosesItsExecuteBitAndIsTold)
{
    const std::string expected
        = "by-the-user\nlint.sh\nno-execute-bit\nlogged\nfirst-reply-names-app\nnext-start-tried-again\n";
    vellumar::test::runGitRows({
        { "a part of the user's hooks folder whose name leaves no room to move it aside", kUsersHooksFolder,
            { { "plant " + kLongPart }, { "true" } }, kUsersCommitAndWhatWasTold, expected,
            { .replySaysMore = true } },
        { "a part of the user's hooks folder whose name leaves no room to move it aside, as an ordinary user",
            kUsersHooksFolder, { { "plant " + kLongPart }, { "true" } }, kUsersCommitAndWhatWasTold, expected,
            { .asNobody = true, .replySaysMore = true } },
    });
}

// However the reply ends, the phone hears what stayed: in the error where Claude Code fails, with the stop
// where the user stopped the reply, also once it was written (while its files are attached) or while the
// compaction before it planted, and in the summary of a compaction the phone asked for, whose run planted.
TEST(ClaudeReplyGitFailsLoudlyRealCLI, WhatStayedIsToldHoweverTheReplyEnds)
{
    using namespace vellumar;
    if (auto reason = test::commandSandboxUnavailableReason())
        GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    enum class Ending {
        byItself,
        stoppedWhilePlanting,
        stoppedWhileAttaching,
        stoppedWhileCompacting,
        compacted
    };
    // The model's steps before the planting and after it, and how the reply or compaction ends.
    struct Case {
        JSON::Array before;
        JSON next;
        Ending how;
        std::string ending;
    };
    const Case cases[] = {
        { {}, JSON::object({ { "status", 400 } }), Ending::byItself,
            "502 claude_failed Claude Code reported an error" },
        { {}, test::textStep("Done."), Ending::stoppedWhilePlanting, "stopped" },
        { {},
            test::textStep("Done.\n```action\n{\"type\":\"attach_file\",\"path\":\"app/tracked.txt\"}\n```"),
            Ending::stoppedWhileAttaching, "stopped" },
        { { test::textStep("Hi.") }, test::textStep("The summary."), Ending::stoppedWhileCompacting,
            "stopped" },
        { { test::textStep("Hi.") }, test::textStep("The summary."), Ending::compacted, "The summary." },
    };
    for (const auto& [before, next, how, ending] : cases) {
        SCOPED_TRACE(static_cast<int>(how));
        test::RunnerWorld world;
        const auto projects = std::filesystem::canonical(world.folder.path()) / "home/Projects";
        std::filesystem::create_directories(projects);
        std::ofstream(world.home / ".gitconfig") << "[user]\n\tname = U\n\temail = u@example.com\n";
        const std::string variables = "RAN=ran; OUT=out; cd " + test::detail::quoted(projects) + " && ";
        ASSERT_EQ(test::runPeer({ "env", "HOME=" + world.home.string(), "sh", "-c",
                                    test::detail::kUsersFunctions + variables + kUsersHooksFolder })
                      .exitStatus,
            0);
        world.openGates();
        const bool stopsWhilePlanting
            = how == Ending::stoppedWhilePlanting || how == Ending::stoppedWhileCompacting;
        JSON::Array steps = before;
        steps.push_back(test::bashStep(test::detail::kBotsFunctions + variables + "plant " + kLongPart
            + (stopsWhilePlanting ? " && touch .planted && sleep 600" : "")));
        steps.push_back(next);
        world.startReal(JSON(std::move(steps)));
        const auto job = test::commandsJob(projects);
        std::stop_source stop;
        auto control = std::make_shared<JobControl>("j-1", std::nullopt, [&](const RunnerEvent& event) {
            if (how == Ending::stoppedWhileAttaching && event.kind == RunnerEvent::Kind::attaching)
                stop.request_stop();
        });
        auto ended = std::async(std::launch::async, [&] {
            try {
                if (before.empty())
                    return world.runner->run(job, control, stop.get_token()).reply;
                world.run(job);
                if (how == Ending::stoppedWhileCompacting) {
                    // The stored session is long enough for the relay to compact it before the reply.
                    world.data->sessions.recordReply(job.conversationID, job.botID,
                        *world.data->sessions.sessionID(job.conversationID, job.botID),
                        { .contextTokens = 60'000 });
                    auto compacting = job;
                    compacting.autoCompact = AutoCompactSetting { "auto", 50'000 };
                    return world.runner->run(compacting, control, stop.get_token()).reply;
                }
                return world.runner
                    ->compact({ job.conversationID, job.botID, std::nullopt, job.permissions }, {})
                    .summary;
            } catch (const CancellationError& stopping) {
                return "stopped " + stopping.note.value_or("");
            } catch (const RelayHTTPError& error) {
                return std::to_string(error.status()) + " " + error.code() + " " + error.message();
            }
        });
        if (stopsWhilePlanting && test::awaitFile(projects / ".planted", {}))
            stop.request_stop();
        const std::string told = ended.get();
        EXPECT_TRUE(told.starts_with(ending)) << told;
        EXPECT_NE(
            told.find(
                "(From Vellumar for Mac: the Git protection could not undo what changed in these "
                "repositories during this reply; Git run there may act on it until it is removed.\n- In "
                + (projects / "app").string() + ": " + (projects / "app/.githooks/xxx").string()),
            std::string::npos)
            << told;
    }
}
