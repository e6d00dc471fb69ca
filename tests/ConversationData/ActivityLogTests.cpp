#include "VellumarMacCore/ConversationData/ActivityLog.h"

#include "tests/ConversationData/Concurrently.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;

    constexpr std::string_view key = "ios-device:conversation";

    class ActivityLogTest : public ::testing::Test {
    protected:
        fs::path folder() const { return m_root / "data" / "activity"; }
        fs::path file() const { return folder() / "ios-device_conversation.json"; }
        test::TemporaryFolder m_root;
        ActivityLog m_log { folder() };
    };

    TEST_F(ActivityLogTest, KeepsAPrivateCanonicalArrayListedNewestFirstUntilCleared)
    {
        m_log.append(
            key, { JSON::object({ { "target", "/tmp/a b" }, { "at", 1700000000123 }, { "n", 1 } }) });
        m_log.append(key, { JSON::object({ { "n", 2 } }) });
        EXPECT_EQ(test::modeOf(file()), 0600u);
        // Python's own canonical form of the same document: sorted keys, no spaces, "/" unescaped.
        auto content = test::readFile(file());
        auto peer = test::runPeer({ "python3", "-c",
                                      "import json, sys\n"
                                      "sys.stdout.write(json.dumps(json.load(sys.stdin), sort_keys=True,"
                                      " separators=(',', ':'), ensure_ascii=False))\n" },
            content);
        ASSERT_EQ(peer.exitStatus, 0);
        EXPECT_EQ(peer.output, content);
        EXPECT_TRUE(m_log.clear(key));
        EXPECT_FALSE(fs::exists(file()));
    }

    TEST_F(ActivityLogTest, KeysWhoseFileWouldLeaveTheFolderHaveNoLog)
    {
        // Files a careless path would reach: the folder's own name, a file beside it, a cut-off name.
        test::writeBytes(m_root / "data" / "activity.json", R"([{"n": 1}])");
        test::writeBytes(m_root / "data" / "escape.json", R"([{"n": 2}])");
        test::writeBytes(folder() / "ios-x.json", R"([{"n": 3}])");
        auto before = std::pair(test::namesIn(m_root / "data"), test::namesIn(folder()));
        for (const std::string& unsafe :
            { std::string(".."), std::string("../escape"), std::string("ios-x\0y", 7) }) {
            SCOPED_TRACE(unsafe);
            m_log.append(unsafe, { JSON::object({ { "n", 9 } }) });
            EXPECT_TRUE(m_log.entries(unsafe).empty());
            EXPECT_FALSE(m_log.clear(unsafe));
            EXPECT_EQ(std::pair(test::namesIn(m_root / "data"), test::namesIn(folder())), before);
        }
    }

    TEST_F(ActivityLogTest, OneEntryPastTheCapDropsTheOldest)
    {
        std::vector<JSON> entries;
        for (std::size_t index = 0; index < ActivityLog::maxEntries; ++index)
            entries.push_back(JSON::object({ { "n", static_cast<std::int64_t>(index) } }));
        m_log.append(key, entries);
        ASSERT_EQ(m_log.entries(key).size(), ActivityLog::maxEntries);
        m_log.append(key, { JSON::object({ { "n", 500 } }) });
        auto log = m_log.entries(key);
        ASSERT_EQ(log.size(), ActivityLog::maxEntries);
        EXPECT_EQ(log.front().subscript("n")->intValue(), 500);
        EXPECT_EQ(log.back().subscript("n")->intValue(), 1);
    }

    TEST_F(ActivityLogTest, ConcurrentAppendsKeepTheNewest500OfEveryWriterInOrder)
    {
        constexpr int perThread = 100;
        test::concurrently(8, [&](int thread) {
            for (int index = 0; index < perThread; ++index)
                m_log.append(key, { JSON::object({ { "thread", thread }, { "n", index } }) });
        });
        auto log = m_log.entries(key);
        ASSERT_EQ(log.size(), ActivityLog::maxEntries);
        // The oldest went first, so what is left of each writer is the end of its own sequence.
        std::vector<std::vector<std::int64_t>> kept(8);
        for (auto element = log.rbegin(); element != log.rend(); ++element)
            kept[*element->subscript("thread")->intValue()].push_back(*element->subscript("n")->intValue());
        for (auto& sequence : kept) {
            for (std::size_t index = 0; index < sequence.size(); ++index)
                EXPECT_EQ(sequence[index], perThread - static_cast<std::int64_t>(sequence.size() - index));
        }
    }

}
}
