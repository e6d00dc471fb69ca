// Rows of the real-CLI Git tables: in a granted "~/Projects", the user's shell before the runs, the bot's
// commands in one run or more (the real CLI, bubblewrap, the scripted model), and the user's own Git
// afterwards with all it prints. What a command plants writes a marker outside every grant, which must
// never appear.
#pragma once

#include "tests/Reply/GitRealCLISupport.h"
#include "tests/support/CapturedLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vellumar::test {

// Both shells start in "~/Projects" and have, as variables, RAN (the marker a plant writes when it
// runs), OUT (a file outside every grant the user's own hooks may write to), HUSKY9 (husky 9's
// package), DATA (the program's data folder), and REPLIES and LOG: the folder holding each run's reply to
// the phone ("1", "2", ...) and the file of the program's log lines, as the user's shell finds them
// afterwards. The user's run with `set
// -e` and have `repo DIR` (a repository with one commit, "first"), `husky9 DIR` (one that husky 9 set up) and
// `userhook FILE` (an executable script appending FILE's name to $OUT). The bot's have `plant FILE [HOLDING]`
// (an executable script touching $RAN, written as a command writes into a Git folder: through python, since
// Claude Code itself asks before a redirection there; HOLDING, when given, is a shell command run while the
// script is written but still held open, so that no close tells of it yet) and `monitor DIR` (core.fsmonitor
// touching $RAN in the repository DIR).
struct GitRowOptions {
    std::string place = "Projects"; // the writable place, below the home
    std::string readable = {}; // a place below the home granted only for reading, when given
    std::string during = {}; // the user's shell while the first command waits
    bool asNobody = false; // the program, its runs and the user are user 65534, not root
    bool quiet = false; // the runs log nothing about the place
    // The program's HOME is the user's, and it starts once `before` has run: it reads the PATH of the
    // user's login shell from there as it starts.
    bool startsInUsersHome = false;
    // A second job's commands, in the same place, each of which must succeed: it starts while the
    // first run's last command waits (at its start, or where it runs "$besideStarts"), and its first
    // command waits until the first run has ended. Not with `asNobody`.
    std::vector<std::string> beside = {};
    // The reply may say more than "Done." (a note of the program's), which `after` reads in $REPLIES.
    bool replySaysMore = false;
    // How much longer the guard's start takes, as on a busy machine: past the three seconds Claude Code
    // waits for the first of its input.
    std::chrono::seconds guardStartsLater {};
};

struct GitRow {
    const char* name;
    std::string before; // the user's shell, before the first run
    std::vector<std::vector<std::string>> runs; // the bot's commands, each of which must succeed
    std::string after; // the user's shell afterwards
    std::string expected; // all that `after` prints
    GitRowOptions options = {};
};

namespace detail {

    inline constexpr const char* kRowOf = "VELLUMAR_TEST_GIT_ROW";
    inline constexpr const char* kNobody[]
        = { "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups" };

    inline constexpr const char* kUsersFunctions = R"sh(set -e
repo() {
  git init -q "$1" && echo first > "$1/tracked.txt" && git -C "$1" add tracked.txt &&
    git -C "$1" commit -qm first
}
husky9() { repo "$1" && (cd "$1" && node "$HUSKY9/bin.js" > /dev/null); }
userhook() {
  mkdir -p "$(dirname "$1")" && printf '#!/bin/sh\necho %s >> %s\n' "$(basename "$1")" "$OUT" > "$1" &&
    chmod +x "$1"
}
)sh";

    inline constexpr const char* kBotsFunctions = R"sh(
plant() {
  python3 -c "import os, subprocess, sys
made = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o755)
os.write(made, ('#!/bin/sh\ntouch ' + sys.argv[2] + '\n').encode())
os.fchmod(made, 0o755)  # through the file, wherever the guard moved it meanwhile
if sys.argv[3]:
    subprocess.run(sys.argv[3], shell=True, check=True)
os.close(made)" "$1" "$RAN" "${2:-}"
}
monitor() { git -C "$1" config core.fsmonitor "touch $RAN"; }
)sh";

    inline void holdGuardStart(RunnerWorld& world, std::chrono::seconds delay)
    {
        if (delay.count() > 0)
            world.options.guardStarting = [delay] { std::this_thread::sleep_for(delay); };
    }

    inline std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

    // Keeps the reply of `run` in "<root>/replies", and appends `logLines` to "<root>/log", for the user's
    // shell to read afterwards.
    inline void keepForUser(const std::filesystem::path& root, std::optional<std::size_t> run,
        const std::string& reply, const std::vector<std::string>& logLines)
    {
        std::filesystem::create_directories(root / "replies");
        if (run)
            std::ofstream(root / "replies" / std::to_string(*run + 1)) << reply;
        std::ofstream log(root / "log", std::ios::app);
        for (const auto& line : logLines)
            log << line << "\n";
    }

    inline JobSubmission jobOf(const std::filesystem::path& root, const GitRow& row, std::size_t run)
    {
        auto job = commandsJob(root / "home" / row.options.place,
            row.options.readable.empty() ? std::nullopt
                                         : std::optional(root / "home" / row.options.readable));
        job.conversationID = "ios-" + std::to_string(run + 1);
        return job;
    }

    // One row in a world of its own: its folders, the shells' variables, and its runs.
    struct RowWorld {
        const GitRow& gitRow;
        std::size_t rowIndex;
        RunnerWorld world;
        std::filesystem::path root = std::filesystem::canonical(world.folder.path());
        std::filesystem::path projects = root / "home/Projects";
        std::filesystem::path ran = root / "ran";
        int commandCount = 0; // of all runs so far

        std::string variables() const
        {
            return "RAN=" + quoted(ran) + "; OUT=" + quoted(root / "out")
                + "; HUSKY9=" + quoted(sourceDir() / "tests/peers/node_modules/husky")
                + "; DATA=" + quoted(root / "data") + "; REPLIES=" + quoted(root / "replies")
                + "; LOG=" + quoted(root / "log") + "; cd " + quoted(projects) + " && ";
        }

        // The user's shell `script`: its output, the test failing unless it exits 0.
        std::string usersShell(const std::string& script) const
        {
            std::vector<std::string> argv;
            if (gitRow.options.asNobody)
                argv.assign(std::begin(kNobody), std::end(kNobody));
            argv.insert(argv.end(),
                { "env", "HOME=" + (root / "home").string(), "GIT_EDITOR=true", "sh", "-c",
                    std::string(kUsersFunctions) + variables() + script });
            auto result = runPeer(argv);
            EXPECT_EQ(result.exitStatus, 0) << script << "\n" << result.output;
            return result.output;
        }

        // The bot's `command`, saying "ok-<1000 + its number in the row>" when it succeeds: computed, so
        // that only its output shows it.
        std::string botsCommand(const std::string& command)
        {
            // Only where a command names it: the longer a command, the likelier Claude Code asks before it.
            const std::string beside = command.find("$besideStarts") == std::string::npos
                ? ""
                : "besideStarts='" + besideStarts() + "'; ";
            return std::string(kBotsFunctions) + variables() + beside + "{ " + command
                + "\n} && echo ok-$((1000 + " + std::to_string(commandCount++) + "))";
        }

        static std::string okOf(int command) { return "ok-" + std::to_string(1000 + command); }

        // Waits for `file` in "~/Projects" (bounded only against a hang), then removes it.
        static std::string awaited(const std::string& file)
        {
            return "for i in $(seq 1800); do test -e " + file + " && break; sleep 0.1; done; rm -f " + file
                + "; ";
        }

        // Lets the second job start, and waits until its first command runs: its guard has noted the place.
        static std::string besideStarts() { return "touch .beside-may-start; " + awaited(".beside-began"); }

        // The second job: its own model, started once the first run's last command waits; its first
        // command lets that one go on, then waits until the first run has ended.
        void runBeside(std::stop_token stop)
        {
            if (!awaitFile(projects / ".beside-may-start", stop))
                return;
            std::vector<std::string> commands;
            for (const auto& command : gitRow.options.beside) {
                commands.push_back(std::string(kBotsFunctions) + variables() + "{ "
                    + (commands.empty()
                            ? "rm -f .beside-may-start; touch .beside-began; " + awaited(".first-ended")
                            : "")
                    + command + "\n} && echo beside-ok-" + std::to_string(commands.size()));
            }
            ScriptedModel model(root / "model-beside", commandSteps(commands).encoded());
            world.playAgainst(model);
            auto job = jobOf(root, gitRow, 0);
            job.conversationID = "ios-beside";
            EXPECT_EQ(world.run(job).reply, "Done.");
            for (std::size_t command = 0; command < commands.size(); ++command)
                EXPECT_NE(model.requestLog().find("beside-ok-" + std::to_string(command)), std::string::npos)
                    << "beside " << command;
        }

        // Runs the bot's commands of `run`; the user's `during`, when given, while the first command waits.
        void runOnce(std::size_t run)
        {
            const bool userActs = run == 0 && !gitRow.options.during.empty();
            const bool besideRuns = run == 0 && !gitRow.options.beside.empty();
            std::vector<std::string> commands;
            for (const auto& command : gitRow.runs[run]) {
                commands.push_back(botsCommand(
                    (userActs && commands.empty()
                            ? "touch .user-may-act; for i in $(seq 1800); do test -e .user-acted && break; "
                              "sleep 0.1; done; rm -f .user-may-act .user-acted; "
                            : "")
                    + (besideRuns && commands.size() + 1 == gitRow.runs[run].size()
                                && command.find("$besideStarts") == std::string::npos
                            ? besideStarts()
                            : "")
                    + command));
            }
            world.playReal(commandSteps(commands));
            std::jthread beside;
            if (besideRuns)
                beside = std::jthread([this](std::stop_token stop) { runBeside(stop); });
            std::jthread user;
            if (userActs) {
                user = std::jthread([this](std::stop_token stop) {
                    if (awaitFile(projects / ".user-may-act", stop))
                        usersShell(gitRow.options.during);
                    std::ofstream(projects / ".user-acted") << "go\n";
                });
            }
            if (!gitRow.options.asNobody) {
                const std::string reply = world.run(jobOf(root, gitRow, run)).reply;
                keepForUser(root, run, reply, {});
                if (gitRow.options.replySaysMore)
                    EXPECT_TRUE(reply.starts_with("Done.")) << reply;
                else
                    EXPECT_EQ(reply, "Done.");
                if (besideRuns)
                    std::ofstream(projects / ".first-ended") << "go\n";
                return;
            }
            // The host itself as user 65534: this test program started again for the one row and run.
            auto host = killedHostCommand(world);
            host.insert(host.begin() + 1,
                std::string(kRowOf) + "=" + std::to_string(rowIndex) + ":" + std::to_string(run));
            host.insert(host.begin(), std::begin(kNobody), std::end(kNobody));
            // 128 + the signal where something the commands did ended the program mid-run.
            EXPECT_EQ(runPeer(host).exitStatus, 0) << "the program did not live to the run's end";
        }
    };

}

// Runs the row `rowIndex` of `rows` in a world of its own and checks it: every command of the bot
// succeeded, the user's `after` exits 0 printing `expected`, and nothing planted ran.
inline void runGitRow(const std::vector<GitRow>& rows, std::size_t rowIndex)
{
    if (const char* hostOf = std::getenv(detail::kRowOf)) {
        // This program started again as a row's host, as user 65534.
        const GitRow& hosted = rows[std::strtoul(hostOf, nullptr, 10)];
        std::size_t run = std::strtoul(std::strchr(hostOf, ':') + 1, nullptr, 10);
        RunnerWorld world;
        detail::holdGuardStart(world, hosted.options.guardStartsLater);
        const std::filesystem::path root = std::getenv(kKilledHostOf);
        CapturedLog log;
        runAsKilledHost(world, root, detail::jobOf(root, hosted, run), true,
            [&](const std::string& reply) { detail::keepForUser(root, run, reply, log.lines()); });
    }
    if (auto reason = commandSandboxUnavailableReason())
        GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    SCOPED_TRACE(rows[rowIndex].name);
    detail::RowWorld row { rows[rowIndex], rowIndex };
    const GitRowOptions& options = row.gitRow.options;
    std::filesystem::create_directories(row.projects);
    std::ofstream(row.root / "home/.gitconfig") << "[user]\n\tname = User\n\temail = user@example.com\n"
                                                   "[init]\n\tdefaultBranch = main\n"
                                                   "[protocol \"file\"]\n\tallow = always\n";
    const char* testsHome = std::getenv("HOME");
    const std::string ownHome = testsHome ? testsHome : "";
    if (options.asNobody) {
        ASSERT_EQ(runPeer({ "chown", "-R", "65534:65534", row.root.string() }).exitStatus, 0);
    }
    if (options.startsInUsersHome) {
        row.usersShell(row.gitRow.before);
        ::setenv("HOME", (row.root / "home").c_str(), 1);
    }
    if (!options.asNobody) {
        row.world.openGates();
        detail::holdGuardStart(row.world, options.guardStartsLater);
        row.world.start();
    }
    if (!options.startsInUsersHome)
        row.usersShell(row.gitRow.before);
    CapturedLog log;
    for (std::size_t run = 0; run < row.gitRow.runs.size(); ++run)
        row.runOnce(run);

    const std::string requests = row.world.model->requestLog();
    for (int command = 0; command < row.commandCount; ++command)
        EXPECT_NE(requests.find(row.okOf(command)), std::string::npos) << "command " << command;
    if (options.quiet) {
        for (const auto& line : log.lines())
            EXPECT_EQ(line.find(row.projects.string()), std::string::npos) << line;
    }
    detail::keepForUser(row.root, std::nullopt, {}, log.lines());
    EXPECT_EQ(row.usersShell(row.gitRow.after), row.gitRow.expected);
    EXPECT_FALSE(std::filesystem::exists(row.ran));
    ::setenv("HOME", ownHome.c_str(), 1);
}

// Each row of `rows` in turn, for a table short enough to run as one test.
inline void runGitRows(const std::vector<GitRow>& rows)
{
    for (std::size_t rowIndex = 0; rowIndex < rows.size(); ++rowIndex) {
        runGitRow(rows, rowIndex);
        if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure())
            return;
    }
}

// Each row as the user and again as an ordinary user.
inline std::vector<GitRow> alsoAsNobody(std::vector<GitRow> rows)
{
    const std::size_t count = rows.size();
    for (std::size_t index = 0; index < count; ++index) {
        auto row = rows[index];
        row.options.asNobody = true;
        rows.push_back(std::move(row));
    }
    return rows;
}

}
