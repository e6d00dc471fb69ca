// What a command does in a place, step by step, for the guard's tests: a file written as a script, and
// Git run as the bot runs it.
#pragma once

#include "VellumarMacCore/Foundations/CommandRunner.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace vellumar::test {

inline void write(const std::filesystem::path& file, const std::string& bytes)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << bytes;
    // A watch may have moved it aside already.
    std::error_code gone;
    std::filesystem::permissions(file, std::filesystem::perms(0755), gone);
}

// A Git folder as Git takes one, with nothing in it: a HEAD naming a branch, "objects" and "refs".
inline std::filesystem::path emptyGitFolder(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder / "objects");
    std::filesystem::create_directories(folder / "refs");
    std::ofstream(folder / "HEAD") << "ref: refs/heads/main\n";
    return folder;
}

// Runs as `runCommand` does, with no time limit short of the test's own: what a test finds must not
// depend on how soon a busy machine ends each of a thousand `git`s.
inline CommandResult runUntimed(const std::filesystem::path& executable,
    const std::vector<std::string>& arguments, const CommandOptions& options)
{
    CommandOptions untimed = options;
    untimed.timeLimitSeconds = 600;
    return runCommand(executable, arguments, untimed);
}

inline void git(const std::filesystem::path& folder, std::vector<std::string> arguments)
{
    std::filesystem::create_directories(folder);
    arguments.insert(arguments.begin(),
        { "git", "-C", folder.string(), "-c", "user.name=U", "-c", "user.email=u@example.com" });
    ASSERT_EQ(runPeer(arguments).exitStatus, 0);
}

}
