// Folders a hook puts first on PATH however its words name them, with the real CLI, bubblewrap and the
// scripted model: a program a command drops there in place of the user's `git` runs nothing at the
// user's commit, wherever the folder lies below a work tree Git would use, wherever the Git folder lies,
// and whenever it was made; what `npm install` and husky's prepare step make there stays.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// After `setUp`, the user's own `hook` runs `line` before it says its name in $OUT.
std::string hookIn(const std::string& setUp, const std::string& hook, const std::string& line)
{
    return setUp + " && userhook " + hook + " && sed -i '2i " + line + "' " + hook;
}

// The user's app whose own pre-commit hook runs `line` before it says "pre-commit" in $OUT.
std::string hookRunning(const std::string& line)
{
    return hookIn("repo app", "app/.git/hooks/pre-commit", line);
}

const std::string kPutsFirst = "export PATH=node_modules/.bin:$PATH; git diff --cached --quiet";
// The user's app whose Git folder, in "gits" (in "~/Projects", or "../gits" beside it), a .git file names.
std::string separateGitFolder(const std::string& gits)
{
    return hookIn("mkdir " + gits + " && git init -q --separate-git-dir " + gits + "/app.git app",
        gits + "/app.git/hooks/pre-commit", kPutsFirst);
}

// A monorepo "mono" as husky 9 sets it up, the user's hook script running git from "web" first.
const std::string kHuskyMonorepo = "husky9 mono && mkdir mono/web && printf 'cd web && git diff --cached"
                                   " --quiet\\necho user-hook >> %s\\n' \"$OUT\" > mono/.husky/pre-commit";

// A bash hook that sources "hookenv.sh" by its bare name: bash looks along PATH, then where it runs.
const std::string kSourcingHook
    = R"sh(repo app && printf '#!/bin/bash\nsource hookenv.sh\ngit diff --cached --quiet\necho pre-commit >> %s\n' \
  "$OUT" > app/.git/hooks/pre-commit && chmod +x app/.git/hooks/pre-commit &&
  echo 'export PATH=tools/bin:$PATH' > app/hookenv.sh)sh";

// A Python hook putting "node_modules/.bin" first through os.environ.
const std::string kPythonHook = R"sh(repo app && mkdir -p app/node_modules/.bin && printf '%s\n' \
  '#!/usr/bin/env python3' 'import os, subprocess' \
  "os.environ['PATH'] = 'node_modules/.bin' + os.pathsep + os.environ['PATH']" \
  "subprocess.run(['git', 'diff', '--cached', '--quiet'])" \
  "open('$OUT', 'a').write('pre-commit\\n')" > app/.git/hooks/pre-commit &&
  chmod +x app/.git/hooks/pre-commit)sh";

// A package "web" in "mono" depending on the user's package "lint", whose program is "lint": what
// `npm install` links into "web/node_modules/.bin".
const std::string kNewPackage = R"sh(mkdir -p mono/lint mono/web && echo '#!/bin/sh' > mono/lint/cli.js &&
  echo '{"name":"lint","version":"1.0.0","bin":{"lint":"cli.js"}}' > mono/lint/package.json &&
  echo '{"name":"web","version":"1.0.0","devDependencies":{"lint":"file:../lint"}}' > mono/web/package.json &&
  cd mono/web && npm install --offline --no-audit --no-fund --no-update-notifier --cache "$PWD/.npm")sh";

// husky 9 in "web" with its prepare step, and a copy of husky 9 in the grant to install it from.
const std::string kHuskyPreparing
    = R"sh(husky9 web && printf 'echo user-hook >> %s\n' "$OUT" > web/.husky/pre-commit && cp -r "$HUSKY9" husky &&
  printf '{"name":"web","version":"1.0.0","scripts":{"prepare":"husky"},%s}' \
    '"devDependencies":{"husky":"file:../husky"}' > web/package.json)sh";

// husky's prepare step ten times while a busy loop runs on each CPU, the loops ended whatever happens.
const std::string kPreparedUnderLoad
    = R"sh(cd web && npm install --offline --no-audit --no-fund --no-update-notifier --cache "$PWD/../.npm" &&
  busy= && for n in $(seq "$(nproc)"); do sh -c 'while :; do :; done' & busy="$busy $!"; done;
  failed=; for i in $(seq 10); do node_modules/.bin/husky > /dev/null || failed=1; done;
  kill $busy; test -z "$failed")sh";

// The user's own `git` in `folder`, which says "users-git" in $OUT and runs Git.
std::string usersGitIn(const std::string& folder)
{
    return "mkdir -p " + folder
        + " && printf '#!/bin/sh\\necho users-git >> %s\\nexec %s \"$@\"\\n' \"$OUT\" "
        + "\"$(command -v git)\" > " + folder + "/git && chmod +x " + folder + "/git";
}

// The user's commit in "app" after a command overwrote the user's own `git` in `folder`: the plant aside.
std::string commitAfterUsersGitIn(const std::string& folder)
{
    return "find " + folder
        + " -name 'git.refused-*' | wc -l && git -C app commit -q --allow-empty -m "
          "by-the-user && cat \"$OUT\"";
}

const std::string kUsersAppCommit = "git -C app commit -q --allow-empty -m by-the-user && cat \"$OUT\"";

std::vector<vellumar::test::GitRow> hookPathRows()
{
    auto rows = vellumar::test::alsoAsNobody({
        { "husky 9 running git from a package folder whose node_modules/.bin a command makes", kHuskyMonorepo,
            { { "mkdir -p mono/web/node_modules/.bin && plant mono/web/node_modules/.bin/git" } },
            "git -C mono commit -q --allow-empty -m by-the-user && cat \"$OUT\"", "user-hook\n" },
        { "export with PATH= inside the quotes",
            hookRunning("export \"PATH=node_modules/.bin:$PATH\"; git diff --cached --quiet"),
            { { "mkdir -p app/node_modules/.bin && plant app/node_modules/.bin/git" } }, kUsersAppCommit,
            "pre-commit\n" },
        { "env with PATH= for git alone",
            hookRunning("env \"PATH=node_modules/.bin:$PATH\" git diff --cached --quiet")
                + " && mkdir -p app/node_modules/.bin",
            { { "plant app/node_modules/.bin/git" } }, kUsersAppCommit, "pre-commit\n" },
        { "a bash hook sourcing a file by its bare name", kSourcingHook,
            { { "mkdir -p app/tools/bin && plant app/tools/bin/git" } }, kUsersAppCommit, "pre-commit\n" },
        { "a Python hook setting os.environ", kPythonHook, { { "plant app/node_modules/.bin/git" } },
            kUsersAppCommit, "pre-commit\n" },
        { "a separate Git folder in the place", separateGitFolder("gits"),
            { { "mkdir -p app/node_modules/.bin && plant app/node_modules/.bin/git" } }, kUsersAppCommit,
            "pre-commit\n" },
        { "a separate Git folder outside every place", separateGitFolder("../gits"),
            { { "mkdir -p app/node_modules/.bin && plant app/node_modules/.bin/git" } }, kUsersAppCommit,
            "pre-commit\n" },
        { "a submodule's Git folder under .git/modules",
            hookIn("repo sub && repo app && git -C app submodule -q add ../sub sub",
                "app/.git/modules/sub/hooks/pre-commit", kPutsFirst),
            { { "mkdir -p app/sub/node_modules/.bin && plant app/sub/node_modules/.bin/git" } },
            "git -C app/sub commit -q --allow-empty -m by-the-user && cat \"$OUT\"", "pre-commit\n" },
        { "a work tree core.worktree names",
            hookIn("repo app && mkdir tree && git -C app config core.worktree ../../tree",
                "app/.git/hooks/pre-commit", kPutsFirst),
            { { "mkdir -p tree/node_modules/.bin && plant tree/node_modules/.bin/git" } }, kUsersAppCommit,
            "pre-commit\n" },
        { "core.hooksPath of a repository no run noted, moved out of a .git folder",
            hookIn("repo app && repo app/.git/kept/old && git -C app/.git/kept/old config core.hooksPath "
                   ".githooks",
                "app/.git/kept/old/.githooks/pre-commit", "export PATH=bin:$PATH; git diff --cached --quiet"),
            { { "mv app/.git/kept/old old && mkdir old/bin && plant old/bin/git" } },
            "git -C old commit -q --allow-empty -m by-the-user && cat \"$OUT\"", "pre-commit\n" },
        { "core.hooksPath of a repository no run noted, set in a file includeIf brings in",
            hookIn("repo app && repo app/.git/kept/old && printf '[core]\\n\\thooksPath = .githooks\\n' > "
                   "app/.git/kept/old/.git/hooks.inc && git -C app/.git/kept/old config "
                   "includeIf.onbranch:main.path hooks.inc",
                "app/.git/kept/old/.githooks/pre-commit", "export PATH=bin:$PATH; git diff --cached --quiet"),
            { { "mv app/.git/kept/old old && mkdir old/bin && plant old/bin/git" } },
            "git -C old commit -q --allow-empty -m by-the-user && cat \"$OUT\"", "pre-commit\n" },
        { "a bare .bin made below the work tree, run from after a cd",
            hookIn("repo app && mkdir app/web", "app/.git/hooks/pre-commit",
                "cd web; export PATH=.bin:$PATH; git diff --cached --quiet; cd .."),
            { { "mkdir -p app/web/.bin && plant app/web/.bin/git" } }, kUsersAppCommit, "pre-commit\n" },
        { "the user's own git in a work tree core.worktree names, overwritten",
            hookIn("repo app && " + usersGitIn("tree/node_modules/.bin")
                    + " && git -C app config core.worktree ../../tree",
                "app/.git/hooks/pre-commit", kPutsFirst),
            { { "plant tree/node_modules/.bin/git" } }, commitAfterUsersGitIn("tree/node_modules/.bin"),
            "1\nusers-git\npre-commit\n" },
        { "the user's own git beside a .git naming a Git folder outside every place, overwritten",
            separateGitFolder("../gits") + " && " + usersGitIn("app/node_modules/.bin"),
            { { "plant app/node_modules/.bin/git" } }, commitAfterUsersGitIn("app/node_modules/.bin"),
            "1\nusers-git\npre-commit\n" },
    });
    rows.push_back(
        { "npm install in a new package folder of a husky 9 monorepo", kHuskyMonorepo, { { kNewPackage } },
            "test -L mono/web/node_modules/.bin/lint && find . -name '*.refused-*'"
            " && git -C mono commit -q --allow-empty -m by-the-user && cat \"$OUT\"",
            "user-hook\n", { .quiet = true } });
    rows.push_back({ "husky's prepare ten times beside a busy loop on each CPU", kHuskyPreparing,
        { { kPreparedUnderLoad } },
        "find . -name '*.refused-*' && git -C web commit -q --allow-empty -m by-the-user && cat \"$OUT\"",
        "user-hook\n", { .asNobody = true } });
    return rows;
}

}

class ClaudeReplyGitHookPathRealCLI : public vellumar::test::RealCLIRow { };

TEST_P(ClaudeReplyGitHookPathRealCLI, AProgramAHookFindsFirstOnPathRunsNothingAndOrdinaryInstallsStay)
{
    vellumar::test::runGitRow(hookPathRows(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    EachRow, ClaudeReplyGitHookPathRealCLI, ::testing::Range<std::size_t>(0, hookPathRows().size()));
