// Which folders a repository's hooks put first on PATH, read from the scripts, and which names there
// would be found in place of the user's own programs, on this program's PATH or the login shell's.
#include "VellumarMacCore/GitProtection/Finding/HookSearchPath.h"

#include "tests/support/CapturedLog.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

// What `HookSearchPath::foldersPutFirst` returned that is a folder inside `top`: every word may name
// one, and most name none. "closed" alone where a word could not be followed.
std::vector<fs::path> foldersAmong(const fs::path& top, HookSearchPath::PutFirst putFirst)
{
    if (putFirst.unresolved)
        return { "closed" };
    std::erase_if(putFirst.folders, [&](const fs::path& folder) {
        return !fs::is_directory(top / folder)
            || (folder.is_absolute() && !folder.string().starts_with(top.string()));
    });
    return putFirst.folders;
}

}

// Each hook's words as its shell would expand them, with "~" and "$HOME" the work tree's top of the
// environment given; a word the guard cannot follow closes it wherever it may name a file that runs,
// which the hooks that pre-commit, husky and commitlint write do not hold.
TEST(HookSearchPath, ReadsTheFoldersHooksPutBeforeThePath)
{
    std::ifstream huskyRunner(test::sourceDir() / "tests/peers/node_modules/husky/husky");
    const std::string husky((std::istreambuf_iterator<char>(huskyRunner)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(husky.empty());
    std::string deep = "v=sh";
    for (int level = 0; level < 20; ++level)
        deep.insert(2, "$(") += ')';
    struct Case {
        const char* name;
        const char* runner; // ".husky/_/pre-commit", which may source "tools/h"
        std::string elsewhere; // "tools/h"
        // As returned: relative to where the hook runs, or from the work tree's top after a "/";
        // "closed" where a word cannot be followed.
        std::vector<const char*> expected;
        const char* hook = "pre-commit"; // the runner's name
        std::vector<const char*> decoys = {}; // folders made that are not to be returned
    };
    const Case cases[] = {
        { "husky 9's runner, sourced from another folder", ". \"$(dirname \"$0\")/../../tools/h\"\n",
            "export PATH=\"node_modules/.bin:$PATH\"\nsh -e .husky/pre-commit \"$@\"\n",
            { "node_modules/.bin" } },
        { "unquoted, without export, two folders", "PATH=bin:./tools/bin:${PATH} exec sh \"$0.sh\"\n", "",
            { "bin", "tools/bin" } },
        { "where the hook runs", "PATH=\"$PWD/.venv/bin:$PATH\"\n", "", { ".venv/bin" } },
        { "appended, not first", "PATH=\"$PATH:node_modules/.bin\"\n", "", { "node_modules/.bin" } },
        { "outside the work tree", "PATH=/opt/tool/bin:$PATH\n", "", {} },
        { "through a variable the guard does not know", "PATH=\"$HOME/bin:${ROOT}/lib:$PATH\"\n", "",
            { "closed" } },
        { "another variable", "MANPATH=man:$MANPATH\nNODE_PATH=lib:$PATH\n", "", { "man", "lib" } },
        { "a sourced file found through PATH", ". h\n", "PATH=node_modules/.bin:$PATH\n", {}, "pre-commit",
            { "node_modules/.bin" } },
        { "a sample, which Git does not run", "PATH=bin:$PATH\n", "", {}, "pre-commit.sample", { "bin" } },
        { "PATH= inside the quotes, for one command", "env \"PATH=bin:$PATH\" git\n", "", { "bin" } },
        { "a file sourced by its bare name from the top", "source hookenv.sh\n", "", { "tools/bin" } },
        { "Python", "os.environ['PATH'] = 'tools/bin' + os.pathsep + os.environ['PATH']\n", "",
            { "tools/bin" } },
        { "joined only where PATH is set", "export PATH=\"node_modules/.bin${PATH:+:$PATH}\"\n", "",
            { "node_modules/.bin" } },
        { "joined, quoted inside", "PATH=\"bin${PATH:+\":${PATH}\"}\"\n", "", { "bin" } },
        { "the whole PATH", "PATH=bin:/usr/bin\n", "", { "bin" } },
        { "a folder the hook changes into", "cd web && git add .\n", "", { "web", "." } },
        { "above where the hook runs", "PATH=../up/bin:$PATH\n", "", { "up/bin" } },
        { "through the script's own folder", "PATH=\"$(dirname \"$0\")/bin:$PATH\"\n", "",
            { "/.husky/_/bin" } },
        { "~", "PATH=~/tools/bin:$PATH\n", "", { "/tools/bin" } },
        { "~+", "export PATH=~+/node_modules/.bin:$PATH\n", "", { "node_modules/.bin" } },
        { "the top as Git tells it", "PATH=\"$(git rev-parse --show-toplevel)/node_modules/.bin:$PATH\"\n",
            "", { "/node_modules/.bin" } },
        { "a folder cd and pwd print", "PATH=\"$(cd \"$(dirname \"$0\")/../..\" && pwd)/bin:$PATH\"\n", "",
            { "/", "/bin" } },
        { "a file sourced from the top as Git tells it", ". \"$(git rev-parse --show-toplevel)/tools/h\"\n",
            "export PATH=\"node_modules/.bin:$PATH\"\n", { "node_modules/.bin" } },
        { "a quoted piece joined to the rest", "PATH=\"node_modules\"/.bin:$PATH\n", "",
            { "node_modules/.bin" } },
        { "an empty entry", "export PATH=\":$PATH\"\n", "", { "." } },
        { "a blank inside quotes", "export PATH=\"$PWD/build tools:$PATH\"\n", "", { "build tools" } },
        { "bash's own source path", "PATH=\"${BASH_SOURCE%/*}/../../tools:$PATH\"\n", "", { "closed" } },
        { "a variable the hook sets", "BIN=$(git rev-parse --show-toplevel)/bin\nPATH=\"${BIN}:$PATH\"\n", "",
            { "/bin" } },
        { "a variable set two ways", "D=bin\n[ -d lib ] && D=lib\nPATH=\"$D:$PATH\"\n", "", { "closed" },
            "pre-commit", { "bin", "lib" } },
        { "a file sourced from a variable the guard does not know", ". \"$ROOT/env.sh\"\n", "",
            { "closed" } },
        { "a program a command's output names", "\"$(npm bin)/lint-staged\"\n", "", { "closed" } },
        { "the hook's argument put on PATH", "PATH=\"$1:$PATH\"\n", "", { "closed" } },
        { "the hook's arguments and status, passed to programs", "test -s \"$1\" || exit $?\necho \"$@\"\n",
            "", {} },
        { "husky 9's own runner", ". \"$(dirname \"$0\")/../../tools/h\"\n", husky,
            { "/.husky/_", "node_modules/.bin" } },
        { "a script a variable names, run by sh", "sh \"$SCRIPT\"\n", "", { "closed" } },
        { "by bash, with Git's arguments", "bash -e \"$X\" \"$@\"\n", "", { "closed" } },
        { "by node", "node \"$RUNNER\"\n", "", { "closed" } },
        { "named by a command's output", "python3 \"$(something)\"\n", "", { "closed" } },
        { "run by a substitution whose output is kept", "v=$(sh \"$X\")\n", "", { "closed" } },
        { "exported to every later program", "export BASH_ENV=\"$X\"\n", "", { "closed" } },
        { "past the substitutions read", deep.c_str(), "", { "closed" } },
        { "the shell's test, which runs nothing", "[ \"$HUSKY\" = 2 ] && set -x\ntest -f \"$RC\" || exit 0\n",
            "", {} },
        { "a status kept and told", "c=$?\n[ $c != 0 ] && echo \"failed ($c)\"\nexit $c\n", "", {} },
        { "commitlint's", "npx --no -- commitlint --edit $1\n", "", {} },
        { "pre-commit's generated hook",
            "INSTALL_PYTHON=/usr/bin/python3\nARGS=(hook-impl --config=.pre-commit-config.yaml)\n"
            "HERE=\"$(cd \"$(dirname \"$0\")\" && pwd)\"\nARGS+=(--hook-dir \"$HERE\" -- \"$@\")\n"
            "if [ -x \"$INSTALL_PYTHON\" ]; then\n    exec \"$INSTALL_PYTHON\" -mpre_commit "
            "\"${ARGS[@]}\"\nfi\n",
            "", { "/.husky/_" } },
        { "cd where it fails, then pwd", "HERE=\"$(cd \"$(dirname \"$0\")\" || pwd)\"\nsh \"$HERE/x\"\n", "",
            { "closed" } },
        { "husky 9's husky.sh, sourced as husky 8 had it", ". \"$(dirname -- \"$0\")/../../tools/h\"\n",
            "echo \"husky - DEPRECATED\n\nPlease remove the following two lines from $0:\n\"\n", {} },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryFolder folder;
        const fs::path top = folder.path();
        fs::create_directories(top / ".husky/_");
        fs::create_directories(top / "tools");
        std::ofstream(top / ".husky/_" / testCase.hook) << "#!/usr/bin/env sh\n" << testCase.runner;
        std::ofstream(top / "tools/h") << testCase.elsewhere;
        std::ofstream(top / "hookenv.sh") << "export PATH=tools/bin:$PATH\n";
        std::vector<fs::path> expected;
        for (std::string_view written : testCase.expected)
            expected.push_back(written == "/"  ? top
                    : written.starts_with('/') ? top / written.substr(1)
                                               : fs::path(written));
        for (const auto& made : expected) {
            if (made != "closed")
                fs::create_directories(top / made);
        }
        for (fs::path decoy : testCase.decoys)
            fs::create_directories(top / decoy);
        EXPECT_EQ(foldersAmong(top,
                      HookSearchPath::foldersPutFirst(
                          { top / ".husky/_", top / "missing" }, top, { { "HOME", top.string() } })),
            expected);
    }
}

TEST(HookSearchPath, ANameShadowsOnlyAnExecutableOutsideTheProject)
{
    test::TemporaryFolder folder;
    const fs::path project = folder.path() / "project";
    const fs::path tools = folder.path() / "tools";
    fs::create_directories(project / "bin");
    fs::create_directories(tools / "folder");
    for (const auto& [file, mode] :
        { std::pair { tools / "run", 0755 }, { tools / "readme", 0644 }, { project / "bin/mine", 0755 } }) {
        std::ofstream(file) << "#!/bin/sh\n";
        fs::permissions(file, fs::perms(mode));
    }
    fs::create_symlink(project / "bin", folder.path() / "linked");
    const std::string searchPath = "relative:" + (project / "bin").string() + ":"
        + (folder.path() / "linked").string() + ":" + tools.string();
    const std::pair<const char*, bool> cases[] = { { "run", true }, { "readme", false }, { "folder", false },
        { "mine", false }, { "absent", false }, { "..", false }, { "", false } };
    for (const auto& [name, shadows] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(HookSearchPath::ShadowedPrograms(project, searchPath).shadows(name), shadows);
    }
}

// What the hooks put first is kept between calls only while every file it came from is as it was: the
// hooks folder (for hooks added), each script there and each file they source, present or not.
TEST(HookSearchPath, WhatWasReadIsKeptOnlyWhileItsFilesAreAsTheyWere)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path& top)> change;
        std::vector<const char*> expected; // relative to where the hook runs
    };
    auto write = [](const fs::path& file, const char* text) { std::ofstream(file) << text; };
    const Case cases[] = {
        { "a sourced file rewritten in place",
            [&](const fs::path& top) { write(top / "scripts/h", "PATH=\"second:$PATH\"\n"); }, { "second" } },
        { "a hook added beside",
            [&](const fs::path& top) { write(top / "hooks/pre-push", "PATH=\"third:$PATH\"\n"); },
            { "third", "first" } },
        { "a hook rewritten in place",
            [&](const fs::path& top) { write(top / "hooks/pre-commit", "PATH=\"fourth:$PATH\"\n"); },
            { "fourth" } },
        { "a sourced file made where there was none",
            [&](const fs::path& top) { write(top / "scripts/later", "PATH=\"fifth:$PATH\"\n"); },
            { "first", "fifth" } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryFolder folder;
        const fs::path top = folder.path();
        fs::create_directories(top / "hooks");
        fs::create_directories(top / "scripts");
        write(top / "hooks/pre-commit", ". scripts/h\n. scripts/later\n");
        write(top / "scripts/h", "PATH=\"first:$PATH\"\n");
        // Taken as read long after the writes, so that only a moved stamp can tell (`GitReadCache`'s own
        // rows tell a write within the clock's tick).
        for (const char* made : { "first", "second", "third", "fourth", "fifth" })
            fs::create_directory(top / made);
        ASSERT_EQ(foldersAmong(top,
                      HookSearchPath::foldersPutFirst({ top / "hooks" }, top, {},
                          std::chrono::system_clock::now() + std::chrono::hours(1))),
            std::vector<fs::path> { "first" });
        testCase.change(top);
        EXPECT_EQ(foldersAmong(top, HookSearchPath::foldersPutFirst({ top / "hooks" }, top, {})),
            std::vector<fs::path>(testCase.expected.begin(), testCase.expected.end()));
    }
}

// The user's programs are those of their terminal too: the login shell's PATH, as its start files set it
// up for an interactive shell, read past whatever they print; one that cannot be read is logged.
TEST(HookSearchPath, TheUsersProgramsIncludeThoseOnTheLoginShellsPath)
{
    struct Case {
        const char* name;
        std::string shell; // "$SHELL"; "@tools" stands for the folder holding the user's "pnpm"
        std::string bashrc; // the home's ".bashrc", which its ".profile" sources as Debian's does
        bool shadows;
        bool logged = false;
    };
    const Case cases[] = {
        { "added for interactive shells alone, as nvm's lines are", "/bin/bash",
            "case $- in *i*) ;; *) return;; esac\nexport PATH=\"@tools:$PATH\"\n", true },
        { "printed among other lines",
            "#!/bin/sh\necho 'Welcome'\nPATH=@tools:/usr/bin:/bin /bin/sh -c \"$4\"\necho 'logout'\n", "",
            true },
        { "a shell that fails", "#!/bin/sh\nexit 1\n", "", false, true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryFolder home;
        const fs::path tools = home / "tools";
        auto withTools = [&](std::string text) {
            for (auto at = text.find("@tools"); at != std::string::npos; at = text.find("@tools"))
                text.replace(at, 6, tools.string());
            return text;
        };
        test::writeExecutable(tools / "pnpm", "#!/bin/sh\n");
        std::ofstream(home / ".profile") << ". \"$HOME/.bashrc\"\n";
        std::ofstream(home / ".bashrc") << withTools(testCase.bashrc);
        std::string shell = testCase.shell;
        if (shell.starts_with("#!")) {
            test::writeExecutable(home / "shell", withTools(shell));
            shell = (home / "shell").string();
        }
        test::CapturedLog log;
        // Not this process's own HOME and SHELL, which are the tester's.
        HookSearchPath::readLoginSearchPath({ { "HOME", home.path().string() }, { "SHELL", shell } });
        const HookSearchPath::ShadowedPrograms programs(home / "project", HookSearchPath::usersSearchPath());
        EXPECT_EQ(programs.shadows("pnpm"), testCase.shadows);
        EXPECT_EQ(log.lines().size(), testCase.logged ? 1u : 0u);
    }
}
