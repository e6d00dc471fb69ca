#include "VellumarMacCore/ConversationData/Workspaces.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/ConversationData/ErrorPrinting.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;
    using namespace std::chrono_literals;
    using test::modeOf;
    using test::TemporaryFolder;

    const RelayHTTPError kBadPath { 400, "bad_path", "The file path is not valid." };
    const RelayHTTPError kForbidden { 403, "forbidden", "This file cannot be used." };
    const RelayHTTPError kNotFound { 404, "not_found", "The file was not found." };

    constexpr std::int64_t kSecond = 1'000'000'000;

    void writeFile(const fs::path& file, std::int64_t modified = 0)
    {
        test::writeBytes(file, "x");
        timespec times[2] = { { 0, UTIME_OMIT }, { modified / kSecond, modified % kSecond } };
        EXPECT_TRUE(modified == 0 || utimensat(AT_FDCWD, file.c_str(), times, 0) == 0) << file;
    }

    template <typename Operation> std::optional<RelayHTTPError> errorOf(Operation operation)
    {
        return test::thrown<RelayHTTPError>(operation);
    }

    class WorkspacesTest : public testing::Test {
    protected:
        // The data folder holds other stores beside "workspaces"; a stray key must never reach them.
        fs::path root() const { return m_data / "workspaces"; }
        Workspaces workspaces() const { return Workspaces(root()); }

        TemporaryFolder m_data;
    };

    TEST_F(WorkspacesTest, KeysThatWouldLeaveTheRootAreRefusedBeforeAnythingChanges)
    {
        fs::create_directories(root());
        test::writeBytes(m_data / "sessions.json", "{}");
        for (const std::string& key :
            { std::string(".."), std::string("../sessions.json"), std::string("a\0b", 3) }) {
            SCOPED_TRACE(key);
            EXPECT_EQ(errorOf([&] { workspaces().folder(key); }),
                RelayHTTPError(500, "internal", "The work folder on the Mac could not be prepared."));
            EXPECT_FALSE(workspaces().clear(key));
        }
        EXPECT_EQ(test::readFile(m_data / "sessions.json"), "{}");
        EXPECT_TRUE(fs::is_empty(root()));
    }

    TEST_F(WorkspacesTest, FolderIsAPrivateDirectoryStrippedOfClaudeFilesAndLinksWhichAreNotFollowed)
    {
        TemporaryFolder elsewhere;
        test::writeBytes(elsewhere / "CLAUDE.md", "outside");
        fs::path folder = root() / "ios-abc_chat_1";
        for (const char* path :
            { "CLAUDE.local.md", ".claude/settings.json", ".hidden/CLAUDE.md", "claude.md" })
            writeFile(folder / path);
        fs::create_directories(folder / "src");
        fs::create_directory_symlink(elsewhere.path(), folder / "src" / "outside");
        fs::create_symlink(elsewhere / "CLAUDE.md", folder / "src" / "CLAUDE.md");
        fs::create_directory_symlink(elsewhere.path(), root() / "linked");

        EXPECT_EQ(workspaces().folder("ios-abc:chat:1"), folder);
        EXPECT_TRUE(fs::is_empty(workspaces().folder("linked")));

        EXPECT_EQ(modeOf(folder), 0700u);
        for (const char* path :
            { "CLAUDE.local.md", ".claude", ".hidden/CLAUDE.md", "src/outside", "src/CLAUDE.md" })
            EXPECT_FALSE(fs::exists(fs::symlink_status(folder / path))) << path;
        EXPECT_TRUE(fs::is_regular_file(folder / "claude.md"));
        EXPECT_EQ(test::readFile(elsewhere / "CLAUDE.md"), "outside");
    }

    TEST_F(WorkspacesTest, ClearReportsAnItemItCouldNotDeleteAndStillDeletesTheRest)
    {
        fs::path folder = workspaces().folder("k");
        fs::permissions(m_data.path(), fs::perms(0755));
        fs::permissions(root(), fs::perms(0755));
        writeFile(folder / "a-locked" / "inside.txt");
        writeFile(folder / "b-free.txt");
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chown((folder / "b-free.txt").c_str(), 65534, 65534), 0);
        // "a-locked" stays root's, so the child, running as nobody, cannot delete what is inside it.
        Workspaces shared = workspaces();
        EXPECT_EQ(test::exitStatusWithin(10s,
                      [&] {
                          if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                              return 99;
                          return shared.clear("k") ? 1 : 0;
                      }),
            0);
        EXPECT_TRUE(fs::exists(folder / "a-locked" / "inside.txt"));
        EXPECT_FALSE(fs::exists(folder / "b-free.txt"));
    }

    class WorkspacesReadableTest : public WorkspacesTest {
    protected:
        void SetUp() override
        {
            m_folder = workspaces().folder("k");
            test::writeBytes(m_folder / "report.txt", "report");
            test::writeBytes(m_folder / "uploads" / "0a1b2c3d-photo.png", "png");
            fs::create_directories(m_folder / "folder");
            fs::create_symlink(m_folder / "report.txt", m_folder / "inside-link");
            fs::create_directory_symlink(m_folder / "uploads", m_folder / "uploads-link");
        }

        TemporaryFolder m_elsewhere;
        fs::path m_folder;
    };

    TEST_F(WorkspacesReadableTest, PathsAreCheckedInOrder)
    {
        std::string umlauts = test::repeated("\xC3\xBC", 127);
        // 512 characters in 1,020 bytes.
        std::string longest = umlauts + "/" + umlauts + "/" + umlauts + "/" + umlauts + "x";
        writeFile(m_folder / longest);
        const std::pair<std::string, std::optional<RelayHTTPError>> cases[] = {
            { longest, std::nullopt },
            { longest + "y", kBadPath },
            { "/etc/passwd", kBadPath },
            { "uploads\\0a1b2c3d-photo.png", kBadPath },
            { "uploads/../report.txt", kBadPath },
            { ".hidden", kBadPath },
            { "report\xFF.txt", kBadPath },
            { "inside-link", kForbidden },
            { "uploads-link/0a1b2c3d-photo.png", kForbidden },
            { "nothing.txt", kNotFound },
            { "folder", kNotFound },
        };
        for (const auto& [path, error] : cases) {
            SCOPED_TRACE(path);
            EXPECT_EQ(errorOf([&] { Workspaces::resolveReadable(path, m_folder); }), error)
                << "resolveReadable";
            EXPECT_EQ(errorOf([&] { Workspaces::openReadable(path, m_folder); }), error) << "openReadable";
        }
    }

    TEST_F(WorkspacesReadableTest, TheCheckedFileIsReadEvenThroughALinkAboveTheFolder)
    {
        TemporaryFolder links;
        fs::create_directory_symlink(m_folder, links / "via");
        ReadableFile file = Workspaces::openReadable("uploads/0a1b2c3d-photo.png", links / "via");
        std::string bytes(16, '\0');
        bytes.resize(file.read(bytes).value_or(0));
        EXPECT_EQ(bytes, "png");
    }

    TEST_F(WorkspacesReadableTest, OpenReadableRefusesALinkSwappedInAfterTheCheckAndAFIFOWithoutBlocking)
    {
        // What a download does: check, then open. Between the two, the folder becomes a link.
        Workspaces::resolveReadable("uploads/0a1b2c3d-photo.png", m_folder);
        fs::remove_all(m_folder / "uploads");
        fs::create_directory_symlink(m_elsewhere.path(), m_folder / "uploads");
        test::writeBytes(m_elsewhere / "0a1b2c3d-photo.png", "not theirs");
        EXPECT_EQ(
            errorOf([&] { Workspaces::openReadable("uploads/0a1b2c3d-photo.png", m_folder); }), kForbidden);
        EXPECT_TRUE(test::returnsBesideAFIFO(m_folder / "pipe",
            [&] { EXPECT_EQ(errorOf([&] { Workspaces::openReadable("pipe", m_folder); }), kNotFound); }));
    }

    TEST_F(WorkspacesTest, AFolderSwappedForALinkDuringTheCheckNeverResolvesIntoASiblingFolder)
    {
        // "k2" shares the name prefix of "k"; a link to it swapped in after its piece was checked must
        // not pass for a place inside "k".
        fs::path folder = workspaces().folder("k"), sibling = workspaces().folder("k2");
        test::writeBytes(folder / "sub" / "file.txt", "mine");
        test::writeBytes(sibling / "sub" / "file.txt", "theirs");
        fs::create_directory_symlink(sibling / "sub", folder / "swap");
        std::atomic<bool> done { false };
        std::jthread swapper([&] {
            while (!done)
                ::renameat2(
                    AT_FDCWD, (folder / "sub").c_str(), AT_FDCWD, (folder / "swap").c_str(), RENAME_EXCHANGE);
        });
        std::optional<fs::path> outside;
        for (int attempt = 0; attempt < 20'000 && !outside; ++attempt) {
            try {
                fs::path resolved = Workspaces::resolveReadable("sub/file.txt", folder);
                if (!resolved.native().starts_with(folder.native() + "/"))
                    outside = resolved;
            } catch (const RelayHTTPError&) {
            }
        }
        done = true;
        EXPECT_EQ(outside, std::nullopt);
    }

    // Calls of each clean-up in the race below: enough for the path-following walk it replaced to
    // delete outside the work folder many times over.
    constexpr int kRacedCleanUps = 50'000;

    TEST_F(WorkspacesTest, CleanUpsRacingAFolderExchangedWithALinkNeverTouchTheLinksTarget)
    {
        struct Case {
            std::string name;
            std::size_t levels; // of 250-byte folder names above the exchanged folder
        };
        for (const Case& row : { Case { "directly in the work folder", 0 },
                 Case { "below more than 4,096 bytes of folders", 17 } }) {
            SCOPED_TRACE(row.name);
            TemporaryFolder outside;
            test::writeBytes(outside / ".claude" / "settings.json", "{}");
            test::writeBytes(outside / "CLAUDE.md", "outside");
            test::writeBytes(outside / "Documents" / "letters" / "a.txt", "a");
            fs::permissions(outside / "Documents" / "letters", fs::perms(0750));
            auto before = test::treeContents(outside.path());

            fs::path folder = workspaces().folder("k");
            FileDescriptor top(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            FileDescriptor place = test::makeFolderChain(top.get(), row.levels);
            ASSERT_TRUE(place);
            ASSERT_EQ(mkdirat(place.get(), "a", 0700), 0);
            FileDescriptor real(openat(place.get(), "a", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_TRUE(real);
            // Asked to stop when it goes, however the test ends.
            std::jthread command([&](std::stop_token stop) {
                // Through descriptors only, so that the command itself never writes outside.
                while (!stop.stop_requested()) {
                    symlinkat("elsewhere", real.get(), "Documents");
                    mkdirat(real.get(), ".claude", 0700);
                    FileDescriptor(openat(real.get(), "CLAUDE.md", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
                    symlinkat(outside.path().c_str(), place.get(), "a");
                    symlinkat(outside.path().c_str(), place.get(), "swap");
                    renameat2(place.get(), "a", place.get(), "swap", RENAME_EXCHANGE);
                }
            });
            std::atomic<int> refusedCalls = 0;
            {
                std::jthread preparing([&] {
                    for (int call = 0; call < kRacedCleanUps; ++call) {
                        if (errorOf([&] { workspaces().folder("k"); }))
                            ++refusedCalls;
                    }
                });
                for (int call = 0; call < kRacedCleanUps; ++call)
                    Workspaces::removeClaudeFiles(folder);
            }
            command.request_stop();
            command.join();
            EXPECT_EQ(refusedCalls, 0);
            Workspaces::removeClaudeFiles(folder);

            EXPECT_EQ(test::treeContents(outside.path()), before);
            std::string placePath = "/proc/self/fd/" + std::to_string(place.get());
            auto names = test::namesIn(placePath);
            EXPECT_EQ(names.size(), 1u);
            for (const auto& name : names)
                EXPECT_TRUE(test::namesIn(placePath + "/" + name).empty()) << name;
            EXPECT_TRUE(workspaces().clear("k"));
        }
    }

    TEST_F(WorkspacesTest, SnapshotAgreesWithAnIndependentWalkOfVisibleRegularFilesAndUsageCountsHiddenOnes)
    {
        fs::path folder = root() / "k";
        for (const char* path : { "a.txt", "b/c.txt", "uploads/0a1b2c3d-f.png", ".git/x", "b/.h/y" })
            test::writeBytes(folder / path, path);
        writeFile(folder / "a.txt", 1'700'000'000 * kSecond + 123'456'789);
        fs::create_symlink("a.txt", folder / "b" / "link");
        fs::create_directory_symlink("..", folder / "b" / "up");
        ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);
        const char* walker = R"(
import os, stat, sys
top = sys.argv[1]
for directory, folders, files in os.walk(top):
    folders[:] = [f for f in folders if not f.startswith('.')]
    for name in files:
        status = os.lstat(os.path.join(directory, name))
        if not name.startswith('.') and stat.S_ISREG(status.st_mode):
            print(os.path.relpath(os.path.join(directory, name), top), status.st_mtime_ns, status.st_size)
)";
        auto result = test::runPeer({ "python3", "-c", walker, folder.string() });
        ASSERT_EQ(result.exitStatus, 0);
        Workspaces::Snapshot independent;
        std::istringstream lines(result.output);
        std::string path;
        Workspaces::Entry entry;
        while (lines >> path >> entry.modified >> entry.size)
            independent[path] = entry;
        EXPECT_EQ(independent.size(), 3u);
        EXPECT_EQ(Workspaces::snapshot(folder), independent);
        EXPECT_EQ(Workspaces::usage(folder), 1 + 7 + 22 + 6 + 6);
    }

    TEST_F(WorkspacesTest, WalksTolerateEntriesThatAppearAndVanishMeanwhile)
    {
        fs::path folder = workspaces().folder("k");
        test::writeBytes(folder / "stable" / "b.txt", "bb");
        std::atomic<bool> churning { true };
        std::jthread churn([&] {
            // Another caller (a run, an upload) adding and deleting trees while the walks go on.
            for (int round = 0; round < 400; ++round) {
                fs::path tree = folder / "churn" / ("t" + std::to_string(round % 7));
                std::error_code ignored;
                fs::create_directories(tree / "deep", ignored);
                std::ofstream(tree / "deep" / "CLAUDE.md") << "steer";
                fs::create_symlink("deep", tree / "link", ignored);
                fs::remove_all(tree, ignored);
            }
            churning = false;
        });
        int walks = 0;
        while (churning || walks < 3) {
            ++walks;
            EXPECT_EQ(Workspaces::snapshot(folder)["stable/b.txt"].size, 2);
            Workspaces::removeClaudeFiles(folder);
        }
    }

    TEST_F(WorkspacesTest, AFolderPathHoldingNULIsNeitherWalkedNorRead)
    {
        // The system would see only "…/a": its files must not be reported, removed or read.
        fs::path real = root() / "a";
        writeFile(real / "b" / "CLAUDE.md");
        writeFile(real / "file.txt");
        fs::path truncated(real.native() + std::string("\0b", 2));
        // A walk that followed the NUL would go down "…/a" again at every depth and never end.
        EXPECT_EQ(test::exitStatusWithin(10s,
                      [&] {
                          return Workspaces::usage(truncated) == 0
                                  && Workspaces::removeClaudeFiles(truncated) == 0
                              ? 0
                              : 1;
                      }),
            0);
        EXPECT_TRUE(fs::exists(real / "b" / "CLAUDE.md"));
        EXPECT_EQ(errorOf([&] { Workspaces::openReadable("file.txt", truncated); }), kNotFound);
    }

    TEST_F(WorkspacesTest, ListFilesNamesUploadsWithoutTheStoresPrefixAndLeavesHiddenFilesOut)
    {
        fs::path folder = root() / "k";
        writeFile(folder / "uploads/0a1B2c3D-photo.JPG", 9 * kSecond + 999'999);
        writeFile(folder / ".secret", 20 * kSecond);
        EXPECT_EQ(Workspaces::listFiles(folder),
            (std::vector<JSON> { JSON::object({ { "fileId", "uploads/0a1B2c3D-photo.JPG" },
                { "name", "photo.JPG" }, { "mime", "image/jpeg" }, { "size", 1 }, { "modifiedAt", 9000 },
                { "origin", "upload" } }) }));
    }

}
}
