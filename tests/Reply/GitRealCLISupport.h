// What the real-CLI Git tests share: Git as the user runs it outside the sandbox, a repository to work
// in, a job with commands, and a bounded wait for what a sandboxed command makes.
#pragma once

#include "tests/Reply/ReplyRunnerFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace vellumar::test {

// Git as the user runs it, outside any sandbox, with the user's `home` when given; its identity given so
// that commits need no config. An exit status other than `expectedStatus` fails the test, with the
// command and its output (its standard error goes to the test's own): a step of the user's that fails
// proves nothing about what it would have run.
inline PeerResult git(const std::filesystem::path& repository, std::vector<std::string> arguments,
    const std::optional<std::filesystem::path>& home = std::nullopt, int expectedStatus = 0)
{
    std::vector<std::string> argv = { "git", "-c", "user.name=User", "-c", "user.email=user@example.com",
        "-c", "protocol.file.allow=always", "-C", repository.string() };
    if (home)
        argv.insert(argv.begin(), { "env", "HOME=" + home->string() });
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    PeerResult result = runPeer(argv);
    std::string command = "git -C " + repository.string();
    for (const auto& argument : arguments)
        command += " " + argument;
    EXPECT_EQ(result.exitStatus, expectedStatus) << command << "\n" << result.output;
    return result;
}

// A repository with one committed file.
inline void makeRepository(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder);
    ASSERT_EQ(git(folder, { "init", "-q" }).exitStatus, 0);
    std::ofstream(folder / "tracked.txt") << "first\n";
    ASSERT_EQ(git(folder, { "add", "tracked.txt" }).exitStatus, 0);
    ASSERT_EQ(git(folder, { "commit", "-qm", "first" }).exitStatus, 0);
}

// Commands on, `granted` writable and `readable` (when given) only readable.
inline JobSubmission commandsJob(
    const std::filesystem::path& granted, const std::optional<std::filesystem::path>& readable = std::nullopt)
{
    auto job = RunnerWorld::submission("Run the commands.");
    job.permissions = PermissionSettings {};
    job.permissions->bash = true;
    job.permissions->folders = { PermissionSettings::Folder { granted.string(), true } };
    if (readable)
        job.permissions->folders.push_back(PermissionSettings::Folder { readable->string(), false });
    return job;
}

// Whether `file` came to exist before `stop` or three minutes passed.
inline bool awaitFile(const std::filesystem::path& file, std::stop_token stop)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (!std::filesystem::exists(file)) {
        if (stop.stop_requested() || std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A table's row as a test of its own, the parameter its index: every row starts the real CLI, and a long
// table's rows one after another went past the test's time limit on a busy machine.
class RealCLIRow : public ::testing::TestWithParam<std::size_t> { };

inline void writeScript(const std::filesystem::path& file, const std::string& text)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "#!/bin/sh\n" << text;
    std::filesystem::permissions(file,
        std::filesystem::perms::owner_all | std::filesystem::perms::group_read
            | std::filesystem::perms::others_read);
}

}
