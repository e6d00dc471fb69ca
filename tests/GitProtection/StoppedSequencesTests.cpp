// What a rebase, cherry-pick or revert that a run's commands left stopped would run when the user
// continues it, judged by the guard's sweep at the run's end with real Git, wherever the repository is.
#include "VellumarMacCore/GitProtection/GitGuard.h"

#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

// Runs `script` with sh in `folder`, as a committer Git knows.
void sh(const fs::path& folder, const std::string& script)
{
    test::runPeer({ "sh", "-c",
        "exec 2>/dev/null; export GIT_AUTHOR_NAME=User GIT_AUTHOR_EMAIL=user@example.com "
        "GIT_COMMITTER_NAME=User"
        " GIT_COMMITTER_EMAIL=user@example.com; cd '"
            + folder.string() + "' && " + script });
}

// Stops a rebase of the last two commits at a "break" before them, with "exec" lines when given.
std::string stoppedRebase(const std::string& options = "")
{
    return "GIT_SEQUENCE_EDITOR=\"sed -i '1i break'\" git rebase -q -i " + options + " HEAD~2 2>/dev/null";
}

}

TEST(StoppedSequences, WhatARebaseLeftStoppedWouldRunGoesAsideAtTheRunsEnd)
{
    struct Case {
        const char* name;
        std::string during; // the run's commands, in "app"
        std::vector<const char*> movedAside; // below the place
        std::string before = ""; // in "app", before the run starts
    };
    const std::string exec = stoppedRebase("--exec 'touch ../ran'");
    const std::string cherryPick
        = "git checkout -q -b side HEAD~2 && echo other > f2 && git add f2 && git commit -qm side"
          " && git cherry-pick main~1 main >/dev/null 2>&1";
    const Case cases[] = {
        { "exec lines left at a break", exec, { "app/.git/rebase-merge/git-rebase-todo" } },
        { "an indented exec line written in",
            stoppedRebase() + " && echo '  exec touch ../ran' >> .git/rebase-merge/git-rebase-todo",
            { "app/.git/rebase-merge/git-rebase-todo" } },
        { "an x line written in",
            stoppedRebase() + " && echo 'x touch ../ran' >> .git/rebase-merge/git-rebase-todo",
            { "app/.git/rebase-merge/git-rebase-todo" } },
        { "a command of a later Git",
            stoppedRebase() + " && echo 'run-later touch ../ran' >> .git/rebase-merge/git-rebase-todo",
            { "app/.git/rebase-merge/git-rebase-todo" } },
        { "a merge strategy Git runs as a program",
            stoppedRebase("-s ort") + " && echo evil > .git/rebase-merge/strategy",
            { "app/.git/rebase-merge/strategy" } },
        { "its own strategy, picks and comments", stoppedRebase("-s ort -X theirs"), {} },
        { "the state a link to one elsewhere",
            "mkdir -p ../elsewhere && printf 'exec touch ../ran\\n' > ../elsewhere/git-rebase-todo"
            " && ln -s \"$PWD/../elsewhere\" .git/rebase-merge",
            { "app/.git/rebase-merge" } },
        { "a cherry-pick stopped at a conflict", cherryPick, {} },
        { "a cherry-pick's options naming a program",
            cherryPick + "; printf '[options]\\n\\tStrategy = evil\\n' > .git/sequencer/opts",
            { "app/.git/sequencer/opts" } },
        { "a setting on the section's line",
            cherryPick + "; printf '[options] strategy = evil\\n' > .git/sequencer/opts",
            { "app/.git/sequencer/opts" } },
        { "in a worktree added during the run", "git worktree add -q ../linked && cd ../linked && " + exec,
            { "app/.git/worktrees/linked/rebase-merge/git-rebase-todo" } },
        { "in a clone made during the run", "git clone -q . ../app2 && cd ../app2 && " + exec,
            { "app2/.git/rebase-merge/git-rebase-todo" } },
        { "in the repository, then renamed", exec + " && cd .. && mv app app-moved",
            { "app-moved/.git/rebase-merge/git-rebase-todo" } },
        { "a rebase the commands completed", "GIT_SEQUENCE_EDITOR=true git rebase -q -i --exec true HEAD~2",
            {} },
        { "stopped before the run started, the repository renamed", "cd .. && mv app app-moved", {}, exec },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path place = home.home / "Projects";
        const fs::path app = place / "app";
        fs::create_directories(app);
        sh(app,
            "git init -q -b main && for n in 1 2 3; do echo $n > f$n; git add f$n; git commit -qm c$n; done");
        if (!testCase.before.empty()) {
            sh(app, testCase.before);
            test::settled(app / ".git/rebase-merge");
        }
        GitGuard guard({ { app / ".git", app } }, {}, {},
            { .places = { place },
                .liveRuns = home.data,
                .settings = GitCountedSettings::gitReaderForThisProcess() });
        sh(app, testCase.during);

        auto moved = guard.sweep();
        std::vector<fs::path> changed;
        for (const auto& change : moved) {
            const std::string name = change.path.filename().string();
            changed.push_back(
                change.path.parent_path().lexically_relative(place) / name.substr(0, name.find(".refused-")));
        }
        EXPECT_EQ(changed, std::vector<fs::path>(testCase.movedAside.begin(), testCase.movedAside.end()));
        if (!testCase.before.empty())
            continue;
        // The user continues what they find; a rebase whose to-do went aside goes on to its end.
        for (const auto& folder : fs::directory_iterator(place)) {
            sh(folder.path(),
                "git rebase --continue >/dev/null 2>&1; git cherry-pick --continue >/dev/null 2>&1;"
                " test -e \"$(git rev-parse --git-path rebase-merge)\" && touch ../still-stopped");
        }
        EXPECT_FALSE(fs::exists(place / "still-stopped"));
        EXPECT_FALSE(fs::exists(place / "ran"));
    }
}
