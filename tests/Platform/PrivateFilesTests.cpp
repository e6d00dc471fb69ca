#include "Platform/PrivateFiles.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace vellumar::platform {
namespace {

    namespace fs = std::filesystem;

    constexpr uid_t kNobody = 65534;
    // Outcomes beside the errno values a refusal throws, below 256 so that a child can exit with them.
    constexpr int kReady = 0;
    constexpr int kInsecure = 250;

    int outcomeOf(const fs::path& folder)
    {
        try {
            return makePrivateDirectory(folder) == PrivateFolder::ready ? kReady : kInsecure;
        } catch (const fs::filesystem_error& error) {
            return error.code().value();
        }
    }

    // Called by `caller`: another user than root runs in a child process, since root ignores modes.
    int outcomeAs(uid_t caller, const fs::path& folder)
    {
        if (caller == ::geteuid())
            return outcomeOf(folder);
        return test::exitStatusWithin(std::chrono::seconds(30), [&] {
            if (::setgroups(0, nullptr) != 0 || ::setresgid(caller, caller, caller) != 0
                || ::setresuid(caller, caller, caller) != 0)
                return -1;
            return outcomeOf(folder);
        });
    }

    uid_t ownerOf(const fs::path& location)
    {
        struct stat status { };
        return ::lstat(location.c_str(), &status) == 0 ? status.st_uid : static_cast<uid_t>(-1);
    }

    TEST(MakePrivateDirectory, NarrowsOnlyARealFolderOfItsOwnOwner)
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "a folder of another owner needs root to make";
        test::TemporaryFolder temporary;
        const fs::path root = temporary.path();
        fs::permissions(root, fs::perms(0755));
        auto folder = [&](const std::string& name, uid_t owner, unsigned mode = 0755) {
            fs::create_directory(root / name);
            fs::permissions(root / name, fs::perms(mode));
            EXPECT_EQ(::chown((root / name).c_str(), owner, owner), 0) << name;
        };
        folder("mine", 0);
        folder("target", 0);
        folder("others", kNobody);
        folder("othersNarrowed", kNobody, 0700);
        folder("closed", kNobody, 0);
        folder("writeOnly", kNobody, 0300);
        fs::create_directory_symlink("target", root / "link");
        fs::create_directory_symlink("others", root / "linkToOthers");

        struct Case {
            const char* name;
            uid_t caller;
            std::string given;
            int outcome;
            fs::path looked; // where the mode and owner are looked at afterwards
            unsigned mode;
            uid_t owner;
        };
        const std::vector<Case> cases = {
            { "an own wide folder is narrowed", 0, (root / "mine").string(), kReady, root / "mine", 0700, 0 },
            { "a link to an own folder is refused, its target untouched", 0, (root / "link").string(),
                kInsecure, root / "target", 0755, 0 },
            { "a link written with a slash likewise", 0, (root / "link").string() + "/", kInsecure,
                root / "target", 0755, 0 },
            { "another owner's wide folder is refused, even by root", 0, (root / "others").string(), EPERM,
                root / "others", 0755, kNobody },
            { "another owner's narrowed folder is refused, even by root", 0,
                (root / "othersNarrowed").string(), EPERM, root / "othersNarrowed", 0700, kNobody },
            { "a link to another owner's folder is refused, its target untouched", 0,
                (root / "linkToOthers").string(), kInsecure, root / "others", 0755, kNobody },
            { "its owner's folder at 000 is narrowed", kNobody, (root / "closed").string(), kReady,
                root / "closed", 0700, kNobody },
            { "its owner's folder at 0300 is narrowed", kNobody, (root / "writeOnly").string(), kReady,
                root / "writeOnly", 0700, kNobody },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            EXPECT_EQ(outcomeAs(row.caller, row.given), row.outcome);
            EXPECT_EQ(test::modeOf(row.looked), row.mode);
            EXPECT_EQ(ownerOf(row.looked), row.owner);
        }
    }

}
}
