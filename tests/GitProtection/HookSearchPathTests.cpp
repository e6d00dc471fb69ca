// Which folders a repository's hooks put first on PATH, read from the scripts, and which names there
// would be found in place of the user's own programs.
#include "VellumarMacCore/GitProtection/Finding/HookSearchPath.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>

using namespace vellumar;
namespace fs = std::filesystem;

TEST(HookSearchPath, ReadsTheFoldersHooksPutBeforeThePath)
{
    struct Case {
        const char* name;
        const char* runner; // ".husky/_/pre-commit", which may source "tools/h"
        std::string elsewhere; // "tools/h"
        std::vector<const char*> expected; // relative to the work tree
        const char* hook = "pre-commit"; // the runner's name
    };
    const Case cases[] = {
        { "husky 9's runner, sourced from another folder", ". \"$(dirname \"$0\")/../../tools/h\"\n",
            "export PATH=\"node_modules/.bin:$PATH\"\nsh -e \"$s\"\n", { "node_modules/.bin" } },
        { "unquoted, without export, two folders", "PATH=bin:./tools/bin:${PATH} exec sh \"$0.sh\"\n", "",
            { "bin", "tools/bin" } },
        { "from the work tree's top", "PATH=\"$PWD/.venv/bin:$PATH\"\n", "", { ".venv/bin" } },
        { "appended, not first", "PATH=\"$PATH:node_modules/.bin\"\n", "", {} },
        { "outside the work tree", "PATH=/opt/tool/bin:$PATH\nPATH=../up/bin:$PATH\n", "", {} },
        { "through another expansion", "PATH=\"$HOME/bin:$PATH\"\n", "", {} },
        { "another variable", "MANPATH=man:$MANPATH\nNODE_PATH=lib:$PATH\n", "", {} },
        { "a sourced file found through PATH", ". h\n", "PATH=node_modules/.bin:$PATH\n", {} },
        { "a sample, which Git does not run", "PATH=bin:$PATH\n", "", {}, "pre-commit.sample" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryFolder folder;
        const fs::path top = folder.path();
        fs::create_directories(top / ".husky/_");
        fs::create_directories(top / "tools");
        std::ofstream(top / ".husky/_" / testCase.hook) << "#!/usr/bin/env sh\n" << testCase.runner;
        std::ofstream(top / "tools/h") << testCase.elsewhere;
        std::vector<fs::path> expected;
        for (const char* relative : testCase.expected)
            expected.push_back(top / relative);
        EXPECT_EQ(HookSearchPath::foldersPutFirst({ top / ".husky/_", top / "missing" }, top), expected);
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
        std::vector<const char*> expected; // relative to the work tree
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
        ASSERT_EQ(HookSearchPath::foldersPutFirst(
                      { top / "hooks" }, top, std::chrono::system_clock::now() + std::chrono::hours(1)),
            std::vector<fs::path> { top / "first" });
        testCase.change(top);
        std::vector<fs::path> expected;
        for (const char* relative : testCase.expected)
            expected.push_back(top / relative);
        EXPECT_EQ(HookSearchPath::foldersPutFirst({ top / "hooks" }, top), expected);
    }
}
