// What the three file-backed stores share through their store file: a damaged file is kept aside,
// leftovers of killed writes go when a store opens, and a failed write leaves a log line.
#include "VellumarMacCore/ConversationData/ActivityLog.h"
#include "VellumarMacCore/ConversationData/MemoryStore.h"
#include "VellumarMacCore/ConversationData/SessionStore.h"
#include "VellumarMacCore/ConversationData/StoreFile.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sys/stat.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;

    // One file-backed store as its owner uses it: its file below the data folder, a content it
    // reads with the text "tea" in it, how large a file it reads at most, and a change it saves.
    struct StoreUnderTest {
        const char* name;
        const char* file;
        std::string content;
        std::uintmax_t limitBytes;
        // Opens the store over the data folder, reads what the change needs and saves the change;
        // answers whether the change is in the file afterwards.
        std::function<bool(const fs::path& data)> openAndChange;
    };

    test::ManualClock clock;

    std::vector<StoreUnderTest> stores()
    {
        return {
            { "session store", "sessions.json", R"({"ios-a":{"botId":"helper","summary":"tea"}})", 256u << 20,
                [](const fs::path& data) {
                    SessionStore store(data / "sessions.json", clock.function());
                    store.recordTurn("ios-b", "helper", "hi", "hello");
                    // Read back from the file, not from the store's memory.
                    return SessionStore(data / "sessions.json", clock.function())
                        .entry("ios-b", "helper")
                        .has_value();
                } },
            { "memory store", "memory.json", R"({"ios-a":[{"id":"m-0000000a","text":"tea","at":1}]})",
                64u << 20,
                [](const fs::path& data) {
                    MemoryStore store(data / "memory.json", clock.function());
                    store.apply("ios-b", { MemoryStore::Op::remember("coffee") });
                    return store.memories("ios-b").size() == 1;
                } },
            { "activity log", "activity/ios-a.json", R"([{"detail":"tea"}])", 32u << 20,
                [](const fs::path& data) {
                    ActivityLog log(data / "activity");
                    log.append("ios-a", { JSON::object({ { "detail", "coffee" } }) });
                    return log.entries("ios-a").size() == 1;
                } },
        };
    }

    void writeBytes(const fs::path& file, std::string_view bytes)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
    }

    std::set<std::string> namesIn(const fs::path& folder)
    {
        std::set<std::string> names;
        for (auto& item : fs::directory_iterator(folder))
            names.insert(item.path().filename().string());
        return names;
    }

    unsigned modeOf(const fs::path& file)
    {
        struct stat status { };
        return ::stat(file.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
    }

    TEST(StoreFile, EachStoreKeepsADamagedFileAsideBeforeItsNextWrite)
    {
        enum class Damage { cutShort, badUTF8Byte, overTheLimit, anotherKind };
        const std::pair<const char*, Damage> damages[] = {
            { "cut short", Damage::cutShort },
            { "one byte not UTF-8", Damage::badUTF8Byte },
            { "over the size limit", Damage::overTheLimit },
            { "a JSON text in place of the store's kind", Damage::anotherKind },
        };
        for (auto& store : stores()) {
            for (auto [damageName, damage] : damages) {
                SCOPED_TRACE(std::string(store.name) + ", " + damageName);
                test::TemporaryFolder data;
                fs::path file = data / store.file;
                std::string bytes = store.content;
                if (damage == Damage::cutShort)
                    bytes.resize(bytes.size() - 2);
                else if (damage == Damage::badUTF8Byte)
                    bytes[bytes.find("tea") + 1] = '\xff';
                else if (damage == Damage::anotherKind)
                    bytes = R"("tea")";
                writeBytes(file, bytes);
                ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
                if (damage == Damage::overTheLimit) // sparse: no disk space taken
                    fs::resize_file(file, store.limitBytes + 1);
                test::CapturedLog log;

                EXPECT_TRUE(store.openAndChange(data.path()));

                auto names = namesIn(file.parent_path());
                ASSERT_EQ(names.size(), 2u);
                std::string kept = *names.begin() == file.filename() ? *names.rbegin() : *names.begin();
                std::string prefix = file.filename().string() + ".damaged-";
                ASSERT_TRUE(kept.starts_with(prefix)) << kept;
                EXPECT_TRUE(std::regex_match(kept.substr(prefix.size()), std::regex("[0-9]{8}T[0-9]{6}Z")))
                    << kept;
                fs::path keptFile = file.parent_path() / kept;
                EXPECT_EQ(modeOf(keptFile), 0600u);
                if (damage == Damage::overTheLimit)
                    EXPECT_EQ(fs::file_size(keptFile), store.limitBytes + 1);
                else
                    EXPECT_EQ(test::readFile(keptFile), bytes);
                ASSERT_EQ(log.lines().size(), 1u);
                EXPECT_NE(log.lines()[0].find(keptFile.string()), std::string::npos) << log.lines()[0];
            }
        }
    }

    TEST(StoreFile, AKeptFileNeverReplacesAnEarlierOne)
    {
        test::TemporaryFolder data;
        const auto now = clock.now + std::chrono::seconds(34 * 60 + 5);
        std::vector<std::string> kept;
        for (std::string content : { "first", "second", "third" }) {
            writeBytes(data / "memory.json", content);
            auto location = detail::keepDamagedStoreFile(data / "memory.json", now);
            ASSERT_TRUE(location);
            kept.push_back(location->filename().string());
            EXPECT_EQ(test::readFile(*location), content);
        }
        EXPECT_EQ(kept,
            (std::vector<std::string> { "memory.json.damaged-20250301T003405Z",
                "memory.json.damaged-20250301T003405Z-2", "memory.json.damaged-20250301T003405Z-3" }));
        EXPECT_EQ(test::readFile(data / kept[0]), "first");
    }

    TEST(StoreFile, OpeningAStoreRemovesItsKilledWritesTemporariesAndNothingElse)
    {
        struct Case {
            const char* store;
            const char* folder;
            std::function<void(const fs::path& data)> open;
            std::vector<std::string> removed;
            std::vector<std::string> kept;
        };
        const Case cases[] = {
            { "session store", "",
                [](const fs::path& data) { SessionStore(data / "sessions.json", clock.function()); },
                { ".sessions.json.0123abcd", ".sessions.json.ffffffff" },
                { ".memory.json.0123abcd", ".sessions.json.0123ABCD", ".sessions.json.0123abc",
                    ".sessions.json.0123abcde", "sessions.json.0123abcd", ".sessions.json.0123abcd.x",
                    ".sessions.json-0123abcd", "..sessions.json.0123abcd" } },
            { "memory store", "",
                [](const fs::path& data) { MemoryStore(data / "memory.json", clock.function()); },
                { ".memory.json.89abcdef" },
                { ".sessions.json.0123abcd", ".memory.json.0123abcg",
                    "memory.json.damaged-20250301T000000Z" } },
            { "activity log", "activity", [](const fs::path& data) { ActivityLog(data / "activity"); },
                { ".ios-a.json.0123abcd", ".ios-b_c.json.00000000" },
                { ".ios-a.txt.0123abcd", ".json.0123abcd", "ios-a.json", ".ios-a.json.0123abcd.json" } },
        };
        for (auto& testCase : cases) {
            SCOPED_TRACE(testCase.store);
            test::TemporaryFolder data;
            fs::path folder = data / testCase.folder;
            for (auto* names : { &testCase.removed, &testCase.kept }) {
                for (auto& name : *names)
                    writeBytes(folder / name, "private");
            }
            testCase.open(data.path());
            EXPECT_EQ(namesIn(folder), std::set<std::string>(testCase.kept.begin(), testCase.kept.end()));
        }
    }

    TEST(StoreFile, AFailedWriteOfEachStoreLeavesOneLogLine)
    {
        for (auto& store : stores()) {
            SCOPED_TRACE(store.name);
            test::TemporaryFolder data;
            fs::path file = data / store.file;
            // No write can rename a file over a folder.
            fs::create_directories(file / "inside");
            test::CapturedLog log;
            EXPECT_FALSE(store.openAndChange(data.path()));
            ASSERT_EQ(log.lines().size(), 1u);
            EXPECT_NE(log.lines()[0].find(file.string() + " was not saved"), std::string::npos)
                << log.lines()[0];
            EXPECT_EQ(namesIn(file.parent_path()), std::set<std::string> { file.filename() });
        }
    }

}
}
