#include "VellumarMacCore/Foundations/FolderTree.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;
    using test::TemporaryFolder;

    std::size_t openDescriptorCount() { return test::namesIn("/proc/self/fd").size(); }

    FileDescriptor openFolder(const fs::path& folder)
    {
        return FileDescriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }

    TEST(FolderTree, RemovesATreeDeeperThanAPathCanNameWithoutFollowingItsLinks)
    {
        TemporaryFolder work, outside;
        test::writeBytes(outside / "kept" / "file.txt", "outside");
        auto before = test::treeContents(outside.path());
        fs::create_directories(work / "top");
        fs::create_directory_symlink(outside.path(), work / "link");
        // Deeper than PATH_MAX and than the folders a walk holds open, with links, a file and a FIFO
        // at every level.
        std::string target = outside.path().string(), file = (outside / "kept" / "file.txt").string();
        FileDescriptor deepest = test::makeFolderChain(openFolder(work / "top").get(), 40, [&](int folder) {
            EXPECT_EQ(::symlinkat(target.c_str(), folder, "folder-link"), 0);
            EXPECT_EQ(::symlinkat(file.c_str(), folder, "file-link"), 0);
            EXPECT_EQ(::mkfifoat(folder, "pipe", 0600), 0);
            FileDescriptor(::openat(folder, "file", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        });
        ASSERT_TRUE(deepest);
        deepest.reset();
        std::size_t descriptors = openDescriptorCount();

        EXPECT_TRUE(FolderTree::remove(work / "link"));
        EXPECT_TRUE(FolderTree::remove(work / "top"));
        EXPECT_TRUE(test::namesIn(work.path()).empty());
        EXPECT_EQ(test::treeContents(outside.path()), before);
        EXPECT_EQ(openDescriptorCount(), descriptors);
    }

    TEST(FolderTree, AWalkEntersFoldersDownToItsDepthBoundAndSaysWhenItStopsThere)
    {
        TemporaryFolder work;
        FileDescriptor deepest
            = test::makeFolderChain(openFolder(work.path()).get(), FolderTree::maxDepth + 1);
        ASSERT_TRUE(deepest);
        FileDescriptor(::openat(deepest.get(), "bottom", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        // Held open, it would keep every folder above it until the end, then free them all at once.
        deepest.reset();
        const fs::path top = work / *test::namesIn(work.path()).begin();
        const struct {
            const char* name;
            fs::path walked;
            bool complete;
        } cases[] = {
            { "the deepest folder at the bound is entered", top, true },
            { "one past the bound is not", work.path(), false },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            bool reachedBottom = false;
            bool complete = FolderTree(row.walked).walk([&](const FolderTree::Entry& entry) {
                reachedBottom = reachedBottom || entry.name == "bottom";
                return FolderTree::Step::descend;
            });
            EXPECT_EQ(complete, row.complete);
            EXPECT_EQ(reachedBottom, row.complete);
        }
        EXPECT_TRUE(FolderTree::remove(top));
    }

    TEST(FolderTree, NamesThatAreNotOneEntryOfTheFolderAreRefused)
    {
        TemporaryFolder outside;
        test::writeBytes(outside / "kept" / "file.txt", "outside");
        auto before = test::treeContents(outside.path());
        FileDescriptor kept = openFolder(outside / "kept");
        for (const std::string& name : { std::string(), std::string("."), std::string(".."),
                 std::string("../kept/file.txt"), std::string("file.txt\0x", 10) }) {
            SCOPED_TRACE(name);
            EXPECT_FALSE(FolderTree::remove(kept.get(), name));
        }
        EXPECT_FALSE(FolderTree::remove(outside / "kept" / ".."));
        EXPECT_EQ(test::treeContents(outside.path()), before);
    }

    TEST(FolderTree, AWalkWhoseFolderIsMovedAwayStopsRatherThanGoOnWhereItWasMoved)
    {
        TemporaryFolder work, outside;
        test::writeBytes(work / "l1" / "z-victim", "inside");
        test::writeBytes(outside / "z-victim", "outside");
        fs::create_directories(work / "l1" / "l2");
        // So deep that the walk must find its way back up through "..", where the move leads astray.
        constexpr std::size_t kLevels = 40;
        ASSERT_TRUE(test::makeFolderChain(openFolder(work / "l1" / "l2").get(), kLevels));
        bool moved = false;
        bool walked = FolderTree(work.path()).walk([&](const FolderTree::Entry& entry) {
            if (entry.name == "z-victim")
                FolderTree::remove(entry.folderFD, entry.name);
            if (!moved && entry.relativePath.size() > kLevels * 250)
                moved = std::rename((work / "l1" / "l2").c_str(), (outside / "moved").c_str()) == 0;
            return FolderTree::Step::descend;
        });
        EXPECT_TRUE(moved);
        EXPECT_FALSE(walked);
        EXPECT_EQ(test::readFile(outside / "z-victim"), "outside");
        EXPECT_EQ(test::readFile(work / "l1" / "z-victim"), "inside");
    }

}
}
