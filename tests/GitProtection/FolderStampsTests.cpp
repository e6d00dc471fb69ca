// The stamps taken on a walk's threads: each is its own folder's, in every batch, whichever thread took
// it and while the caller goes through the batch before.
#include "VellumarMacCore/GitProtection/Finding/FolderStamps.h"

#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <utility>

using namespace vellumar;
namespace fs = std::filesystem;

TEST(FolderStamps, EachStampIsItsOwnFoldersInEveryBatch)
{
    test::TemporaryHome home;
    // Enough that the threads share a batch; every tenth is a file, which has no stamp.
    std::vector<std::string> paths;
    for (int index = 0; index < 1000; ++index) {
        const fs::path path = home.root / std::to_string(index);
        if (index % 10 == 9)
            std::ofstream(path) << "file\n";
        else
            test::madeFolder(path);
        paths.push_back(path.string());
    }
    auto batch = [&](std::pair<std::size_t, std::size_t> range) {
        std::vector<FolderStamps::Wanted> wanted;
        for (std::size_t index = range.first; index < range.second; ++index)
            wanted.push_back({ &paths[index], GitFolderListing::Link::refuse });
        return wanted;
    };
    // Then fewer than the threads, and none, while the threads wait for each.
    const std::pair<std::size_t, std::size_t> batches[]
        = { { 0, 600 }, { 600, 900 }, { 900, 1000 }, { 5, 6 }, { 7, 9 }, { 0, 0 }, { 300, 700 } };
    FolderStamps stamps;
    stamps.start(batch(batches[0]));
    for (std::size_t number = 0; number < std::size(batches); ++number) {
        auto taken = stamps.taken();
        // The last is left untaken: the threads stop all the same.
        stamps.start(batch(batches[(number + 1) % std::size(batches)]));
        const auto [first, end] = batches[number];
        ASSERT_EQ(taken.size(), end - first);
        for (std::size_t index = first; index < end; ++index) {
            SCOPED_TRACE(paths[index]);
            auto expected = GitFolderListing::stampOf(paths[index], GitFolderListing::Link::refuse);
            EXPECT_EQ(expected.has_value(), index % 10 != 9);
            EXPECT_TRUE(taken[index - first] == expected);
        }
    }
}
