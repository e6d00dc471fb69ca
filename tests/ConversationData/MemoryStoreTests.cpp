#include "VellumarMacCore/ConversationData/MemoryStore.h"

#include "VellumarMacCore/Foundations/Redaction.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/ConversationData/ErrorPrinting.h"
#include "tests/ConversationData/Concurrently.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <regex>
#include <sys/resource.h>
#include <thread>

namespace vellumar {
namespace {

    using namespace std::chrono_literals;
    using Changes = MemoryStore::Changes;

    constexpr std::string_view key = "ios-device:conversation";
    const RelayHTTPError kInternal(500, "internal", "Something went wrong on the Mac.");

    std::vector<MemoryStore::Op> remembering(std::initializer_list<std::string> items)
    {
        std::vector<MemoryStore::Op> operations;
        for (auto& text : items)
            operations.push_back(MemoryStore::Op::remember(text));
        return operations;
    }

    JSON item(JSON id, std::string text)
    {
        return JSON::object({ { "id", std::move(id) }, { "text", std::move(text) } });
    }

    class MemoryStoreTest : public ::testing::Test {
    protected:
        std::filesystem::path file() const { return m_folder / "memory.json"; }
        test::TemporaryFolder m_folder;
        test::ManualClock m_clock;
        MemoryStore m_store { file(), m_clock.function() };
    };

    TEST_F(MemoryStoreTest, RememberedMemoriesAreStoredPrivatelyWithAnIDTextAndMilliseconds)
    {
        m_clock.now += 1234ms;
        m_store.apply(key, remembering({ "Likes tea", "Lives in Oslo" }));
        EXPECT_EQ(test::modeOf(file()), 0600u);
        EXPECT_TRUE(std::regex_match(test::readFile(file()),
            std::regex(
                R"(\{"ios-device:conversation":\[\{"at":1740787201234,"id":"m-[0-9a-f]{8}","text":"Likes tea"\},)"
                R"(\{"at":1740787201234,"id":"m-[0-9a-f]{8}","text":"Lives in Oslo"\}\]\})")))
            << test::readFile(file());
    }

    TEST_F(MemoryStoreTest, OperationsApplyInOrderAndAFullListLetsTheOldestGo)
    {
        std::vector<MemoryStore::Op> stored;
        for (int index = 1; index <= 29; ++index)
            stored.push_back(MemoryStore::Op::remember("fact " + std::to_string(index)));
        m_store.apply(key, stored);
        auto firstID = *m_store.memories(key).at(0).subscript("id")->stringValue();
        m_clock.now += 5s;

        EXPECT_EQ(m_store.apply(key,
                      { MemoryStore::Op::forget(firstID), MemoryStore::Op::remember("fact 1"),
                          MemoryStore::Op::remember("new 1"), MemoryStore::Op::remember("new 2") }),
            (Changes { { "fact 1", "new 1", "new 2" }, { "fact 1", "fact 2" } }));
        EXPECT_EQ(m_store.memories(key).size(), MemoryStore::maxItems);
    }

    TEST_F(MemoryStoreTest, ReplaceRefusesABadListAndKeepsTheStoredOne)
    {
        m_store.apply(key, remembering({ "Likes tea" }));
        auto stored = m_store.memories(key);
        const auto shape = RelayHTTPError::badRequest(R"(Each item must be {"id": "m-...", "text": "..."}.)");
        const auto tooMany = RelayHTTPError::badRequest("items must be a list of at most 30.");
        JSON::Array full;
        for (std::size_t index = 0; index < MemoryStore::maxItems; ++index)
            full.push_back(item(JSON(), "fact " + std::to_string(index)));
        auto overFull = full;
        overFull.push_back(item(JSON(), "one more"));
        const std::pair<std::optional<JSON>, RelayHTTPError> cases[] = {
            { std::nullopt, tooMany },
            { JSON(overFull), tooMany },
            // The bad item comes after a good one: nothing of the list is kept.
            { JSON::array(
                  { item(JSON(), "good"), JSON::object({ { "id", JSON() }, { "text", "x" }, { "at", 1 } }) }),
                shape },
        };
        for (auto& [items, error] : cases) {
            SCOPED_TRACE(items ? items->encoded() : "absent");
            EXPECT_EQ(test::thrown<RelayHTTPError>([&] { m_store.replace(key, items); }), error);
            EXPECT_EQ(m_store.memories(key), stored);
        }
        m_store.replace(key, JSON(full));
        EXPECT_EQ(m_store.memories(key).size(), MemoryStore::maxItems);
    }

    TEST_F(MemoryStoreTest, ReplaceAndClearReportAFailedWriteAndTheMemoryStaysStored)
    {
        m_store.apply(key, remembering({ "Password hint: blue" }));
        auto before = test::readFile(file());
        // The child may read but not write a single byte: a limit that root is held to as well.
        EXPECT_EQ(test::exitStatusWithin(10s,
                      [&] {
                          signal(SIGXFSZ, SIG_IGN);
                          rlimit noGrowth { 0, 0 };
                          setrlimit(RLIMIT_FSIZE, &noGrowth);
                          auto replace = [&] { m_store.replace(key, JSON::array({ item(JSON(), "x") })); };
                          return test::thrown<RelayHTTPError>(replace) == kInternal
                                  && test::thrown<RelayHTTPError>([&] { m_store.clear(key); }) == kInternal
                              ? 0
                              : 1;
                      }),
            0)
            << "a failed write was not reported";
        EXPECT_EQ(test::readFile(file()), before);
    }

    TEST_F(MemoryStoreTest, CleanTextFoldsWhitespaceMasksSecretsAndRefusesWhatCannotBeAMemory)
    {
        const std::string token = "sk-proj_ABCDEFGHIJKLMNOP", mask(Redaction::mask);
        const std::pair<std::string, std::optional<std::string>> cases[] = {
            { "no\xE2\x80\x83"
              "break\xC2\xA0space\xE3\x80\x80"
              "here",
                "no break space here" },
            { " \t\r\n ", std::nullopt },
            { std::string(201, 'x'), std::nullopt },
            // Too long as typed, short enough once the token has become three characters.
            { std::string(196, 'x') + " " + token, std::string(196, 'x') + " " + mask },
        };
        for (auto& [text, cleaned] : cases) {
            SCOPED_TRACE(text);
            EXPECT_EQ(MemoryStore::cleanText(text), cleaned);
        }
        m_store.replace(key, JSON::array({ item(JSON(), "token " + token) }));
        EXPECT_EQ(test::readFile(file()).find(token), std::string::npos);
    }

    TEST_F(MemoryStoreTest, ConcurrentRemembersLoseNothing)
    {
        test::concurrently(8, [&](int thread) {
            // Every other remember goes to the thread's own list, which shares the file with the others.
            for (int index = 0; index < 100; ++index) {
                auto target = index % 2 == 0 ? std::string(key) : "ios-device:" + std::to_string(thread);
                m_store.apply(
                    target, remembering({ "fact " + std::to_string(thread) + "-" + std::to_string(index) }));
            }
        });
        auto peer = test::runPeer(
            { "python3", "-c",
                "import json, sys\n"
                "data = json.load(sys.stdin)\n"
                "print(len(data), ' '.join(str(len(v)) for k, v in sorted(data.items())))\n" },
            test::readFile(file()));
        EXPECT_EQ(peer.output, "9 30 30 30 30 30 30 30 30 30\n");
    }

}
}
