#include "VellumarMacCore/ConversationData/ActivityLog.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace vellumar {
namespace {

    constexpr std::string_view key = "ios-device:conversation";

    JSON entry(int number) { return JSON::object({ { "tool", "Bash" }, { "n", number } }); }

    std::vector<JSON> entries(int first, int last)
    {
        std::vector<JSON> made;
        for (int number = first; number <= last; ++number)
            made.push_back(entry(number));
        return made;
    }

    std::vector<int> numbers(const std::vector<JSON>& log)
    {
        std::vector<int> result;
        for (auto& element : log)
            result.push_back(static_cast<int>(*element.subscript("n")->intValue()));
        return result;
    }

    std::vector<int> range(int first, int last)
    {
        std::vector<int> result;
        for (int number = first; number <= last; ++number)
            result.push_back(number);
        return result;
    }

    // Every file and folder below `root`, relative to it.
    std::vector<std::string> tree(const std::filesystem::path& root)
    {
        std::vector<std::string> paths;
        for (auto& item : std::filesystem::recursive_directory_iterator(root))
            paths.push_back(std::filesystem::relative(item.path(), root).string());
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    class ActivityLogTest : public ::testing::Test {
    protected:
        std::filesystem::path folder() const { return m_root / "data" / "activity"; }
        std::filesystem::path file() const { return folder() / "ios-device_conversation.json"; }

        test::TemporaryFolder m_root;
        ActivityLog m_log { folder() };
    };

    TEST_F(ActivityLogTest, AppendingNothingCreatesNothing)
    {
        m_log.append(key, {});
        EXPECT_FALSE(std::filesystem::exists(m_root / "data"));
    }

    TEST_F(ActivityLogTest, TheFileIsAPrivateCanonicalArrayInAPrivateFolder)
    {
        m_log.append(
            key, { JSON::object({ { "tool", "Read" }, { "target", "/tmp/a b" }, { "at", 1700000000123 } }) });
        struct stat status { };
        ASSERT_EQ(stat(file().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u);
        ASSERT_EQ(stat(folder().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0700u);

        // Python's own canonical form of the same document: sorted keys, no spaces, "/" unescaped.
        auto content = test::readFile(file());
        auto peer = test::runPeer({ "python3", "-c",
                                      "import json, sys\n"
                                      "text = sys.stdin.read()\n"
                                      "sys.stdout.write(json.dumps(json.loads(text), sort_keys=True,"
                                      " separators=(',', ':'), ensure_ascii=False))\n" },
            content);
        ASSERT_EQ(peer.exitStatus, 0);
        EXPECT_EQ(peer.output, content);
    }

    TEST_F(ActivityLogTest, OnlyTheNewest500AreKept)
    {
        struct Case {
            const char* name;
            int stored;
            int appended;
            std::vector<int> kept;
        };
        const Case cases[] = {
            { "499 and 3 more", 499, 3, range(3, 502) },
            { "600 at once", 0, 600, range(101, 600) },
            { "exactly 500", 0, 500, range(1, 500) },
        };
        for (auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            m_log.clear(key);
            if (testCase.stored > 0)
                m_log.append(key, entries(1, testCase.stored));
            m_log.append(key, entries(testCase.stored + 1, testCase.stored + testCase.appended));
            auto stored = m_log.withLock([&] { return m_log.load(key); });
            EXPECT_EQ(numbers(stored), testCase.kept);
        }
    }

    TEST_F(ActivityLogTest, ListingShowsTheNewestFirst)
    {
        m_log.append(key, { entry(1), entry(2) });
        m_log.append(key, { entry(3) });
        EXPECT_EQ(numbers(m_log.entries(key)), (std::vector<int> { 3, 2, 1 }));
        EXPECT_TRUE(m_log.entries("ios-other").empty());
    }

    TEST_F(ActivityLogTest, KeysThatDifferOnlyByColonOrUnderscoreShareOneFile)
    {
        m_log.append("ios-a:b", { entry(1) });
        m_log.append("ios-a_b", { entry(2) });
        EXPECT_EQ(tree(folder()), (std::vector<std::string> { "ios-a_b.json" }));
        EXPECT_EQ(numbers(m_log.entries("ios-a:b")), (std::vector<int> { 2, 1 }));
    }

    TEST_F(ActivityLogTest, UnusableFilesListAsEmptyAndAreReplacedByTheNextAppend)
    {
        struct Case {
            const char* name;
            std::string content;
            std::vector<int> afterAppend;
        };
        const Case cases[] = {
            { "object", R"({"n": 1})", { 9 } },
            { "not JSON", "[{\"n\": 1}", { 9 } },
            { "non-object elements", R"([1, "two", null, {"n": 4}, [5]])", { 4, 9 } },
        };
        std::filesystem::create_directories(folder());
        for (auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            std::ofstream(file(), std::ios::trunc) << testCase.content;
            auto listed = m_log.entries(key);
            EXPECT_EQ(listed.size(), testCase.afterAppend.size() - 1);
            m_log.append(key, { entry(9) });
            EXPECT_EQ(numbers(m_log.withLock([&] { return m_log.load(key); })), testCase.afterAppend);
            EXPECT_TRUE(JSON::decode(test::readFile(file()))->arrayValue());
        }
    }

    TEST_F(ActivityLogTest, AFileFarLargerThanAnyLogIsNotReadIntoMemory)
    {
        std::filesystem::create_directories(folder());
        std::ofstream(file()) << "[";
        // Sparse: a gigabyte on paper, no disk space taken.
        std::filesystem::resize_file(file(), std::uintmax_t { 1 } << 30);
        EXPECT_TRUE(m_log.entries(key).empty());
    }

    TEST_F(ActivityLogTest, ClearingTellsWhetherALogWasRemoved)
    {
        EXPECT_FALSE(m_log.clear(key));
        m_log.append(key, { entry(1) });
        EXPECT_TRUE(m_log.clear(key));
        EXPECT_FALSE(std::filesystem::exists(file()));
        EXPECT_FALSE(m_log.clear(key));
        EXPECT_TRUE(m_log.entries(key).empty());
    }

    TEST_F(ActivityLogTest, KeysWhoseFileWouldLeaveTheFolderHaveNoLog)
    {
        std::filesystem::create_directories(folder());
        // Files a careless path would reach: the folder's own name, and a file beside the folder.
        std::ofstream(m_root / "data" / "activity.json") << R"([{"n": 1}])";
        std::ofstream(m_root / "data" / "escape.json") << R"([{"n": 2}])";
        std::ofstream(folder() / "ios-x.json") << R"([{"n": 3}])";
        auto before = tree(m_root.path());
        const std::string cases[]
            = { "", ".", "..", "../escape", "ios-a/b", "/", std::string("ios-x\0y", 7) };
        for (auto& unsafe : cases) {
            SCOPED_TRACE(unsafe);
            m_log.append(unsafe, { entry(9) });
            EXPECT_TRUE(m_log.entries(unsafe).empty());
            EXPECT_TRUE(m_log.withLock([&] { return m_log.load(unsafe); }).empty());
            EXPECT_FALSE(m_log.clear(unsafe));
            EXPECT_EQ(tree(m_root.path()), before);
        }
        EXPECT_EQ(test::readFile(m_root / "data" / "escape.json"), R"([{"n": 2}])");
        // Names that merely contain dots are ordinary keys.
        m_log.append("ios-a..b", { entry(4) });
        EXPECT_TRUE(std::filesystem::exists(folder() / "ios-a..b.json"));
    }

    TEST_F(ActivityLogTest, AFailedWriteIsNotReportedAndLosesOnlyTheNewEntries)
    {
        // The data folder's place is taken by a regular file, which no privilege writes through.
        std::ofstream(m_root / "data") << "not a folder";
        m_log.append(key, { entry(1) });
        EXPECT_TRUE(m_log.entries(key).empty());
        EXPECT_FALSE(m_log.clear(key));
    }

    TEST_F(ActivityLogTest, WithoutAFolderTheLogLivesInMemory)
    {
        ActivityLog log(std::nullopt);
        log.append(key, entries(1, 501));
        EXPECT_EQ(log.entries(key).size(), ActivityLog::maxEntries);
        EXPECT_EQ(numbers(log.entries(key)).front(), 501);
        EXPECT_TRUE(log.clear(key));
        EXPECT_FALSE(log.clear(key));
        EXPECT_TRUE(std::filesystem::is_empty(m_root.path()));
    }

    TEST_F(ActivityLogTest, ConcurrentAppendsKeepTheNewestEntriesOfEveryWriterInOrder)
    {
        constexpr int threads = 8;
        constexpr int perThread = 100;
        {
            std::vector<std::jthread> writers;
            for (int thread = 0; thread < threads; ++thread) {
                writers.emplace_back([this, thread] {
                    for (int index = 0; index < perThread; ++index) {
                        m_log.append(key, { JSON::object({ { "thread", thread }, { "n", index } }) });
                        (void)m_log.entries(key);
                    }
                });
            }
        }
        auto peer = test::runPeer({ "python3", "-c",
                                      "import json, sys\n"
                                      "print(len(json.load(sys.stdin)))\n" },
            test::readFile(file()));
        ASSERT_EQ(peer.exitStatus, 0);
        EXPECT_EQ(peer.output, "500\n");

        // The oldest went first, so what is left of each writer is the end of its own sequence.
        std::vector<std::vector<int>> kept(threads);
        for (auto& element : m_log.withLock([&] { return m_log.load(key); }))
            kept[*element.subscript("thread")->intValue()].push_back(
                static_cast<int>(*element.subscript("n")->intValue()));
        for (int thread = 0; thread < threads; ++thread) {
            SCOPED_TRACE(thread);
            if (!kept[thread].empty()) {
                EXPECT_EQ(
                    kept[thread], range(perThread - static_cast<int>(kept[thread].size()), perThread - 1));
            }
        }
    }

}
}
