// Git as the user runs it beside a run, outside any sandbox: what the real-CLI Git tests share.
#pragma once

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::test {

// Git as the user runs it, outside any sandbox, with the user's `home` when given; its identity given so
// that commits need no config.
inline PeerResult git(const std::filesystem::path& repository, std::vector<std::string> arguments,
    const std::optional<std::filesystem::path>& home = std::nullopt)
{
    std::vector<std::string> argv = { "git", "-c", "user.name=User", "-c", "user.email=user@example.com",
        "-c", "protocol.file.allow=always", "-C", repository.string() };
    if (home)
        argv.insert(argv.begin(), { "env", "HOME=" + home->string() });
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runPeer(argv);
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

inline std::string head(const std::filesystem::path& repository)
{
    return git(repository, { "rev-parse", "HEAD" }).output;
}

}
