// Reaching paths beneath a writable place through descriptors alone: a link at any step stops the way
// there, and a path beneath no place is not reached at all; the same where the kernel lacks openat2.
#include "VellumarMacCore/GitProtection/BeneathPlaces.h"

#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

struct Case {
    const char* name;
    const char* link; // made a link once the places are open, relative to the place; none when null
    const char* asked; // relative to the place
    std::optional<const char*> stop; // where the way stops, relative to the place; unreached when absent
    bool throughLink = false;
    bool folderReached = true;
    // Where the link leads, relative to it: a folder inside the place made for it, or outside when null.
    const char* inside = nullptr;
    // A second place, inside the first.
    const char* innerPlace = nullptr;
};

const Case kCases[] = {
    { "a file two folders down", nullptr, "a/b/file", "a/b/file" },
    { "a link at the first step", "a", "a/b/file", "a", true },
    { .name = "a link at the first step that stays inside the place",
        .link = "a",
        .asked = "a/b/file",
        .stop = "a",
        .throughLink = true,
        .inside = "c" },
    { .name = "a link in place of an inner place, reached from the outer",
        .link = "a",
        .asked = "a/b/file",
        .stop = "a",
        .throughLink = true,
        .innerPlace = "a" },
    { "a link at the second step", "a/b", "a/b/file", "a/b", true },
    { "a link at the last step, not followed", "a/b/file", "a/b/file", "a/b/file" },
    { "a folder missing on the way", nullptr, "a/missing/file", "a/missing/file", false, false },
    { "a way out through ..", nullptr, "a/../../outside/file", std::nullopt },
    { "the place itself", nullptr, ".", std::nullopt },
};

// The names of the cases whose outcome differs from what they expect.
std::vector<std::string> mismatches()
{
    std::vector<std::string> failed;
    for (const auto& testCase : kCases) {
        test::TemporaryHome home;
        const fs::path place = home.root / "place";
        fs::create_directories(place / "a/b");
        fs::create_directories(home.root / "outside/b");
        std::ofstream(place / "a/b/file") << "inside\n";
        std::vector<fs::path> opened = { place, home.root / "elsewhere" };
        if (testCase.innerPlace)
            opened.push_back(place / testCase.innerPlace);
        BeneathPlaces places(opened);
        if (testCase.link) {
            fs::remove_all(place / testCase.link);
            if (testCase.inside)
                std::ofstream(test::madeFolder(place / testCase.inside / "b") / "file") << "inside\n";
            fs::create_directory_symlink(
                testCase.inside ? fs::path(testCase.inside) : home.root / "outside", place / testCase.link);
        }
        auto reached = places.reach(place / testCase.asked);
        bool matches = reached.has_value() == testCase.stop.has_value();
        if (reached && matches) {
            matches = reached->path == place / *testCase.stop && reached->throughLink == testCase.throughLink
                && (reached->folder.get() >= 0) == testCase.folderReached
                && reached->name == fs::path(*testCase.stop).filename();
        }
        if (!matches)
            failed.emplace_back(testCase.name);
    }
    return failed;
}

// Makes openat2 fail with ENOSYS in this process from now on, as on a kernel without it.
bool withoutOpenat2()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program { static_cast<unsigned short>(std::size(filter)), filter };
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0
        && ::syscall(SYS_openat2, AT_FDCWD, ".", nullptr, 0) == -1 && errno == ENOSYS;
}

}

TEST(BeneathPlaces, StopsAtTheFirstLinkAndReachesNothingBeneathNoPlace)
{
    EXPECT_EQ(mismatches(), std::vector<std::string> {});
}

TEST(BeneathPlaces, WalksOneNameAtATimeWithoutOpenat2)
{
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(!withoutOpenat2() ? 100 : static_cast<int>(mismatches().size()));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
