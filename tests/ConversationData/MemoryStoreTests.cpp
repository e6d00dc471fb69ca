#include "VellumarMacCore/ConversationData/MemoryStore.h"

#include "VellumarMacCore/Foundations/Redaction.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/ConversationData/ErrorPrinting.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>

namespace vellumar {
namespace {

    using namespace std::chrono_literals;

    constexpr std::string_view key = "ios-device:conversation";

    std::int64_t milliseconds(std::chrono::system_clock::time_point time)
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    }

    std::vector<std::string> texts(const std::vector<JSON>& memories)
    {
        std::vector<std::string> result;
        for (auto& memory : memories)
            result.push_back(*memory.subscript("text")->stringValue());
        return result;
    }

    std::vector<MemoryStore::Op> remembering(std::initializer_list<const char*> items)
    {
        std::vector<MemoryStore::Op> operations;
        for (auto* text : items)
            operations.push_back(MemoryStore::Op::remember(text));
        return operations;
    }

    // Every write replaces the file by renaming a new one over it, so an unchanged inode means
    // nothing was written.
    ino_t inode(const std::filesystem::path& file)
    {
        struct stat status { };
        return stat(file.c_str(), &status) == 0 ? status.st_ino : 0;
    }

    JSON item(JSON id, std::string text)
    {
        return id.isNull() ? JSON::object({ { "text", JSON(std::move(text)) } })
                           : JSON::object({ { "id", std::move(id) }, { "text", JSON(std::move(text)) } });
    }

    class MemoryStoreTest : public ::testing::Test {
    protected:
        std::filesystem::path file() const { return m_folder / "memory.json"; }

        // Runs `replace` and gives the error it threw, failing the test when it threw none.
        RelayHTTPError replaceError(const std::optional<JSON>& items)
        {
            try {
                m_store.replace(key, items);
            } catch (const RelayHTTPError& error) {
                return error;
            }
            ADD_FAILURE() << "replace did not fail";
            return RelayHTTPError(0, "", "");
        }

        test::TemporaryFolder m_folder;
        test::ManualClock m_clock;
        MemoryStore m_store { file(), m_clock.function() };
    };

    TEST_F(MemoryStoreTest, RememberedMemoriesAreStoredWithAnIDTextAndMilliseconds)
    {
        m_clock.now += 1234ms;
        auto changes = m_store.apply(key, remembering({ "Likes tea", "Lives in Oslo" }));
        EXPECT_EQ(changes, (MemoryStore::Changes { { "Likes tea", "Lives in Oslo" }, {} }));

        struct stat status { };
        ASSERT_EQ(stat(file().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u);

        auto peer = test::runPeer({ "python3", "-c",
                                      "import json, re, sys\n"
                                      "data = json.load(sys.stdin)\n"
                                      "for key, items in data.items():\n"
                                      "    for item in items:\n"
                                      "        assert sorted(item) == ['at', 'id', 'text'], item\n"
                                      "        assert re.fullmatch('m-[0-9a-f]{8}', item['id']), item\n"
                                      "        assert type(item['at']) is int, item\n"
                                      "        print(key, item['at'], item['text'])\n" },
            test::readFile(file()));
        ASSERT_EQ(peer.exitStatus, 0);
        auto at = std::to_string(milliseconds(m_clock.now));
        EXPECT_EQ(peer.output,
            std::string(key) + " " + at + " Likes tea\n" + std::string(key) + " " + at + " Lives in Oslo\n");

        auto memories = m_store.memories(key);
        ASSERT_EQ(memories.size(), 2u);
        EXPECT_NE(memories[0].subscript("id"), memories[1].subscript("id"));
        EXPECT_TRUE(m_store.memories("ios-other").empty());
    }

    TEST_F(MemoryStoreTest, CreationTimesRoundToTheNearestMillisecondWithHalvesAwayFromZero)
    {
        struct Case {
            const char* name;
            std::chrono::nanoseconds sinceEpoch;
            std::int64_t at;
        };
        const Case cases[] = {
            { "just below a half", 1'000'499'999ns, 1000 },
            { "a half", 1'000'500'000ns, 1001 },
            { "whole", 2'000'000'000ns, 2000 },
            { "before 1970, a half", -1'000'500'000ns, -1001 },
            { "before 1970, below a half", -1'000'499'999ns, -1000 },
        };
        for (auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            m_clock.now = std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(testCase.sinceEpoch));
            MemoryStore store(std::nullopt, m_clock.function());
            store.apply(key, remembering({ "fact" }));
            EXPECT_EQ(*store.memories(key).at(0).subscript("at"), JSON(testCase.at));
        }
    }

    TEST_F(MemoryStoreTest, RememberingAStoredTextAddsNothingAndWritesNothing)
    {
        m_store.apply(key, remembering({ "Likes tea" }));
        auto before = inode(file());
        EXPECT_EQ(m_store.apply(key, remembering({ "Likes tea" })), MemoryStore::Changes {});
        // Canonically equivalent spellings are the same fact.
        m_store.apply(key, remembering({ "Caf\xC3\xA9" }));
        before = inode(file());
        EXPECT_EQ(m_store.apply(key, remembering({ "Cafe\xCC\x81" })), MemoryStore::Changes {});
        EXPECT_EQ(inode(file()), before);
        EXPECT_EQ(m_store.memories(key).size(), 2u);
    }

    TEST_F(MemoryStoreTest, AFullListLetsTheOldestGo)
    {
        std::vector<MemoryStore::Op> stored;
        for (int index = 1; index <= 29; ++index)
            stored.push_back(MemoryStore::Op::remember("fact " + std::to_string(index)));
        m_store.apply(key, stored);

        auto changes = m_store.apply(key, remembering({ "new 1", "new 2", "new 3" }));
        EXPECT_EQ(changes, (MemoryStore::Changes { { "new 1", "new 2", "new 3" }, { "fact 1", "fact 2" } }));
        auto memories = texts(m_store.memories(key));
        ASSERT_EQ(memories.size(), MemoryStore::maxItems);
        EXPECT_EQ(memories.front(), "fact 3");
        EXPECT_EQ(std::vector(memories.end() - 3, memories.end()),
            (std::vector<std::string> { "new 1", "new 2", "new 3" }));
    }

    TEST_F(MemoryStoreTest, ForgettingRemovesByIDAndOperationsApplyInOrder)
    {
        m_store.apply(key, remembering({ "Likes tea", "Has a cat" }));
        auto original = m_store.memories(key);
        auto teaID = *original[0].subscript("id")->stringValue();

        auto before = inode(file());
        EXPECT_EQ(m_store.apply(key, { MemoryStore::Op::forget("m-00000000") }), MemoryStore::Changes {});
        EXPECT_EQ(inode(file()), before);

        m_clock.now += 5s;
        auto changes
            = m_store.apply(key, { MemoryStore::Op::forget(teaID), MemoryStore::Op::remember("Likes tea") });
        EXPECT_EQ(changes, (MemoryStore::Changes { { "Likes tea" }, { "Likes tea" } }));
        auto memories = m_store.memories(key);
        EXPECT_EQ(texts(memories), (std::vector<std::string> { "Has a cat", "Likes tea" }));
        EXPECT_NE(*memories[1].subscript("id"), JSON(teaID));
        EXPECT_EQ(*memories[1].subscript("at"), JSON(milliseconds(m_clock.now)));
    }

    TEST_F(MemoryStoreTest, TheFileIsReadWithoutCheckingMemoriesButOnlyListsOfObjectsCount)
    {
        std::ofstream(file())
            << R"({"ios-a": [{"id": "m-0000000a", "text": "kept"}, "text", 3, {"note": "odd"}],
            "ios-b": {"id": "m-0000000b"}, "ios-c": "x"})";
        EXPECT_EQ(m_store.memories("ios-a"),
            (std::vector<JSON> { JSON::object({ { "id", "m-0000000a" }, { "text", "kept" } }),
                JSON::object({ { "note", "odd" } }) }));
        EXPECT_TRUE(m_store.memories("ios-b").empty());

        m_store.apply("ios-d", remembering({ "new" }));
        auto document = JSON::decode(test::readFile(file()));
        ASSERT_TRUE(document && document->objectValue());
        EXPECT_EQ(document->objectValue()->size(), 2u);
        EXPECT_EQ(document->subscript("ios-a")->arrayValue()->size(), 2u);
    }

    TEST_F(MemoryStoreTest, ReplaceRefusesAListThatIsMissingOrTooLong)
    {
        JSON::Array tooMany(31, item(JSON(), "fact"));
        const std::pair<const char*, std::optional<JSON>> cases[] = {
            { "absent", std::nullopt },
            { "object", JSON::object({ { "text", "x" } }) },
            { "null", JSON() },
            { "31 items", JSON(tooMany) },
        };
        for (auto& [name, items] : cases) {
            SCOPED_TRACE(name);
            EXPECT_EQ(replaceError(items), RelayHTTPError::badRequest("items must be a list of at most 30."));
        }
        EXPECT_FALSE(std::filesystem::exists(file()));
        EXPECT_EQ(m_store.replace(key, JSON(JSON::Array(30, item(JSON(), "fact")))).size(), 30u);
    }

    TEST_F(MemoryStoreTest, ReplaceRefusesBadItemsAndKeepsTheStoredList)
    {
        m_store.apply(key, remembering({ "Likes tea" }));
        auto stored = m_store.memories(key);
        const auto shape = RelayHTTPError::badRequest(R"(Each item must be {"id": "m-...", "text": "..."}.)");
        const auto length = RelayHTTPError::badRequest("Each memory must be 1 to 200 characters.");
        const auto badID = RelayHTTPError::badRequest("A memory ID is not valid.");
        struct Case {
            const char* name;
            JSON item;
            RelayHTTPError error;
        };
        const Case cases[] = {
            { "third member", JSON::object({ { "id", JSON() }, { "text", "x" }, { "at", 1 } }), shape },
            { "empty object", JSON::Object {}, shape },
            { "only an id", JSON::object({ { "id", "m-0000000a" } }), shape },
            { "text not a string", JSON::object({ { "text", 5 } }), shape },
            { "plain string", "Likes tea", shape },
            { "blank text", item(JSON(), " \t\n "), length },
            { "201 characters", item(JSON(), std::string(201, 'x')), length },
            { "control character", item(JSON(), "bell\x07"), length },
            { "upper-case id", item("m-0000000A", "x"), badID },
            { "short id", item("m-0000000", "x"), badID },
            { "number id", item(12345678, "x"), badID },
            { "boolean id", item(true, "x"), badID },
            { "object id", item(JSON::Object {}, "x"), badID },
        };
        for (auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            // The bad item comes after a good one: nothing of the list is kept.
            EXPECT_EQ(replaceError(JSON::array({ item(JSON(), "good"), testCase.item })), testCase.error);
            EXPECT_EQ(m_store.memories(key), stored);
        }
    }

    TEST_F(MemoryStoreTest, ReplaceKeepsKnownIDsOnceAndGivesEveryOtherItemANewOne)
    {
        m_store.apply(key, remembering({ "Likes tea", "Has a cat" }));
        auto original = m_store.memories(key);
        auto teaID = *original[0].subscript("id");
        auto teaAt = *original[0].subscript("at");
        m_clock.now += 1h;

        auto result = m_store.replace(key,
            JSON::array({
                item(teaID, "  Likes   green\ttea "),
                item(teaID, "Likes tea twice"),
                item("m-abcdef01", "Unknown id"),
                item(JSON(), "No id"),
                JSON::object({ { "id", JSON() }, { "text", "Null id" } }),
            }));
        ASSERT_EQ(result.size(), 5u);
        EXPECT_EQ(
            result[0], JSON::object({ { "id", teaID }, { "text", "Likes green tea" }, { "at", teaAt } }));
        std::set<std::string> ids;
        for (std::size_t index = 1; index < result.size(); ++index) {
            SCOPED_TRACE(index);
            auto id = *result[index].subscript("id")->stringValue();
            EXPECT_TRUE(isMemoryID(id));
            EXPECT_NE(JSON(id), teaID);
            EXPECT_NE(id, "m-abcdef01");
            EXPECT_EQ(*result[index].subscript("at"), JSON(milliseconds(m_clock.now)));
            ids.insert(id);
        }
        EXPECT_EQ(ids.size(), 4u);
        EXPECT_EQ(m_store.memories(key), result);
    }

    TEST_F(MemoryStoreTest, ReplaceKeepsAStoredTimeWhateverItsKindAndStampsOneThatIsMissing)
    {
        std::ofstream(file()) << R"({"ios-a": [{"id": "m-0000000a", "text": "a", "at": "yesterday"},
            {"id": "m-0000000b", "text": "b"}]})";
        auto result
            = m_store.replace("ios-a", JSON::array({ item("m-0000000a", "a"), item("m-0000000b", "b") }));
        EXPECT_EQ(*result[0].subscript("at"), JSON("yesterday"));
        EXPECT_EQ(*result[1].subscript("at"), JSON(milliseconds(m_clock.now)));
    }

    TEST_F(MemoryStoreTest, EmptyListsAreNeverWritten)
    {
        m_store.apply("ios-a", remembering({ "a" }));
        m_store.apply("ios-b", remembering({ "b" }));
        EXPECT_TRUE(m_store.replace("ios-a", JSON(JSON::Array {})).empty());
        auto document = JSON::decode(test::readFile(file()));
        ASSERT_TRUE(document);
        EXPECT_EQ(document->subscript("ios-a"), nullptr);

        m_store.clear("ios-b");
        EXPECT_EQ(test::readFile(file()), "{}");

        auto before = inode(file());
        m_store.clear("ios-b");
        EXPECT_EQ(inode(file()), before);
    }

    TEST_F(MemoryStoreTest, ReplaceReportsAFailedWriteButApplyStaysSilent)
    {
        // The data folder's place is taken by a regular file, which no privilege writes through.
        auto blocked = m_folder / "data";
        std::ofstream(blocked) << "not a folder";
        MemoryStore store(blocked / "memory.json", m_clock.function());
        const RelayHTTPError internal(500, "internal", "Something went wrong on the Mac.");

        EXPECT_EQ(
            store.apply(key, remembering({ "Likes tea" })), (MemoryStore::Changes { { "Likes tea" }, {} }));
        EXPECT_TRUE(store.memories(key).empty());
        try {
            store.replace(key, JSON::array({ item(JSON(), "Likes tea") }));
            ADD_FAILURE() << "replace did not fail";
        } catch (const RelayHTTPError& error) {
            EXPECT_EQ(error, internal);
        }
    }

    TEST_F(MemoryStoreTest, ClearReportsAFailedWriteAndTheMemoryStaysStored)
    {
        m_store.apply(key, remembering({ "Password hint: blue" }));
        auto before = test::readFile(file());

        // The child may read but not write a single byte: a limit that root is held to as well.
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit noGrowth { 0, 0 };
            setrlimit(RLIMIT_FSIZE, &noGrowth);
            try {
                m_store.clear(key);
            } catch (const RelayHTTPError& error) {
                _exit(error == RelayHTTPError(500, "internal", "Something went wrong on the Mac.") ? 0 : 2);
            }
            _exit(1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: clear reported success, 2: another error";
        EXPECT_EQ(test::readFile(file()), before);
        EXPECT_EQ(texts(m_store.memories(key)), (std::vector<std::string> { "Password hint: blue" }));
    }

    TEST_F(MemoryStoreTest, CleanTextFoldsWhitespaceAndRefusesWhatCannotBeAMemory)
    {
        struct Case {
            const char* name;
            std::string text;
            std::optional<std::string> cleaned;
        };
        const Case cases[] = {
            { "tab, line break and runs of spaces", "  Likes\tgreen \n\n tea   ", "Likes green tea" },
            { "Unicode spaces",
                "no\xE2\x80\x83"
                "break\xC2\xA0space\xE3\x80\x80"
                "here",
                "no break space here" },
            { "next line is white space", "one\xC2\x85two", "one two" },
            { "blanks only", " \t\r\n ", std::nullopt },
            { "empty", "", std::nullopt },
            { "200 characters", std::string(200, 'x'), std::string(200, 'x') },
            { "201 characters", std::string(201, 'x'), std::nullopt },
            { "200 combined characters",
                [] {
                    std::string t;
                    for (int i = 0; i < 200; ++i)
                        t += "e\xCC\x81";
                    return t;
                }(),
                [] {
                    std::string t;
                    for (int i = 0; i < 200; ++i)
                        t += "e\xCC\x81";
                    return t;
                }() },
            { "bell", "ring\x07", std::nullopt },
            { "C1 control",
                "a\xC2\x90"
                "b",
                std::nullopt },
            { "delete",
                "a\x7f"
                "b",
                std::nullopt },
            { "broken UTF-8",
                "a\xff"
                "b",
                std::nullopt },
        };
        for (auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(MemoryStore::cleanText(testCase.text), testCase.cleaned);
        }
    }

    TEST_F(MemoryStoreTest, SecretsAreMaskedBeforeTheLengthIsCounted)
    {
        const std::string token = "sk-proj_ABCDEFGHIJKLMNOP";
        auto masked = MemoryStore::cleanText("My key is " + token);
        EXPECT_EQ(masked, "My key is " + std::string(Redaction::mask));

        // Too long as typed, short enough once the token has become three characters.
        auto padding = std::string(200 - 4, 'x');
        EXPECT_EQ(
            MemoryStore::cleanText(padding + " " + token), padding + " " + std::string(Redaction::mask));

        m_store.replace(key, JSON::array({ item(JSON(), "token " + token) }));
        EXPECT_EQ(test::readFile(file()).find(token), std::string::npos);
        EXPECT_EQ(texts(m_store.memories(key)),
            (std::vector<std::string> { "token " + std::string(Redaction::mask) }));
    }

    TEST_F(MemoryStoreTest, MemoryIDsAreTenCharactersOfLowercaseHex)
    {
        const std::pair<const char*, bool> cases[] = {
            { "m-0123abcd", true },
            { "m-ffffffff", true },
            { "m-0123ABCD", false },
            { "m-0123abc", false },
            { "m-0123abcde", false },
            { "x-0123abcd", false },
            { "m_0123abcd", false },
            { "m-0123abcg", false },
            { "", false },
        };
        for (auto& [text, valid] : cases) {
            SCOPED_TRACE(text);
            EXPECT_EQ(isMemoryID(text), valid);
        }
    }

    TEST_F(MemoryStoreTest, WithoutAFileTheListsLiveInMemory)
    {
        MemoryStore store(std::nullopt, m_clock.function());
        store.apply(key, remembering({ "a", "b" }));
        store.replace("ios-other", JSON::array({ item(JSON(), "c") }));
        EXPECT_EQ(texts(store.memories(key)), (std::vector<std::string> { "a", "b" }));
        store.clear(key);
        EXPECT_TRUE(store.memories(key).empty());
        EXPECT_EQ(store.memories("ios-other").size(), 1u);
        EXPECT_TRUE(std::filesystem::is_empty(m_folder.path()));
    }

    TEST_F(MemoryStoreTest, ConcurrentRemembersLoseNothing)
    {
        constexpr int threads = 8;
        constexpr int perThread = 100;
        std::vector<MemoryStore::Changes> changes(threads);
        {
            std::vector<std::jthread> writers;
            for (int thread = 0; thread < threads; ++thread) {
                writers.emplace_back([this, thread, &changes] {
                    // Every other remember goes to the thread's own list, which shares the file with the
                    // others.
                    for (int index = 0; index < perThread; ++index) {
                        auto text = "fact " + std::to_string(thread) + "-" + std::to_string(index);
                        auto target
                            = index % 2 == 0 ? std::string(key) : "ios-device:" + std::to_string(thread);
                        auto result = m_store.apply(target, { MemoryStore::Op::remember(text) });
                        if (target != key)
                            continue;
                        changes[thread].added.insert(
                            changes[thread].added.end(), result.added.begin(), result.added.end());
                        changes[thread].removed.insert(
                            changes[thread].removed.end(), result.removed.begin(), result.removed.end());
                    }
                });
            }
        }
        std::size_t added = 0;
        std::size_t removed = 0;
        for (auto& change : changes) {
            added += change.added.size();
            removed += change.removed.size();
        }
        EXPECT_EQ(added, static_cast<std::size_t>(threads * perThread / 2));
        EXPECT_EQ(removed, threads * perThread / 2 - MemoryStore::maxItems);

        auto peer = test::runPeer(
            { "python3", "-c",
                "import json, sys\n"
                "data = json.load(sys.stdin)\n"
                "print(len(data), ' '.join(str(len(v)) for k, v in sorted(data.items())))\n" },
            test::readFile(file()));
        ASSERT_EQ(peer.exitStatus, 0);
        EXPECT_EQ(peer.output, "9 30 30 30 30 30 30 30 30 30\n");
    }

}
}
