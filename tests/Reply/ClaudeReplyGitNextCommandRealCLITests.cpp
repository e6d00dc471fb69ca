// What a command leaves in a granted "~/Projects" for the user's next Git command, with the real CLI,
// bubblewrap and the scripted model: a folder it closed to its owner, a rebase it left stopped, the
// folders hooks put first on PATH, and push settings that delete; beside them, the bot's ordinary work.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

using vellumar::test::GitRow;

namespace {

// The user's app with three commits: "first", "c2" and "c3".
constexpr const char* kThreeCommits
    = "repo app && git -C app commit -q --allow-empty -m c2 && git -C app commit -q "
      "--allow-empty -m c3";

// A command's rebase of the last two commits that stops at once, its to-do list running the plant.
constexpr const char* kRebaseLeftStopped
    = R"(cd app && GIT_SEQUENCE_EDITOR="sed -i '1i break'" git rebase -qi --exec "touch $RAN" HEAD~2)";

// What the user finds: a rebase to continue, or none; continued if found.
constexpr const char* kUsersRebase
    = "git -C app status | grep 'rebase in progress' || echo no-rebase;"
      " git -C app rebase --continue > /dev/null 2>&1 || echo nothing-to-continue";

// The user's script of `hook` in a husky 9 repository, running `program` and then saying so in $OUT.
std::string huskyScript(const std::string& hook, const std::string& program)
{
    return "printf '" + program + "\\necho user-hook >> %s\\n' \"$OUT\" > " + hook;
}

// A command that opens `file` to append `text`, closes `folder` to its owner (--x) and only then writes,
// so that the write the guard acts on finds the folder closed.
std::string appendedBehindClosedFolder(
    const std::string& file, const std::string& folder, const std::string& text)
{
    return "python3 -c \"import os; f = open('" + file + "', 'a'); os.chmod('" + folder
        + "', 0o111); f.write('" + text + "')\"";
}

const std::string kCommitInApp = R"(git -C app commit -q --allow-empty -m by-the-user && cat "$OUT")";

}

TEST(ClaudeReplyGitNextCommandRealCLI, WhatACommandLeftRunsNothingInTheUsersNextGitCommand)
{
    vellumar::test::runGitRows({
        // As an ordinary user, a folder the command closed to its owner.
        { "a hook appended to behind its folder made --x, as an ordinary user",
            "repo app && userhook app/.git/hooks/pre-commit",
            { { appendedBehindClosedFolder(
                "app/.git/hooks/pre-commit", "app/.git/hooks", "touch $RAN\\n") } },
            R"(git -C app commit -q --allow-empty -m by-the-user && git -C app log -1 --format=%s && cat "$OUT")",
            "by-the-user\npre-commit\n", { .asNobody = true } },
        { "core.fsmonitor appended behind the Git folder made --x, as an ordinary user", "repo app",
            { { appendedBehindClosedFolder(
                "app/.git/config", "app/.git", "[core]\\n\\tfsmonitor = touch $RAN\\n") } },
            "git -C app status --short && git -C app commit -q --allow-empty -m by-the-user"
            " && git -C app log -1 --format=%s",
            "by-the-user\n", { .asNobody = true } },
        // A rebase the command started and left stopped.
        { "a rebase left stopped with exec lines, in a nested repository", kThreeCommits,
            { { kRebaseLeftStopped } }, kUsersRebase, "no-rebase\nnothing-to-continue\n" },
        { "a rebase left stopped with exec lines, in the place's own repository", kThreeCommits,
            { { kRebaseLeftStopped } }, kUsersRebase, "no-rebase\nnothing-to-continue\n",
            { .place = "Projects/app" } },
        // Folders that hooks put first on PATH.
        { "a program on the user's login PATH only, shadowed where husky 9 puts its PATH",
            "husky9 web && " + huskyScript("web/.husky/pre-commit", "pnpm lint")
                + R"( && mkdir -p web/node_modules/.bin "$HOME/.local/bin")"
                  R"( && printf '#!/bin/sh\n' > "$HOME/.local/bin/pnpm" && chmod +x "$HOME/.local/bin/pnpm")"
                  R"( && echo 'PATH="$HOME/.local/bin:$PATH"' > "$HOME/.profile")",
            { { "plant web/node_modules/.bin/pnpm" } },
            R"(PATH="$HOME/.local/bin:$PATH" git -C web commit -q --allow-empty -m by-the-user && cat "$OUT")",
            "user-hook\n" },
        { "a hook putting a folder first on PATH with ${PATH:+:$PATH}",
            R"(repo app && mkdir -p app/node_modules/.bin && userhook app/.git/hooks/pre-commit)"
            R"( && sed -i '2i PATH="node_modules/.bin${PATH:+:$PATH}"; export PATH; git diff --cached --quiet')"
            R"( app/.git/hooks/pre-commit)",
            { { "plant app/node_modules/.bin/git" } }, kCommitInApp, "pre-commit\n" },
        { "a husky 9 script running git after cd into a sub-folder",
            "husky9 mono && mkdir -p mono/web/node_modules/.bin && "
                + huskyScript("mono/.husky/pre-commit", "cd web && git diff --cached --quiet"),
            { { "plant mono/web/node_modules/.bin/git" } },
            R"(git -C mono commit -q --allow-empty -m by-the-user && cat "$OUT")", "user-hook\n" },
        { "husky 9's runners of a linked worktree's own",
            "husky9 web && " + huskyScript("web/.husky/pre-commit", "npm --version > /dev/null")
                + " && git -C web add .husky/pre-commit && git -C web commit -q --no-verify -m hooks && git "
                  "-C web worktree add -q "
                  "../web-wt"
                  R"( && (cd web-wt && node "$HUSKY9/bin.js" > /dev/null) && mkdir -p web-wt/node_modules/.bin)",
            { { "plant web-wt/node_modules/.bin/npm" } },
            R"(git -C web-wt commit -q --allow-empty -m by-the-user && cat "$OUT")", "user-hook\n" },
        { "husky 9's runners of a submodule's own",
            "husky9 lib && " + huskyScript("lib/.husky/pre-commit", "npm --version > /dev/null")
                + " && git -C lib add .husky/pre-commit && git -C lib commit -q --no-verify -m hooks && repo "
                  "super"
                  " && git -C super submodule add -q ../lib lib"
                  R"( && (cd super/lib && node "$HUSKY9/bin.js" > /dev/null) && mkdir -p super/lib/node_modules/.bin)",
            { { "plant super/lib/node_modules/.bin/npm" } },
            R"(git -C super/lib commit -q --allow-empty -m by-the-user && cat "$OUT")", "user-hook\n" },
        // Push settings that delete on the user's remotes: their branches before and after the user's pushes.
        { "a push refspec that deletes and a mirror remote",
            R"(repo app && git clone -q --bare app origin.git && git clone -q --bare app backup.git)"
            R"( && git -C app remote add origin "$PWD/origin.git" && git -C app remote add backup "$PWD/backup.git")"
            " && git -C app push -q -u origin main && git -C app push -q origin main:release"
            " && git -C app push -q backup main:b1 main:b2",
            { { "git -C app config remote.origin.push :refs/heads/release && git -C app config "
                "remote.backup.mirror "
                "true" } },
            "for when in before after; do git -C origin.git branch --format='%(refname:short)'"
            " && git -C backup.git branch --format='%(refname:short)'"
            " && { test $when = after || { git -C app push -q && git -C app push -q backup; }; }; done",
            "main\nrelease\nb1\nb2\nmain\nmain\nrelease\nb1\nb2\nmain\n" },
        // Ordinary work keeps what it made.
        { "git rebase -i completed by the bot within its run", kThreeCommits,
            { { R"(cd app && GIT_SEQUENCE_EDITOR="sed -i 2s/^pick/fixup/" git rebase -qi HEAD~2)" } },
            "git -C app status --short && git -C app log --format=%s", "c2\nfirst\n" },
        { "npm install in a husky 9 repository",
            "husky9 web && " + huskyScript("web/.husky/pre-commit", ":")
                + R"( && mkdir -p web/tools/lint && echo '#!/bin/sh' > web/tools/lint/cli.js)"
                  R"( && echo '{"name":"lint","version":"1.0.0","bin":{"lint":"cli.js"}}' > web/tools/lint/package.json)"
                  R"( && echo '{"name":"web","version":"1.0.0","devDependencies":{"lint":"file:tools/lint"}}')"
                  " > web/package.json",
            { { "cd web && npm install --offline --no-audit --no-fund --no-update-notifier --cache "
                "\"$PWD/.npm\"" } },
            R"(test -L web/node_modules/.bin/lint && git -C web commit -q --allow-empty -m by-the-user && cat "$OUT")",
            "user-hook\n" },
        { "git push -u with a plain refspec",
            R"(repo app && git init -q --bare origin.git && git -C app remote add origin "$PWD/origin.git")",
            { { "cd app && git checkout -q -b feature && git commit -q --allow-empty -m by-the-bot"
                " && git push -q -u origin feature" } },
            "git -C app rev-parse --abbrev-ref '@{upstream}' && git -C app push -q && git -C origin.git log "
            "-1 "
            "--format=%s feature",
            "origin/feature\nby-the-bot\n" },
    });
}
