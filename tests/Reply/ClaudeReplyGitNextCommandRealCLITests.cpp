// What a command leaves in a granted "~/Projects" for the user's next Git command, with the real CLI,
// bubblewrap and the scripted model: a folder it closed to its owner, a rebase it left stopped, the
// folders hooks put first on PATH, and push settings that delete; beside them, the bot's ordinary work.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The user's app with three commits: "first", "c2" and "c3".
const std::string kThreeCommits
    = "repo app && git -C app commit -q --allow-empty -m c2 && git -C app commit -q --allow-empty -m c3";

// A command's rebase of the last two commits that stops at once, its to-do list running the plant.
const std::string kRebaseLeftStopped
    = "cd app && GIT_SEQUENCE_EDITOR=\"sed -i '1i break'\" git rebase -qi --exec \"touch $RAN\" HEAD~2";

// What the user finds: a stopped rebase (its to-do list without the lines that run a command), or none;
// continued if found.
const std::string kUsersRebase
    = "{ git -C app status | grep -q 'rebase in progress' && echo stopped || echo no-rebase; };"
      " git -C app rebase --continue > /dev/null 2>&1 || echo nothing-to-continue";

// A command that opens `file` to append `text`, closes `folder` to its owner (--x) and only then writes,
// so that the write the guard acts on finds the folder closed.
std::string appendedBehindClosedFolder(
    const std::string& file, const std::string& folder, const std::string& text)
{
    return "python3 -c \"import os; f = open('" + file + "', 'a'); os.chmod('" + folder
        + "', 0o111); f.write('" + text + "')\"";
}

// `repository` as husky 9 sets it up, the user's script of the hook `pre-commit` running `program` and
// then saying "user-hook" in $OUT.
std::string husky9(const std::string& repository, const std::string& program)
{
    return "husky9 " + repository + " && printf '" + program + "\\necho user-hook >> %s\\n' \"$OUT\" > "
        + repository + "/.husky/pre-commit";
}

// The user's commit in `repository`, and what their hook said.
std::string usersCommit(const std::string& repository)
{
    return "git -C " + repository + " commit -q --allow-empty -m by-the-user && cat \"$OUT\"";
}

// `repository` as husky 9 sets it up with its hook script committed, then checked out at `checkout` by
// `checkOutCommand`, where husky 9 installs runners of that checkout's own, as `npm install` there does,
// beside a folder for programs.
std::string huskyCheckedOut(
    const std::string& repository, const std::string& checkOutCommand, const std::string& checkout)
{
    return husky9(repository, "npm --version > /dev/null") + " && git -C " + repository
        + " add .husky/pre-commit && git -C " + repository + " commit -q --no-verify -m hooks && "
        + checkOutCommand + " && (cd " + checkout + " && node \"$HUSKY9/bin.js\" > /dev/null) && mkdir -p "
        + checkout + "/node_modules/.bin";
}

// A package of the user's in "web/tools/lint" whose program is "lint", on which "web" depends.
const std::string kLintPackage = R"(mkdir -p web/tools/lint && echo '#!/bin/sh' > web/tools/lint/cli.js &&
  echo '{"name":"lint","version":"1.0.0","bin":{"lint":"cli.js"}}' > web/tools/lint/package.json &&
  echo '{"name":"web","version":"1.0.0","devDependencies":{"lint":"file:tools/lint"}}' > web/package.json)";

const std::string kBranches = "git -C origin.git branch --format='%(refname:short)'"
                              " && git -C backup.git branch --format='%(refname:short)'";

std::vector<vellumar::test::GitRow> nextCommandRows()
{
    const std::string npmInstall = "npm install --offline --no-audit --no-fund --no-update-notifier";
    return {
        // As an ordinary user, a folder the command closed to its owner.
        { "a hook appended to behind its folder made --x, as an ordinary user",
            "repo app && userhook app/.git/hooks/pre-commit",
            { { appendedBehindClosedFolder(
                "app/.git/hooks/pre-commit", "app/.git/hooks", "touch $RAN\\n") } },
            "git -C app commit -q --allow-empty -m by-the-user && git -C app log -1 --format=%s"
            " && cat \"$OUT\"",
            "by-the-user\npre-commit\n", { .asNobody = true } },
        { "core.fsmonitor appended behind the Git folder made --x, as an ordinary user", "repo app",
            { { appendedBehindClosedFolder(
                "app/.git/config", "app/.git", "[core]\\n\\tfsmonitor = touch $RAN\\n") } },
            "git -C app status --short && git -C app commit -q --allow-empty -m by-the-user"
            " && git -C app log -1 --format=%s",
            "by-the-user\n", { .asNobody = true } },
        // A rebase the command started and left stopped.
        { "a rebase left stopped with exec lines, in a nested repository", kThreeCommits,
            { { kRebaseLeftStopped } }, kUsersRebase, "stopped\n" },
        { "a rebase left stopped with exec lines, in the place's own repository", kThreeCommits,
            { { kRebaseLeftStopped } }, kUsersRebase, "stopped\n", { .place = "Projects/app" } },
        // Folders that hooks put first on PATH.
        { "a program on the user's login PATH only, shadowed where husky 9 puts its PATH",
            husky9("web", "pnpm lint") + " && mkdir -p web/node_modules/.bin ~/.local/bin"
                + " && printf '#!/bin/sh\\n' > ~/.local/bin/pnpm && chmod +x ~/.local/bin/pnpm"
                + " && echo 'PATH=\"$HOME/.local/bin:$PATH\"' > ~/.profile",
            { { "plant web/node_modules/.bin/pnpm" } },
            "PATH=\"$HOME/.local/bin:$PATH\" && " + usersCommit("web"), "user-hook\n",
            { .startsInUsersHome = true } },
        { "a hook putting a folder first on PATH with ${PATH:+:$PATH}",
            "repo app && mkdir -p app/node_modules/.bin && userhook app/.git/hooks/pre-commit"
            " && sed -i '2i PATH=\"node_modules/.bin${PATH:+:$PATH}\"; git diff --cached --quiet'"
            " app/.git/hooks/pre-commit",
            { { "plant app/node_modules/.bin/git" } }, usersCommit("app"), "pre-commit\n" },
        { "a husky 9 script running git after cd into a sub-folder",
            husky9("mono", "cd web && git diff --cached --quiet") + " && mkdir -p mono/web/node_modules/.bin",
            { { "plant mono/web/node_modules/.bin/git" } }, usersCommit("mono"), "user-hook\n" },
        { "husky 9's runners of a linked worktree's own",
            huskyCheckedOut("web", "git -C web worktree add -q ../web-wt", "web-wt"),
            { { "plant web-wt/node_modules/.bin/npm" } }, usersCommit("web-wt"), "user-hook\n" },
        { "husky 9's runners of a submodule's own",
            huskyCheckedOut("lib", "repo super && git -C super submodule add -q ../lib lib", "super/lib"),
            { { "plant super/lib/node_modules/.bin/npm" } }, usersCommit("super/lib"), "user-hook\n" },
        // Push settings that delete on the user's remotes: their branches before and after the user's pushes.
        { "a push refspec that deletes and a mirror remote",
            "repo app && git clone -q --bare app origin.git && git clone -q --bare app backup.git"
            " && git -C app remote add origin \"$PWD/origin.git\""
            " && git -C app remote add backup \"$PWD/backup.git\""
            " && git -C app push -q -u origin main && git -C app push -q origin main:release"
            " && git -C app push -q backup main:b1 main:b2",
            { { "git -C app config remote.origin.push :refs/heads/release"
                " && git -C app config remote.backup.mirror true" } },
            kBranches + " && git -C app push -q && git -C app push -q backup && " + kBranches,
            "main\nrelease\nb1\nb2\nmain\nmain\nrelease\nb1\nb2\nmain\n" },
        // Ordinary work keeps what it made.
        { "git rebase -i completed by the bot within its run", kThreeCommits,
            { { "cd app && GIT_SEQUENCE_EDITOR='sed -i 2s/^pick/fixup/' git rebase -qi HEAD~2" } },
            "git -C app status --short && git -C app log --format=%s", "c2\nfirst\n" },
        { "npm install in a husky 9 repository", husky9("web", ":") + " && " + kLintPackage,
            { { "cd web && " + npmInstall + " --cache \"$PWD/.npm\"" } },
            "test -L web/node_modules/.bin/lint && " + usersCommit("web"), "user-hook\n" },
        { "git push -u with a plain refspec",
            "repo app && git init -q --bare origin.git && git -C app remote add origin \"$PWD/origin.git\"",
            { { "cd app && git checkout -q -b feature && git commit -q --allow-empty -m by-the-bot"
                " && git push -q -u origin feature" } },
            "git -C app rev-parse --abbrev-ref '@{upstream}' && git -C app push -q"
            " && git -C origin.git log -1 --format=%s feature",
            "origin/feature\nby-the-bot\n" },
    };
}

}

class ClaudeReplyGitNextCommandRealCLI : public vellumar::test::RealCLIRow { };

TEST_P(ClaudeReplyGitNextCommandRealCLI, WhatACommandLeftRunsNothingInTheUsersNextGitCommand)
{
    vellumar::test::runGitRow(nextCommandRows(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitNextCommandRealCLI, ::testing::Range<std::size_t>(0, nextCommandRows().size()));
