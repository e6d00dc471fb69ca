#include "Platform/PrivateFiles.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vellumar::platform {
namespace {

    namespace fs = std::filesystem;

    constexpr uid_t kNobody = 65534;
    // Outcomes beside the errno values a refusal throws.
    constexpr int kReady = 0;
    constexpr int kInsecure = -1;

    int outcomeOf(const fs::path& folder)
    {
        try {
            return makePrivateDirectory(folder) == PrivateFolder::ready ? kReady : kInsecure;
        } catch (const fs::filesystem_error& error) {
            return error.code().value();
        }
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
        auto folder = [&](const std::string& name, uid_t owner) {
            fs::create_directory(root / name);
            fs::permissions(root / name, fs::perms(0755));
            EXPECT_EQ(::chown((root / name).c_str(), owner, owner), 0) << name;
        };
        folder("mine", 0);
        folder("target", 0);
        folder("others", kNobody);
        folder("othersNarrowed", kNobody);
        fs::permissions(root / "othersNarrowed", fs::perms(0700));
        fs::create_directory_symlink("target", root / "link");
        fs::create_directory_symlink("others", root / "linkToOthers");

        struct Case {
            const char* name;
            std::string given;
            int outcome;
            fs::path looked; // where the mode and owner are looked at afterwards
            unsigned mode;
            uid_t owner;
        };
        const std::vector<Case> cases = {
            { "an own wide folder is narrowed", (root / "mine").string(), kReady, root / "mine", 0700, 0 },
            { "a link to an own folder is refused, its target untouched", (root / "link").string(), kInsecure,
                root / "target", 0755, 0 },
            { "a link written with a slash likewise", (root / "link").string() + "/", kInsecure,
                root / "target", 0755, 0 },
            { "another owner's wide folder is refused, even by root", (root / "others").string(), EPERM,
                root / "others", 0755, kNobody },
            { "another owner's narrowed folder is refused, even by root", (root / "othersNarrowed").string(),
                EPERM, root / "othersNarrowed", 0700, kNobody },
            { "a link to another owner's folder is refused, its target untouched",
                (root / "linkToOthers").string(), kInsecure, root / "others", 0755, kNobody },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            EXPECT_EQ(outcomeOf(row.given), row.outcome);
            EXPECT_EQ(test::modeOf(row.looked), row.mode);
            EXPECT_EQ(ownerOf(row.looked), row.owner);
        }
    }

}
}
