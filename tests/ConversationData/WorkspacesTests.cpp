#include "VellumarMacCore/ConversationData/Workspaces.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/ConversationData/ErrorPrinting.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;
    using test::TemporaryFolder;

    const RelayHTTPError kBadPath { 400, "bad_path", "The file path is not valid." };
    const RelayHTTPError kForbidden { 403, "forbidden", "This file cannot be used." };
    const RelayHTTPError kNotFound { 404, "not_found", "The file was not found." };
    const RelayHTTPError kMisplaced { 500, "internal", "The work folder on the Mac could not be prepared." };
    const RelayHTTPError kUnprepared { 507, "insufficient_storage",
        "The work folder on the Mac could not be prepared." };

    constexpr std::int64_t kSecond = 1'000'000'000;

    void writeFile(const fs::path& file, const std::string& bytes = "x")
    {
        fs::create_directories(file.parent_path());
        std::ofstream stream(file, std::ios::binary | std::ios::trunc);
        stream << bytes;
        ASSERT_TRUE(stream.good()) << file;
    }

    void setModified(const fs::path& file, std::int64_t nanoseconds)
    {
        timespec times[2] = { { 0, UTIME_OMIT }, { nanoseconds / kSecond, nanoseconds % kSecond } };
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << file;
    }

    mode_t modeOf(const fs::path& location)
    {
        struct stat status { };
        EXPECT_EQ(lstat(location.c_str(), &status), 0) << location;
        return status.st_mode & 07777;
    }

    template <typename Operation> std::optional<RelayHTTPError> errorOf(Operation operation)
    {
        try {
            operation();
        } catch (const RelayHTTPError& error) {
            return error;
        }
        return std::nullopt;
    }

    // Runs `work` in a child process as nobody, so that refused permissions are really refused even
    // when the tests run as root. Answers the child's exit status.
    int runAsNobody(const std::function<int()>& work)
    {
        pid_t child = fork();
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(99);
            _exit(work());
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string stringMember(const JSON& object, std::string_view key)
    {
        const JSON* member = object.subscript(key);
        return member && member->stringValue() ? *member->stringValue() : "<missing>";
    }

    std::optional<std::int64_t> intMember(const JSON& object, std::string_view key)
    {
        const JSON* member = object.subscript(key);
        return member ? member->intValue() : std::nullopt;
    }

    std::vector<std::string> fileIDs(const std::vector<JSON>& files)
    {
        std::vector<std::string> ids;
        for (const auto& file : files)
            ids.push_back(stringMember(file, "fileId"));
        return ids;
    }

    class WorkspacesTest : public testing::Test {
    protected:
        // The data folder holds other stores beside "workspaces"; a stray key must never reach them.
        fs::path dataFolder() const { return m_data.path(); }
        fs::path root() const { return m_data / "workspaces"; }
        Workspaces workspaces() const { return Workspaces(root()); }

        TemporaryFolder m_data;
    };

    TEST_F(WorkspacesTest, FolderMapsColonsToUnderscoresDirectlyUnderTheRoot)
    {
        fs::path folder = workspaces().folder("ios-abc:chat:1");
        EXPECT_EQ(folder, root() / "ios-abc_chat_1");
        EXPECT_EQ(folder, workspaces().folderURL("ios-abc:chat:1"));
        EXPECT_TRUE(fs::is_directory(folder));
        EXPECT_EQ(modeOf(root()), 0700u);
        EXPECT_EQ(modeOf(folder), 0700u);
        EXPECT_EQ(workspaces().quota(), Workspaces::defaultQuota);
    }

    TEST_F(WorkspacesTest, FolderNarrowsAnExistingFolderAndKeepsItsFiles)
    {
        fs::create_directories(root() / "k" / "uploads");
        fs::permissions(root() / "k", fs::perms(0755));
        writeFile(root() / "k" / "uploads" / "0a1b2c3d-photo.png");
        fs::path folder = workspaces().folder("k");
        EXPECT_EQ(modeOf(folder), 0700u);
        EXPECT_TRUE(fs::exists(folder / "uploads" / "0a1b2c3d-photo.png"));
    }

    TEST_F(WorkspacesTest, FolderReplacesALinkOrFileWithoutTouchingWhatTheLinkNamed)
    {
        TemporaryFolder elsewhere;
        fs::permissions(elsewhere.path(), fs::perms(0755));
        writeFile(elsewhere / "keep.txt", "mine");
        fs::create_directories(root());
        fs::create_directory_symlink(elsewhere.path(), root() / "linked");
        writeFile(root() / "plain", "not a folder");

        for (const char* key : { "linked", "plain" }) {
            SCOPED_TRACE(key);
            fs::path folder = workspaces().folder(key);
            EXPECT_FALSE(fs::is_symlink(folder));
            EXPECT_TRUE(fs::is_directory(folder));
            EXPECT_TRUE(fs::is_empty(folder));
            EXPECT_EQ(modeOf(folder), 0700u);
        }
        EXPECT_EQ(modeOf(elsewhere.path()), 0755u);
        EXPECT_EQ(test::readFile(elsewhere / "keep.txt"), "mine");
    }

    TEST_F(WorkspacesTest, KeysThatWouldLeaveTheRootAreRefusedBeforeAnythingChanges)
    {
        fs::create_directories(root());
        fs::permissions(dataFolder(), fs::perms(0751));
        writeFile(dataFolder() / "sessions.json", "{}");
        const std::string keys[]
            = { "", ".", "..", "a/b", "../sessions.json", "/etc", std::string("a\0b", 3) };
        for (const auto& key : keys) {
            SCOPED_TRACE(key);
            EXPECT_EQ(errorOf([&] { workspaces().folder(key); }), kMisplaced);
            EXPECT_EQ(workspaces().existingFolder(key), std::nullopt);
            EXPECT_FALSE(workspaces().clear(key));
        }
        EXPECT_EQ(modeOf(dataFolder()), 0751u);
        EXPECT_EQ(test::readFile(dataFolder() / "sessions.json"), "{}");
        EXPECT_TRUE(fs::is_empty(root()));
    }

    TEST_F(WorkspacesTest, FolderFailsWithInsufficientStorageWhenTheRootCannotBeMade)
    {
        writeFile(root(), "a file where the root belongs");
        EXPECT_EQ(errorOf([&] { workspaces().folder("k"); }), kUnprepared);
    }

    TEST_F(WorkspacesTest, FolderStripsClaudeFilesAndEveryLinkAtAnyDepth)
    {
        TemporaryFolder elsewhere;
        writeFile(elsewhere / "CLAUDE.md", "outside");
        fs::path folder = root() / "k";
        const char* removed[]
            = { "CLAUDE.md", "CLAUDE.local.md", ".claude/settings.json", "src/deep/CLAUDE.md",
                  "src/deep/CLAUDE.local.md", ".hidden/CLAUDE.md", "uploads/.claude/agents/a.md" };
        const char* kept[] = { "claude.md", "Claude.MD", "src/CLAUDE.markdown", "src/deep/notes.md",
            ".hidden/keep", "uploads/0a1b2c3d-photo.png" };
        for (const char* path : removed)
            writeFile(folder / path);
        for (const char* path : kept)
            writeFile(folder / path);
        fs::create_symlink(folder / "claude.md", folder / "inside-link");
        fs::create_directory_symlink(elsewhere.path(), folder / "src" / "deep" / "outside");
        fs::create_symlink(folder / "missing", folder / "uploads" / "dangling");
        fs::create_symlink(elsewhere / "CLAUDE.md", folder / "src" / "CLAUDE.local.md");

        workspaces().folder("k");

        for (const char* path : removed) {
            SCOPED_TRACE(path);
            EXPECT_FALSE(fs::exists(fs::symlink_status(folder / path)));
        }
        EXPECT_FALSE(fs::exists(folder / ".claude"));
        EXPECT_FALSE(fs::exists(folder / "uploads" / ".claude"));
        for (const char* path : kept) {
            SCOPED_TRACE(path);
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder / path)));
        }
        for (const char* link :
            { "inside-link", "src/deep/outside", "uploads/dangling", "src/CLAUDE.local.md" })
            EXPECT_FALSE(fs::exists(fs::symlink_status(folder / link))) << link;
        EXPECT_EQ(test::readFile(elsewhere / "CLAUDE.md"), "outside");
    }

    TEST_F(WorkspacesTest, RemoveClaudeFilesCountsRemovalsAndIgnoresAMissingFolder)
    {
        fs::path folder = root() / "k";
        writeFile(folder / "CLAUDE.md");
        writeFile(folder / ".claude" / "a" / "b.json");
        writeFile(folder / ".claude" / "CLAUDE.md");
        fs::create_symlink("nowhere", folder / "link");
        EXPECT_EQ(Workspaces::removeClaudeFiles(folder), 3);
        EXPECT_EQ(Workspaces::removeClaudeFiles(folder), 0);
        EXPECT_EQ(Workspaces::removeClaudeFiles(root() / "missing"), 0);
    }

    TEST_F(WorkspacesTest, ExistingFolderIsOnlyARealDirectory)
    {
        TemporaryFolder elsewhere;
        fs::create_directories(root() / "real");
        writeFile(root() / "file");
        fs::create_directory_symlink(elsewhere.path(), root() / "link");
        EXPECT_EQ(workspaces().existingFolder("real"), root() / "real");
        EXPECT_EQ(workspaces().existingFolder("missing"), std::nullopt);
        EXPECT_EQ(workspaces().existingFolder("file"), std::nullopt);
        EXPECT_EQ(workspaces().existingFolder("link"), std::nullopt);
        EXPECT_FALSE(fs::exists(root() / "missing"));
    }

    TEST_F(WorkspacesTest, ClearEmptiesTheFolderButKeepsIt)
    {
        EXPECT_FALSE(workspaces().clear("k"));
        fs::path folder = workspaces().folder("k");
        EXPECT_TRUE(workspaces().clear("k"));
        writeFile(folder / "uploads" / "0a1b2c3d-a.png");
        writeFile(folder / ".hidden");
        writeFile(folder / ".git" / "HEAD");
        writeFile(folder / "out.txt");
        EXPECT_TRUE(workspaces().clear("k"));
        EXPECT_TRUE(fs::is_directory(folder));
        EXPECT_TRUE(fs::is_empty(folder));
    }

    TEST_F(WorkspacesTest, ClearLeavesALinkedFolderAndItsTargetAlone)
    {
        TemporaryFolder elsewhere;
        writeFile(elsewhere / "precious.txt");
        fs::create_directories(root());
        fs::create_directory_symlink(elsewhere.path(), root() / "k");
        EXPECT_FALSE(workspaces().clear("k"));
        EXPECT_TRUE(fs::exists(elsewhere / "precious.txt"));
    }

    TEST_F(WorkspacesTest, ClearReportsAnItemItCouldNotDeleteAndStillDeletesTheRest)
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to hand the folder to nobody";
        fs::path folder = workspaces().folder("k");
        fs::permissions(dataFolder(), fs::perms(0755));
        fs::permissions(root(), fs::perms(0755));
        writeFile(folder / "a-locked" / "inside.txt");
        writeFile(folder / "b-free.txt");
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chown((folder / "b-free.txt").c_str(), 65534, 65534), 0);
        // "a-locked" stays root's, so nobody cannot delete what is inside it.
        Workspaces shared = workspaces();
        EXPECT_EQ(runAsNobody([&] { return shared.clear("k") ? 1 : 0; }), 0);
        EXPECT_TRUE(fs::exists(folder / "a-locked" / "inside.txt"));
        EXPECT_FALSE(fs::exists(folder / "b-free.txt"));
    }

    class WorkspacesReadableTest : public WorkspacesTest {
    protected:
        void SetUp() override
        {
            m_folder = workspaces().folder("k");
            writeFile(m_folder / "report.txt", "report");
            writeFile(m_folder / "uploads" / "0a1b2c3d-photo.png", "png");
            fs::create_directories(m_folder / "folder");
            writeFile(m_folder / ".hidden", "hidden");
            fs::create_symlink(m_folder / "report.txt", m_folder / "inside-link");
            fs::create_directory_symlink(m_folder / "uploads", m_folder / "uploads-link");
            fs::create_symlink(m_folder / "gone", m_folder / "dangling");
            writeFile(m_elsewhere / "secret.txt", "secret");
            fs::create_directory_symlink(m_elsewhere.path(), m_folder / "uploads" / "escape");
        }

        // The same outcome from both the location check and the safe open.
        void expectOutcome(const std::string& path, const std::optional<RelayHTTPError>& error)
        {
            EXPECT_EQ(errorOf([&] { Workspaces::resolveReadable(path, m_folder); }), error)
                << "resolveReadable";
            EXPECT_EQ(errorOf([&] { Workspaces::openReadable(path, m_folder); }), error) << "openReadable";
        }

        TemporaryFolder m_elsewhere;
        fs::path m_folder;
    };

    TEST_F(WorkspacesReadableTest, PathsAreCheckedInOrder)
    {
        struct Case {
            const char* label;
            std::string path;
            std::optional<RelayHTTPError> error;
        } cases[] = {
            { "top-level file", "report.txt", std::nullopt },
            { "upload", "uploads/0a1b2c3d-photo.png", std::nullopt },
            { "empty", "", kBadPath },
            { "absolute", "/etc/passwd", kBadPath },
            { "backslash", "uploads\\0a1b2c3d-photo.png", kBadPath },
            { "double slash", "uploads//0a1b2c3d-photo.png", kBadPath },
            { "trailing slash", "uploads/", kBadPath },
            { "parent", "uploads/../report.txt", kBadPath },
            { "leading parent", "../k/report.txt", kBadPath },
            { "dot", "./report.txt", kBadPath },
            { "hidden", ".hidden", kBadPath },
            { "hidden inside", "uploads/.x", kBadPath },
            { "line feed", "report\n.txt", kBadPath },
            { "delete", "report\x7F.txt", kBadPath },
            { "invalid UTF-8", "report\xFF.txt", kBadPath },
            { "link to a file inside", "inside-link", kForbidden },
            { "link as first piece", "uploads-link/0a1b2c3d-photo.png", kForbidden },
            { "link as middle piece", "uploads/escape/secret.txt", kForbidden },
            { "dangling link", "dangling", kForbidden },
            { "missing", "nothing.txt", kNotFound },
            { "missing below missing", "no/such/file", kNotFound },
            { "below a file", "report.txt/x", kNotFound },
            { "directory", "folder", kNotFound },
            { "uploads directory", "uploads", kNotFound },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.label);
            expectOutcome(test.path, test.error);
        }
    }

    TEST_F(WorkspacesReadableTest, LengthIsCountedInCharactersUpTo512)
    {
        // Three pieces of 127 "ü" and one of 127 "ü" + "x": 512 characters in 1,020 bytes.
        std::string umlauts;
        for (int i = 0; i < 127; ++i)
            umlauts += "\xC3\xBC";
        std::string path = umlauts + "/" + umlauts + "/" + umlauts + "/" + umlauts + "x";
        writeFile(m_folder / path, "deep");
        expectOutcome(path, std::nullopt);
        EXPECT_EQ(Workspaces::resolveReadable(path, m_folder), fs::canonical(m_folder / path));
        expectOutcome(path + "y", kBadPath);

        std::string ascii = std::string(200, 'a') + "/" + std::string(200, 'b') + "/" + std::string(110, 'c');
        ASSERT_EQ(ascii.size(), 512u);
        writeFile(m_folder / ascii);
        expectOutcome(ascii, std::nullopt);
        expectOutcome(ascii + "c", kBadPath);
    }

    TEST_F(WorkspacesReadableTest, ResolveReadableAnswersTheRealLocation)
    {
        fs::path resolved = Workspaces::resolveReadable("report.txt", m_folder);
        EXPECT_EQ(resolved, fs::canonical(m_folder / "report.txt"));
        // A folder reached through a link above it still works: only links inside it are refused.
        TemporaryFolder links;
        fs::create_directory_symlink(m_folder, links / "via");
        EXPECT_EQ(Workspaces::resolveReadable("report.txt", links / "via"), resolved);
        EXPECT_EQ(test::readFile(resolved), "report");
    }

    TEST_F(WorkspacesReadableTest, OpenReadableReadsTheCheckedFile)
    {
        ReadableFile file = Workspaces::openReadable("uploads/0a1b2c3d-photo.png", m_folder);
        EXPECT_EQ(file.sizeBytes(), 3);
        std::string bytes(16, '\0');
        auto count = file.read(bytes);
        ASSERT_TRUE(count.has_value());
        EXPECT_EQ(bytes.substr(0, *count), "png");
    }

    TEST_F(WorkspacesReadableTest, OpenReadableRefusesALinkSwappedInAfterTheCheck)
    {
        // What a download does: check, then open. Between the two, the file becomes a link.
        fs::path checked = Workspaces::resolveReadable("report.txt", m_folder);
        EXPECT_EQ(checked.filename(), "report.txt");
        fs::remove(m_folder / "report.txt");
        fs::create_symlink(m_elsewhere / "secret.txt", m_folder / "report.txt");
        EXPECT_EQ(errorOf([&] { Workspaces::openReadable("report.txt", m_folder); }), kForbidden);

        fs::remove_all(m_folder / "uploads");
        fs::create_directory_symlink(m_elsewhere.path(), m_folder / "uploads");
        writeFile(m_elsewhere / "0a1b2c3d-photo.png", "not theirs");
        EXPECT_EQ(
            errorOf([&] { Workspaces::openReadable("uploads/0a1b2c3d-photo.png", m_folder); }), kForbidden);
    }

    TEST_F(WorkspacesReadableTest, OpenReadableRefusesAFIFOWithoutBlocking)
    {
        ASSERT_EQ(mkfifo((m_folder / "pipe").c_str(), 0600), 0);
        EXPECT_EQ(errorOf([&] { Workspaces::openReadable("pipe", m_folder); }), kNotFound);
        EXPECT_EQ(errorOf([&] { Workspaces::resolveReadable("pipe", m_folder); }), kNotFound);
    }

    TEST_F(WorkspacesTest, UsageCountsHiddenAndUploadedFilesButNotLinks)
    {
        TemporaryFolder elsewhere;
        writeFile(elsewhere / "large", std::string(100'000, 'l'));
        fs::path folder = root() / "k";
        writeFile(folder / "a.txt", std::string(10, 'a'));
        writeFile(folder / ".hidden", std::string(20, 'h'));
        writeFile(folder / ".git" / "objects" / "o", std::string(30, 'o'));
        writeFile(folder / "uploads" / "0a1b2c3d-x.png", std::string(40, 'u'));
        fs::create_symlink(elsewhere / "large", folder / "link");
        fs::create_directory_symlink(elsewhere.path(), folder / "linked-folder");
        EXPECT_EQ(Workspaces::usage(folder), 100);
        EXPECT_EQ(Workspaces::usage(root() / "missing"), 0);
    }

    TEST_F(WorkspacesTest, SnapshotRecordsVisibleRegularFilesWithNanosecondTimes)
    {
        fs::path folder = root() / "k";
        writeFile(folder / "out.txt", "12345");
        writeFile(folder / "sub" / "deep.md", "1");
        writeFile(folder / ".env", "hidden");
        writeFile(folder / ".git" / "HEAD", "ref");
        writeFile(folder / "sub" / ".cache" / "x", "x");
        fs::create_symlink(folder / "out.txt", folder / "link.txt");
        ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);
        setModified(folder / "out.txt", 1'700'000'000 * kSecond + 123'456'789);

        Workspaces::Snapshot snapshot = Workspaces::snapshot(folder);
        Workspaces::Snapshot expected {
            { "out.txt", { 1'700'000'000 * kSecond + 123'456'789, 5 } },
            { "sub/deep.md", { snapshot["sub/deep.md"].modified, 1 } },
        };
        EXPECT_EQ(snapshot, expected);
        EXPECT_GT(expected["sub/deep.md"].modified, 1'700'000'000 * kSecond);
        EXPECT_TRUE(Workspaces::snapshot(root() / "missing").empty());
    }

    TEST_F(WorkspacesTest, SnapshotAgreesWithAnIndependentWalk)
    {
        fs::path folder = root() / "k";
        for (const char* path :
            { "a.txt", "b/c.txt", "b/d/e.bin", "uploads/0a1b2c3d-f.png", ".git/x", "b/.h/y" })
            writeFile(folder / path, path);
        fs::create_symlink("a.txt", folder / "b" / "link");
        const char* walker = R"(
import os, sys
top = sys.argv[1]
for directory, folders, files in os.walk(top):
    folders[:] = [f for f in folders if not f.startswith('.')]
    for name in files:
        path = os.path.join(directory, name)
        if name.startswith('.') or os.path.islink(path):
            continue
        status = os.lstat(path)
        print(os.path.relpath(path, top), status.st_mtime_ns, status.st_size)
)";
        auto result = test::runPeer({ "python3", "-c", walker, folder.string() });
        ASSERT_EQ(result.exitStatus, 0);
        Workspaces::Snapshot independent;
        std::istringstream lines(result.output);
        std::string path;
        Workspaces::Entry entry;
        while (lines >> path >> entry.modified >> entry.size)
            independent[path] = entry;
        EXPECT_EQ(independent.size(), 4u);
        EXPECT_EQ(Workspaces::snapshot(folder), independent);
    }

    TEST_F(WorkspacesTest, SnapshotExaminesAtMost5000NamesInSortedDepthFirstOrder)
    {
        fs::path folder = root() / "k";
        for (const char* sub : { "a", "b" }) {
            for (int i = 0; i < 3000; ++i) {
                char name[16];
                std::snprintf(name, sizeof name, "f%04d", i);
                writeFile(folder / sub / name, "");
            }
        }
        Workspaces::Snapshot snapshot = Workspaces::snapshot(folder);
        // "a", its 3000 files, "b" and 1998 of its files make 5000 names.
        EXPECT_EQ(snapshot.size(), 4998u);
        EXPECT_TRUE(snapshot.contains("a/f2999"));
        EXPECT_TRUE(snapshot.contains("b/f1997"));
        EXPECT_FALSE(snapshot.contains("b/f1998"));
    }

    TEST_F(WorkspacesTest, WalksTolerateEntriesThatAppearAndVanishMeanwhile)
    {
        fs::path folder = workspaces().folder("k");
        writeFile(folder / "stable" / "a.txt", "aaaa");
        writeFile(folder / "stable" / "b.txt", "bb");
        std::atomic<bool> churning { true };
        std::jthread churn([&] {
            // Another caller (a run, an upload) adding and deleting trees while the walks go on.
            for (int round = 0; round < 400; ++round) {
                fs::path tree = folder / "churn" / ("t" + std::to_string(round % 7));
                std::error_code ignored;
                fs::create_directories(tree / "deep", ignored);
                std::ofstream(tree / "deep" / "CLAUDE.md") << "steer";
                std::ofstream(tree / "out.txt") << "out";
                fs::create_symlink("out.txt", tree / "link", ignored);
                fs::remove_all(tree, ignored);
            }
            churning = false;
        });
        int walks = 0;
        while (churning || walks < 3) {
            ++walks;
            Workspaces::Snapshot snapshot = Workspaces::snapshot(folder);
            ASSERT_TRUE(snapshot.contains("stable/a.txt"));
            EXPECT_EQ(snapshot["stable/b.txt"].size, 2);
            EXPECT_GE(Workspaces::usage(folder), 6);
            EXPECT_GE(Workspaces::listFiles(folder).size(), 2u);
            Workspaces::removeClaudeFiles(folder);
        }
        churn.join();
        EXPECT_EQ(Workspaces::removeClaudeFiles(folder), 0);
        EXPECT_EQ(Workspaces::usage(folder), 6);
    }

    TEST_F(WorkspacesTest, AFolderPathHoldingNULIsNeitherWalkedNorRead)
    {
        // The system would see only "…/a": its files must not be reported, removed or read.
        fs::path real = root() / "a";
        writeFile(real / "b" / "CLAUDE.md", "steer");
        writeFile(real / "file.txt", "text");
        fs::path truncated(real.native() + std::string("\0b", 2));
        EXPECT_EQ(Workspaces::usage(truncated), 0);
        EXPECT_TRUE(Workspaces::snapshot(truncated).empty());
        EXPECT_TRUE(Workspaces::listFiles(truncated).empty());
        EXPECT_EQ(Workspaces::removeClaudeFiles(truncated), 0);
        EXPECT_TRUE(fs::exists(real / "b" / "CLAUDE.md"));
        EXPECT_EQ(errorOf([&] { Workspaces::resolveReadable("file.txt", truncated); }), kNotFound);
        EXPECT_EQ(errorOf([&] { Workspaces::openReadable("file.txt", truncated); }), kNotFound);
    }

    TEST_F(WorkspacesTest, OriginTellsUploadsFromDerivedAndBotFiles)
    {
        struct Case {
            const char* path;
            const char* origin;
        } cases[] = {
            { "out.txt", "bot" },
            { "attached/report.pdf", "bot" },
            { "uploadsx/a.png", "bot" },
            { "uploads/0a1b2c3d-photo.jpg", "upload" },
            { "uploads/0a1b2c3d-photo.jpg-preview.jpg", "derived" },
            { "uploads/0a1b2c3d-clip/frame-1.jpg", "derived" },
            { "uploads/notes.txt", "upload" },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.path);
            EXPECT_EQ(Workspaces::origin(test.path), test.origin);
        }
    }

    TEST_F(WorkspacesTest, FileJSONDropsOnlyTheStoresUniquePrefix)
    {
        struct Case {
            const char* path;
            const char* name;
            const char* mime;
        } cases[] = {
            { "uploads/0a1B2c3D-photo.JPG", "photo.JPG", "image/jpeg" },
            { "uploads/0a1b2c3d-photo.jpg-preview.jpg", "0a1b2c3d-photo.jpg-preview.jpg", "image/jpeg" },
            { "uploads/0a1b2c3g-photo.jpg", "0a1b2c3g-photo.jpg", "image/jpeg" },
            { "uploads/0a1b2c3-photo.jpg", "0a1b2c3-photo.jpg", "image/jpeg" },
            { "uploads/notes", "notes", "application/octet-stream" },
            { "0a1b2c3d-bot.txt", "0a1b2c3d-bot.txt", "text/plain" },
            { "sub/dir/page.html", "page.html", "text/plain" },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.path);
            JSON full = Workspaces::fileJSON(
                test.path, 42, 1'700'000'000'999'999'999, Workspaces::FileDetail::full);
            EXPECT_EQ(stringMember(full, "fileId"), test.path);
            EXPECT_EQ(stringMember(full, "name"), test.name);
            EXPECT_EQ(stringMember(full, "mime"), test.mime);
            EXPECT_EQ(intMember(full, "size"), 42);
            // Milliseconds with the remainder dropped, never rounded up.
            EXPECT_EQ(intMember(full, "modifiedAt"), 1'700'000'000'999);
            EXPECT_EQ(stringMember(full, "origin"), Workspaces::origin(test.path));
            JSON bare = Workspaces::fileJSON(test.path, 42, 5, Workspaces::FileDetail::bare);
            ASSERT_NE(bare.objectValue(), nullptr);
            EXPECT_EQ(bare.objectValue()->size(), 4u);
            EXPECT_EQ(bare.subscript("modifiedAt"), nullptr);
        }
    }

    TEST_F(WorkspacesTest, ListFilesIsNewestFirstAndLimited)
    {
        fs::path folder = root() / "k";
        writeFile(folder / "uploads" / "0a1b2c3d-photo.jpg");
        writeFile(folder / "uploads" / "0a1b2c3d-photo.jpg-preview.jpg");
        writeFile(folder / "b-tie.txt");
        writeFile(folder / "a-tie.txt");
        writeFile(folder / ".secret");
        setModified(folder / "uploads" / "0a1b2c3d-photo.jpg", 3 * kSecond);
        setModified(folder / "uploads" / "0a1b2c3d-photo.jpg-preview.jpg", 4 * kSecond);
        setModified(folder / "b-tie.txt", 2 * kSecond);
        setModified(folder / "a-tie.txt", 2 * kSecond);

        std::vector<JSON> listed = Workspaces::listFiles(folder);
        EXPECT_EQ(fileIDs(listed),
            (std::vector<std::string> { "uploads/0a1b2c3d-photo.jpg-preview.jpg",
                "uploads/0a1b2c3d-photo.jpg", "a-tie.txt", "b-tie.txt" }));
        ASSERT_EQ(listed.size(), 4u);
        EXPECT_EQ(stringMember(listed[0], "origin"), "derived");
        EXPECT_EQ(stringMember(listed[1], "name"), "photo.jpg");
        EXPECT_EQ(stringMember(listed[1], "origin"), "upload");
        EXPECT_EQ(stringMember(listed[2], "origin"), "bot");
        EXPECT_EQ(intMember(listed[2], "modifiedAt"), 2000);

        for (int i = 0; i < 205; ++i) {
            fs::path file = folder / "many" / ("f" + std::to_string(i));
            writeFile(file);
            setModified(file, (100 + i) * kSecond);
        }
        listed = Workspaces::listFiles(folder);
        ASSERT_EQ(listed.size(), Workspaces::maxListedFiles);
        EXPECT_EQ(stringMember(listed.front(), "fileId"), "many/f204");
        EXPECT_EQ(stringMember(listed.back(), "fileId"), "many/f5");
        EXPECT_TRUE(Workspaces::listFiles(root() / "missing").empty());
    }

    TEST_F(WorkspacesTest, OutputFilesAreWhatARunCreatedOrChanged)
    {
        Workspaces::Snapshot before {
            { "same.txt", { 10, 1 } },
            { "resized.txt", { 10, 1 } },
            { "touched.txt", { 10, 1 } },
            { "deleted.txt", { 10, 1 } },
        };
        Workspaces::Snapshot after {
            { "same.txt", { 10, 1 } },
            { "resized.txt", { 10, 2 } },
            { "touched.txt", { 30, 1 } },
            { "uploads/0a1b2c3d-new.png", { 40, 1 } },
            { "attached/report.pdf", { 20, 7 } },
        };
        std::vector<JSON> output = Workspaces::outputFiles(before, after);
        EXPECT_EQ(fileIDs(output),
            (std::vector<std::string> { "touched.txt", "attached/report.pdf", "resized.txt" }));
        ASSERT_EQ(output.size(), 3u);
        EXPECT_EQ(output[1],
            JSON::object({ { "fileId", "attached/report.pdf" }, { "name", "report.pdf" },
                { "mime", "application/pdf" }, { "size", 7 } }));

        Workspaces::Snapshot many;
        for (int i = 0; i < 25; ++i)
            many["new-" + std::to_string(i)] = { 1000 + i, 1 };
        output = Workspaces::outputFiles({}, many);
        ASSERT_EQ(output.size(), Workspaces::maxOutputFiles);
        EXPECT_EQ(stringMember(output.front(), "fileId"), "new-24");
        EXPECT_EQ(stringMember(output.back(), "fileId"), "new-5");
    }

}
}
