#include "tests/support/UnprivilegedPeer.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <grp.h>
#include <unistd.h>

namespace vellumar::test {

namespace {

    constexpr uid_t kNobody = 65534;
    constexpr const char* kPeerRoot = "VELLUMAR_UNPRIVILEGED_PEER_ROOT";
    constexpr const char* kPeerCheck = "VELLUMAR_UNPRIVILEGED_PEER_CHECK";
    constexpr const char* kPeerArgument = "VELLUMAR_UNPRIVILEGED_PEER_ARGUMENT";

    bool dropInto(const char* root)
    {
        return chroot(root) == 0 && chdir("/") == 0 && setgroups(0, nullptr) == 0
            && setresgid(kNobody, kNobody, kNobody) == 0 && setresuid(kNobody, kNobody, kNobody) == 0
            && geteuid() == kNobody;
    }

}

bool registerUnprivilegedCheck(const char* name, UnprivilegedCheck check)
{
    const char* root = std::getenv(kPeerRoot);
    const char* selected = std::getenv(kPeerCheck);
    const char* argument = std::getenv(kPeerArgument);
    if (!root || !selected || !argument || std::strcmp(selected, name) != 0)
        return true;
    std::string outcome = dropInto(root) ? check(argument) : "setup failed";
    std::fwrite(outcome.data(), 1, outcome.size(), stdout);
    std::fflush(stdout);
    _exit(0);
}

std::string runUnprivileged(const char* name, const std::filesystem::path& root, const std::string& argument)
{
    auto self = std::filesystem::read_symlink("/proc/self/exe");
    auto result = runPeer({ "env", std::string(kPeerRoot) + "=" + root.string(),
        std::string(kPeerCheck) + "=" + name, std::string(kPeerArgument) + "=" + argument, self.string() });
    EXPECT_EQ(result.exitStatus, 0);
    return result.output;
}

std::filesystem::path sharedRoot(const std::filesystem::path& temporary, std::initializer_list<const char*> folders)
{
    const std::filesystem::path root = std::filesystem::canonical(temporary);
    for (const char* folder : folders) {
        std::filesystem::create_directories(root / folder);
        std::filesystem::permissions(root / folder, std::filesystem::perms(0777));
    }
    std::filesystem::permissions(root, std::filesystem::perms(0755));
    return root;
}

}
