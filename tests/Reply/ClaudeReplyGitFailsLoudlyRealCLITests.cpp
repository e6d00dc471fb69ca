// Where the guard of a granted "~/Projects" cannot undo what a command planted, with the real CLI,
// bubblewrap and the scripted model: what it can take away, it does, the phone's reply names the
// repository and what stays there, the log says so, and the next run's start tries again.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

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
      " && grep -q 'could not be moved aside (File name too long), so its execute permission was taken' "
      "\"$LOG\" && echo logged"
      " && grep -qF \"(From Vellumar for Mac: the Git protection could not undo\" \"$REPLIES/1\""
      " && grep -qF \"In $PWD/app: $PWD/\""
    + kLongPart
    + " \"$REPLIES/1\" && echo first-reply-names-app"
      " && grep -qF \"In $PWD/app: $PWD/\""
    + kLongPart + " \"$REPLIES/2\" && echo next-start-tried-again";

std::vector<vellumar::test::GitRow> unmovableRows()
{
    const std::string expected
        = "by-the-user\nlint.sh\nno-execute-bit\nlogged\nfirst-reply-names-app\nnext-start-tried-again\n";
    return {
        { "a part of the user's hooks folder whose name leaves no room to move it aside", kUsersHooksFolder,
            { { "plant " + kLongPart }, { "true" } }, kUsersCommitAndWhatWasTold, expected,
            { .replySaysMore = true } },
        { "a part of the user's hooks folder whose name leaves no room to move it aside, as an ordinary user",
            kUsersHooksFolder, { { "plant " + kLongPart }, { "true" } }, kUsersCommitAndWhatWasTold, expected,
            { .asNobody = true, .replySaysMore = true } },
    };
}

}

class ClaudeReplyGitFailsLoudlyRealCLI : public vellumar::test::RealCLIRow { };

TEST_P(ClaudeReplyGitFailsLoudlyRealCLI, WhatCannotGoAsideLosesItsExecuteBitAndIsTold)
{
    vellumar::test::runGitRow(unmovableRows(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitFailsLoudlyRealCLI, ::testing::Range<std::size_t>(0, unmovableRows().size()));

namespace {

enum class Ending { byItself, stopWhilePlanting, stopWhileAttaching, stopWhileCompacting, compaction };

// The model's step after the planting, how the reply (or the compaction) ends, and what the phone gets.
std::vector<std::tuple<vellumar::JSON, Ending, std::string>> endings()
{
    using namespace vellumar;
    return {
        { JSON::object({ { "status", 400 } }), Ending::byItself,
            "502 claude_failed Claude Code reported an error" },
        { test::textStep("Done."), Ending::stopWhilePlanting, "stopped" },
        { test::textStep("Done.\n```action\n{\"type\":\"attach_file\",\"path\":\"app/tracked.txt\"}\n```"),
            Ending::stopWhileAttaching, "stopped" },
        { test::textStep("The summary."), Ending::stopWhileCompacting, "stopped" },
        { test::textStep("The summary."), Ending::compaction, "The summary." },
    };
}

}

class ClaudeReplyGitFailsLoudlyEndingRealCLI : public vellumar::test::RealCLIRow { };

// However the reply ends, the phone hears what stayed: in the error where Claude Code fails, with the stop
// where the user stopped the reply, also once it was written (while its files are attached) or while the
// compaction before it planted, and in the summary of a compaction the phone asked for, whose run planted.
TEST_P(ClaudeReplyGitFailsLoudlyEndingRealCLI, WhatStayedIsToldHoweverTheReplyEnds)
{
    using namespace vellumar;
    if (auto reason = test::commandSandboxUnavailableReason())
        GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    const auto [next, how, ending] = endings().at(GetParam());
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
    const bool compacts = how == Ending::stopWhileCompacting || how == Ending::compaction;
    const bool stopsWhilePlanting = how == Ending::stopWhilePlanting || how == Ending::stopWhileCompacting;
    // A compaction needs a session: the first reply's.
    JSON::Array steps = compacts ? JSON::Array { test::textStep("Hi.") } : JSON::Array {};
    steps.push_back(test::bashStep(test::detail::kBotsFunctions + variables + "plant " + kLongPart
        + (stopsWhilePlanting ? " && touch .planted && sleep 600" : "")));
    steps.push_back(next);
    world.startReal(JSON(std::move(steps)));
    auto job = test::commandsJob(projects);
    std::stop_source stop;
    auto control = std::make_shared<JobControl>("j-1", std::nullopt, [&](const RunnerEvent& event) {
        if (how == Ending::stopWhileAttaching && event.kind == RunnerEvent::Kind::attaching)
            stop.request_stop();
    });
    auto ended = std::async(std::launch::async, [&] {
        try {
            if (compacts)
                world.run(job);
            if (how == Ending::compaction)
                return world.runner->compact({ job.conversationID, job.botID, {}, job.permissions }, {})
                    .summary;
            if (how == Ending::stopWhileCompacting) {
                // Long enough for the relay to compact the session before the reply.
                world.data->sessions.recordReply(job.conversationID, job.botID,
                    *world.data->sessions.sessionID(job.conversationID, job.botID),
                    { .contextTokens = 60'000 });
                job.autoCompact = AutoCompactSetting { "auto", 50'000 };
            }
            return world.runner->run(job, control, stop.get_token()).reply;
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
        told.find("(From Vellumar for Mac: the Git protection could not undo what changed in these "
                  "repositories during this reply; Git run there may act on it until it is removed.\n- In "
            + (projects / "app").string() + ": " + (projects / "app/.githooks/xxx").string()),
        std::string::npos)
        << told;
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitFailsLoudlyEndingRealCLI, ::testing::Range<std::size_t>(0, endings().size()));
