// What the three file-backed stores share through their store file: a damaged file is kept aside,
// leftovers of killed writes go when a store opens.
#include "VellumarMacCore/ConversationData/ActivityLog.h"
#include "VellumarMacCore/ConversationData/MemoryStore.h"
#include "VellumarMacCore/ConversationData/SessionStore.h"
#include "VellumarMacCore/ConversationData/StoreFile.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <set>

#include <sys/stat.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;
    using test::namesIn;

    test::ManualClock clock;

    // One file-backed store as its owner uses it: its file below the data folder, a content it
    // reads with the text "tea" in it, the largest file it reads, and a change it saves.
    struct StoreUnderTest {
        const char* name;
        const char* file;
        std::string content;
        std::uintmax_t limitBytes;
        std::function<void(const fs::path& data)> openAndChange;
    };

    const StoreUnderTest stores[] = {
        { "session store", "sessions.json", R"({"ios-a":{"botId":"helper","summary":"tea"}})", 256u << 20,
            [](const fs::path& data) {
                SessionStore(data / "sessions.json", clock.function())
                    .recordTurn("ios-b", "helper", "hi", "hello");
            } },
        { "memory store", "memory.json", R"({"ios-a":[{"id":"m-0000000a","text":"tea","at":1}]})", 64u << 20,
            [](const fs::path& data) {
                MemoryStore(data / "memory.json", clock.function())
                    .apply("ios-b", { MemoryStore::Op::remember("coffee") });
            } },
        { "activity log", "activity/ios-a.json", R"([{"detail":"tea"}])", 32u << 20,
            [](const fs::path& data) {
                ActivityLog(data / "activity").append("ios-a", { JSON::object({ { "detail", "coffee" } }) });
            } },
    };

    TEST(StoreFile, EachStoreKeepsADamagedFileAsideBeforeItsNextWrite)
    {
        enum class Damage { cutShort, badUTF8Byte, overTheLimit };
        for (auto& store : stores) {
            for (auto damage : { Damage::cutShort, Damage::badUTF8Byte, Damage::overTheLimit }) {
                SCOPED_TRACE(
                    std::string(store.name) + ", damage " + std::to_string(static_cast<int>(damage)));
                test::TemporaryFolder data;
                fs::path file = data / store.file;
                std::string bytes = store.content;
                if (damage == Damage::cutShort)
                    bytes.resize(bytes.size() - 2);
                if (damage == Damage::badUTF8Byte)
                    bytes[bytes.find("tea") + 1] = '\xff';
                test::writeBytes(file, bytes);
                fs::permissions(file, fs::perms(0644));
                if (damage == Damage::overTheLimit) // sparse: no disk space taken
                    fs::resize_file(file, store.limitBytes + 1);

                store.openAndChange(data.path());

                auto names = namesIn(file.parent_path());
                ASSERT_EQ(names.size(), 2u);
                names.erase(file.filename());
                fs::path kept = file.parent_path() / *names.begin();
                EXPECT_TRUE(kept.filename().string().starts_with(file.filename().string() + ".damaged-"));
                EXPECT_EQ(test::modeOf(kept), 0600u);
                if (damage == Damage::overTheLimit)
                    EXPECT_EQ(fs::file_size(kept), store.limitBytes + 1);
                else
                    EXPECT_EQ(test::readFile(kept), bytes);
            }
        }
    }

    // No later read could take such an item, so it is moved out of the way like a damaged file; a
    // link goes as it is, and what it points to keeps its mode and content.
    TEST(StoreFile, EachStoreKeepsALinkFIFOOrFolderAtItsNameAsideAndSavesBesideIt)
    {
        enum class Item { link, fifo, folder };
        for (auto& store : stores) {
            for (auto item : { Item::link, Item::fifo, Item::folder }) {
                SCOPED_TRACE(std::string(store.name) + ", item " + std::to_string(static_cast<int>(item)));
                test::TemporaryFolder data;
                fs::path file = data / store.file;
                fs::path target = data / "elsewhere";
                test::writeBytes(target, store.content);
                fs::permissions(target, fs::perms(0644));
                fs::create_directories(file.parent_path());
                if (item == Item::link)
                    fs::create_symlink(target, file);
                if (item == Item::fifo) {
                    ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
                }
                if (item == Item::folder)
                    test::writeBytes(file / "inside", "kept");

                test::CapturedLog log;
                store.openAndChange(data.path());

                auto names = namesIn(file.parent_path());
                names.erase(target.filename());
                ASSERT_EQ(names.size(), 2u);
                names.erase(file.filename());
                fs::path kept = file.parent_path() / *names.begin();
                EXPECT_TRUE(kept.filename().string().starts_with(file.filename().string() + ".damaged-"));
                EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
                EXPECT_EQ(log.lines().size(), 1u);
                if (item == Item::link) {
                    EXPECT_EQ(fs::read_symlink(kept), target);
                }
                if (item == Item::fifo) {
                    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(kept)));
                    EXPECT_EQ(test::modeOf(kept), 0600u);
                }
                if (item == Item::folder) {
                    EXPECT_EQ(test::readFile(kept / "inside"), "kept");
                    EXPECT_EQ(test::modeOf(kept), 0700u);
                }
                EXPECT_EQ(test::readFile(target), store.content);
                EXPECT_EQ(test::modeOf(target), 0644u);
            }
        }
    }

    TEST(StoreFile, AKeptFileNeverReplacesAnEarlierOne)
    {
        test::TemporaryFolder data;
        std::vector<std::string> kept;
        for (std::string content : { "first", "second", "third" }) {
            test::writeBytes(data / "memory.json", content);
            auto location
                = detail::keepDamagedStoreFile(data / "memory.json", clock.now + std::chrono::seconds(2045));
            kept.push_back(location.value_or("none").filename().string());
        }
        EXPECT_EQ(std::set<std::string>(kept.begin(), kept.end()).size(), 3u);
        for (const auto& name : kept)
            EXPECT_TRUE(
                std::regex_match(name, std::regex(R"(memory\.json\.damaged-20250301T003405Z-[0-9a-f]{8})")))
                << name;
    }

    TEST(StoreFile, OpeningAStoreRemovesItsKilledWritesTemporariesAndNothingElse)
    {
        test::TemporaryFolder data;
        const std::set<std::string> removed { ".sessions.json.0123abcd", ".memory.json.89abcdef",
            "activity/.ios-a.json.0123abcd" };
        const std::set<std::string> kept { ".sessions.json.0123ABCD", ".sessions.json.0123abcde",
            "sessions.json.0123abcd", ".sessions.json.0123abcd.x", "memory.json.damaged-20250301T000000Z",
            "activity/.ios-a.txt.0123abcd", "activity/ios-a.json" };
        for (auto* names : { &removed, &kept }) {
            for (auto& name : *names)
                test::writeBytes(data / name, "private");
        }
        SessionStore(data / "sessions.json", clock.function());
        MemoryStore(data / "memory.json", clock.function());
        ActivityLog(data / "activity");
        for (auto& name : removed)
            EXPECT_FALSE(fs::exists(data / name)) << name;
        for (auto& name : kept)
            EXPECT_TRUE(fs::exists(data / name)) << name;
    }

}
}
