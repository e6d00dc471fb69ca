// What a folder holds is given back from an earlier read only while the same folder is at its path:
// a folder swapped in by a rename, or for a link, shows as it is now.
#include "VellumarMacCore/GitProtection/Finding/SearchedFolders.h"

#include "VellumarMacCore/GitProtection/Finding/FolderStamps.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace vellumar;
namespace fs = std::filesystem;

TEST(SearchedFolders, AFolderSwappedAtItsPathIsReadAgain)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path& folder)> swap;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        { "another folder renamed into its place",
            [](const fs::path& folder) {
                test::madeFolder(folder.parent_path() / "other/app/.git");
                fs::rename(folder, folder.parent_path() / "old");
                fs::rename(folder.parent_path() / "other", folder);
            },
            { "app" } },
        { "a link in its place",
            [](const fs::path& folder) {
                fs::rename(folder, folder.parent_path() / "old");
                fs::create_directory_symlink(folder.parent_path() / "old", folder);
            },
            {} },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path folder = test::madeFolder(home.root / "grant/projects");
        test::madeFolder(folder / "web/.git");
        // Kept however recent the folder's last change, so that only its identity can tell; each a walk
        // of its own.
        auto listed = [&] {
            SearchedFolders searched(folder);
            FolderStamps::mark(
                { { folder.string(), &searched.place(), GitFolderListing::Link::refuse } }, searched.walk());
            std::vector<std::string> names;
            if (searched.refresh(searched.place(), folder,
                    { .link = GitFolderListing::Link::refuse, .settling = std::chrono::seconds(0) })) {
                for (const auto& subfolder : searched.place().subfolders)
                    names.push_back(subfolder->name);
            }
            return names;
        };
        ASSERT_EQ(listed(), std::vector<std::string> { "web" });
        testCase.swap(folder);
        EXPECT_EQ(listed(), testCase.expected);
    }
}
