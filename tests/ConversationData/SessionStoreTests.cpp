#include "VellumarMacCore/ConversationData/SessionStore.h"

#include "tests/support/ManualClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace vellumar {
namespace {

    using namespace std::chrono_literals;

    constexpr std::string_view conversation = "ios-device:conversation";
    constexpr std::string_view bot = "helper";
    constexpr std::string_view session = "0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f0";

    std::string repeated(std::string_view piece, std::size_t count)
    {
        std::string text;
        for (std::size_t index = 0; index < count; ++index)
            text += piece;
        return text;
    }

    void writeText(const std::filesystem::path& file, std::string_view text)
    {
        std::ofstream(file, std::ios::binary) << text;
    }

    std::int64_t seconds(std::chrono::system_clock::time_point time)
    {
        return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
    }

    JSON storedEntry(const std::filesystem::path& file, std::string_view conversationID)
    {
        auto document = JSON::decode(test::readFile(file));
        auto* entry = document ? document->subscript(conversationID) : nullptr;
        return entry ? *entry : JSON();
    }

    class SessionStoreTest : public ::testing::Test {
    protected:
        std::filesystem::path file() const { return m_folder / "sessions.json"; }
        SessionStore makeStore() { return SessionStore(file(), m_clock.function()); }

        // Writes the file by hand, bypassing the store, and opens a store over it.
        SessionStore storeWithFile(std::string_view content)
        {
            writeText(file(), content);
            return makeStore();
        }

        test::TemporaryFolder m_folder;
        test::ManualClock m_clock;
    };

    TEST_F(SessionStoreTest, WritesAPrivateFileWithWholeSecondsReadableByPython)
    {
        m_clock.now += 900ms;
        auto store = makeStore();
        store.recordReply(conversation, bot, session, { .contextTokens = 1234 });

        struct stat status { };
        ASSERT_EQ(stat(file().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0600u);

        auto peer = test::runPeer({ "python3", "-c",
                                      "import json, sys\n"
                                      "entry = json.load(sys.stdin)[sys.argv[1]]\n"
                                      "print(type(entry['updatedAt']).__name__, entry['updatedAt'],"
                                      " entry['contextTokens'], entry['sessionId'], entry['botId'])\n",
                                      std::string(conversation) },
            test::readFile(file()));
        ASSERT_EQ(peer.exitStatus, 0);
        EXPECT_EQ(peer.output,
            "int " + std::to_string(seconds(m_clock.now)) + " 1234 " + std::string(session) + " helper\n");
    }

    TEST_F(SessionStoreTest, UnusableFilesLoadAsAnEmptyStoreAndAreReplacedOnTheNextChange)
    {
        struct Case {
            const char* name;
            std::string content;
        };
        const Case cases[] = {
            { "array", R"([{"ios-a":{"botId":"helper"}}])" },
            { "not JSON", "sessions, but not JSON" },
            { "empty file", "" },
            { "string", R"("ios-a")" },
            { "truncated object", R"({"ios-a":{"botId":"helper","sessionId":"abcdefgh")" },
        };
        for (auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto store = storeWithFile(testCase.content);
            EXPECT_EQ(store.entry("ios-a", "helper"), std::nullopt);
            store.recordTurn(conversation, bot, "hi", "hello");
            auto document = JSON::decode(test::readFile(file()));
            ASSERT_TRUE(document && document->objectValue());
            EXPECT_EQ(document->objectValue()->size(), 1u);
            EXPECT_NE(document->subscript(conversation), nullptr);
        }
    }

    TEST_F(SessionStoreTest, AFIFOOrAFolderInPlaceOfTheFileLoadsAsEmptyWithoutBlocking)
    {
        ASSERT_EQ(mkfifo(file().c_str(), 0600), 0);
        EXPECT_EQ(makeStore().entry(conversation, bot), std::nullopt);
        std::filesystem::remove(file());
        std::filesystem::create_directory(file());
        EXPECT_EQ(makeStore().entry(conversation, bot), std::nullopt);
    }

    TEST_F(SessionStoreTest, LoadingDropsInvalidConversationIDsAndNonObjectEntries)
    {
        auto store = storeWithFile(R"({
            "ios-kept": {"botId": "helper", "sessionId": "abcdefgh"},
            "android-x": {"botId": "helper", "sessionId": "abcdefgh"},
            "ios-": {"botId": "helper", "sessionId": "abcdefgh"},
            "ios-a b": {"botId": "helper", "sessionId": "abcdefgh"},
            "ios-number": 5,
            "ios-list": [1, 2]
        })");
        EXPECT_EQ(store.sessionID("ios-kept", "helper"), "abcdefgh");
        for (auto dropped : { "android-x", "ios-", "ios-a b", "ios-number", "ios-list" }) {
            SCOPED_TRACE(dropped);
            EXPECT_EQ(store.entry(dropped, "helper"), std::nullopt);
        }

        store.recordTurn("ios-other", "helper", "a", "b");
        auto document = JSON::decode(test::readFile(file()));
        ASSERT_TRUE(document && document->objectValue());
        std::vector<std::string> keys;
        for (auto& [key, value] : *document->objectValue())
            keys.push_back(key);
        EXPECT_EQ(keys, (std::vector<std::string> { "ios-kept", "ios-other" }));
    }

    TEST_F(SessionStoreTest, EverythingRecordedIsReadBackByANewStoreOverTheSameFile)
    {
        {
            auto store = makeStore();
            store.recordRoutineResult(conversation, bot, "Morning news", "Rain later.");
            store.recordTurn(conversation, bot, "Any plans?", "A walk.");
            store.recordReply(conversation, bot, session,
                { .state = SessionStore::State { { "tools", "d1" }, { "memory", "d2" } },
                    .actions = true,
                    .contextTokens = 4096,
                    .summary = std::nullopt });
        }
        auto reopened = makeStore();
        EXPECT_EQ(reopened.sessionID(conversation, bot), session);
        EXPECT_EQ(reopened.state(conversation, bot),
            (SessionStore::State { { "memory", "d2" }, { "tools", "d1" } }));
        EXPECT_TRUE(reopened.actions(conversation, bot));
        EXPECT_EQ(reopened.contextTokens(conversation, bot), 4096);
        EXPECT_EQ(reopened.postedResults(conversation, bot),
            (std::vector<SessionStore::PostedResult> { { "Morning news", "Rain later." } }));
        auto handover = reopened.summaryAndRecent(conversation, bot);
        EXPECT_EQ(handover.summary, std::nullopt);
        EXPECT_EQ(handover.recent,
            (std::vector<JSON> { JSON::object({ { "routine", "Morning news" }, { "reply", "Rain later." } }),
                JSON::object({ { "user", "Any plans?" }, { "reply", "A walk." } }) }));
        EXPECT_EQ(reopened.todayTurns(conversation, bot),
            (std::vector<SessionStore::Turn> {
                { std::chrono::floor<std::chrono::seconds>(m_clock.now), "Any plans?", "A walk." } }));
        EXPECT_EQ(reopened.lastSession(conversation, bot), 0.0);
    }

    TEST_F(SessionStoreTest, OnlyWellFormedSessionIDsAreHandedOutButAnyOneHasAnAge)
    {
        struct Case {
            const char* name;
            JSON sessionID;
            bool handedOut;
        };
        const Case cases[] = {
            { "8 characters", "abcdEF12", true },
            { "64 characters", JSON(repeated("a", 64)), true },
            { "7 characters", "abcdEF1", false },
            { "65 characters", JSON(repeated("a", 65)), false },
            { "underscore", "abcd_efgh", false },
            { "dot", "abcd.efgh", false },
            { "space", "abcd efgh", false },
            { "non-ASCII letter", "abcdéfgh", false },
            { "number", 12345678, false },
            { "null", JSON(), false },
        };
        for (auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto updatedAt = seconds(m_clock.now) - 90;
            auto entry = JSON::object({ { "botId", "helper" }, { "sessionId", testCase.sessionID },
                { "updatedAt", JSON(updatedAt) } });
            auto store = storeWithFile(JSON::object({ { "ios-a", entry } }).encoded());
            EXPECT_EQ(store.sessionID("ios-a", "helper").has_value(), testCase.handedOut);
            EXPECT_EQ(store.lastSession("ios-a", "helper"), 90.0);
        }
    }

    TEST_F(SessionStoreTest, LastSessionNeedsASessionAndAWholeUpdateTimeAndGoesNegativeWhenTheClockGoesBack)
    {
        auto now = seconds(m_clock.now);
        struct Case {
            const char* name;
            JSON entry;
            std::optional<double> age;
        };
        const Case cases[] = {
            { "no session id", JSON::object({ { "botId", "helper" }, { "updatedAt", JSON(now) } }),
                std::nullopt },
            { "fractional time",
                JSON::object({ { "botId", "helper" }, { "sessionId", "abcdefgh" },
                    { "updatedAt", JSON::number(static_cast<double>(now) - 0.5) } }),
                std::nullopt },
            { "text time",
                JSON::object({ { "botId", "helper" }, { "sessionId", "abcdefgh" }, { "updatedAt", "0" } }),
                std::nullopt },
            { "time in the future",
                JSON::object(
                    { { "botId", "helper" }, { "sessionId", "abcdefgh" }, { "updatedAt", JSON(now + 30) } }),
                -30.0 },
        };
        for (auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            auto store = storeWithFile(JSON::object({ { "ios-a", testCase.entry } }).encoded());
            EXPECT_EQ(store.lastSession("ios-a", "helper"), testCase.age);
        }
    }

    TEST_F(SessionStoreTest, StoredValuesOfTheWrongTypeReadAsMissing)
    {
        auto store = storeWithFile(R"({"ios-a": {
            "botId": "helper",
            "state": {"tools": "d1", "count": 3, "nested": {"x": "y"}},
            "actions": "yes",
            "contextTokens": 12.5,
            "summary": ["not", "text"],
            "recent": {"user": "hi"},
            "posted": [{"routine": "News", "reply": 7}, "plain text", {"reply": "Only a reply"}],
            "today": "none"
        }})");
        EXPECT_EQ(store.state("ios-a", "helper"), (SessionStore::State { { "tools", "d1" } }));
        EXPECT_FALSE(store.actions("ios-a", "helper"));
        EXPECT_EQ(store.contextTokens("ios-a", "helper"), std::nullopt);
        EXPECT_EQ(store.summaryAndRecent("ios-a", "helper"), SessionStore::SummaryAndRecent {});
        EXPECT_EQ(store.postedResults("ios-a", "helper"),
            (std::vector<SessionStore::PostedResult> { { "News", "" }, { "", "" }, { "", "Only a reply" } }));
        EXPECT_TRUE(store.todayTurns("ios-a", "helper").empty());

        // A member that is not a list is replaced by a list at the next write of that key.
        store.recordTurn("ios-a", "helper", "hi", "hello");
        EXPECT_EQ(store.summaryAndRecent("ios-a", "helper").recent.size(), 1u);
        EXPECT_EQ(store.todayTurns("ios-a", "helper").size(), 1u);
    }

    TEST_F(SessionStoreTest, AnotherBotsEntryCountsAsNoEntry)
    {
        auto store = makeStore();
        store.recordRoutineResult(conversation, "bot-a", "News", "Sunny.");
        store.recordTurn(conversation, "bot-a", "hi", "hello");
        store.recordReply(conversation, "bot-a", session,
            { .state = SessionStore::State { { "tools", "d" } },
                .actions = true,
                .contextTokens = 10,
                .summary = "Earlier." });

        EXPECT_EQ(store.sessionID(conversation, "bot-b"), std::nullopt);
        EXPECT_EQ(store.entry(conversation, "bot-b"), std::nullopt);
        EXPECT_EQ(store.lastSession(conversation, "bot-b"), std::nullopt);
        EXPECT_EQ(store.state(conversation, "bot-b"), std::nullopt);
        EXPECT_EQ(store.contextTokens(conversation, "bot-b"), std::nullopt);
        EXPECT_FALSE(store.actions(conversation, "bot-b"));
        EXPECT_EQ(store.summaryAndRecent(conversation, "bot-b"), SessionStore::SummaryAndRecent {});
        EXPECT_TRUE(store.postedResults(conversation, "bot-b").empty());
        EXPECT_TRUE(store.todayTurns(conversation, "bot-b").empty());
        store.dropPosted(conversation, "bot-b", 1);
        EXPECT_EQ(store.postedResults(conversation, "bot-a").size(), 1u);

        // A reply recorded for another bot starts from nothing.
        store.recordReply(conversation, "bot-b", session, {});
        auto entry = store.entry(conversation, "bot-b");
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->size(), 3u);
        EXPECT_EQ(store.entry(conversation, "bot-a"), std::nullopt);
    }

    TEST_F(SessionStoreTest, TurnsAndResultsOfAnotherBotReplaceTheWholeEntry)
    {
        for (bool routine : { false, true }) {
            SCOPED_TRACE(routine ? "routine result" : "chat turn");
            auto store = SessionStore(std::nullopt, m_clock.function());
            store.recordRoutineResult(conversation, "bot-a", "News", "Sunny.");
            store.recordReply(conversation, "bot-a", session, { .summary = "Earlier." });
            if (routine)
                store.recordRoutineResult(conversation, "bot-b", "Weather", "Cloudy.");
            else
                store.recordTurn(conversation, "bot-b", "hi", "hello");
            auto entry = store.entry(conversation, "bot-b");
            ASSERT_TRUE(entry);
            EXPECT_FALSE(entry->contains("sessionId"));
            EXPECT_FALSE(entry->contains("summary"));
            EXPECT_EQ(store.summaryAndRecent(conversation, "bot-b").recent.size(), 1u);
            EXPECT_EQ(store.postedResults(conversation, "bot-b").size(), routine ? 1u : 0u);
        }
    }

    TEST_F(SessionStoreTest, EndingAndForgettingIgnoreTheBot)
    {
        auto store = makeStore();
        store.recordTurn(conversation, "bot-a", "hi", "hello");
        store.recordReply(conversation, "bot-a", session, {});
        store.endSession(conversation);
        auto ended = storedEntry(file(), conversation);
        EXPECT_EQ(ended.subscript("sessionId"), nullptr);
        EXPECT_NE(ended.subscript("recent"), nullptr);

        store.recordReply(conversation, "bot-a", session, {});
        EXPECT_TRUE(store.forgetSession(conversation));
        EXPECT_TRUE(storedEntry(file(), conversation).isNull());
    }

    TEST_F(SessionStoreTest, TheNewestTurnsAndResultsPushOutTheOldest)
    {
        auto store = makeStore();
        for (int index = 1; index <= 61; ++index) {
            store.recordTurn(
                conversation, bot, "question " + std::to_string(index), "answer " + std::to_string(index));
            m_clock.now += 60s;
        }
        auto recent = store.summaryAndRecent(conversation, bot).recent;
        ASSERT_EQ(recent.size(), SessionStore::maxRecent);
        EXPECT_EQ(recent.front(), JSON::object({ { "user", "question 58" }, { "reply", "answer 58" } }));
        EXPECT_EQ(recent.back(), JSON::object({ { "user", "question 61" }, { "reply", "answer 61" } }));
        auto today = store.todayTurns(conversation, bot);
        ASSERT_EQ(today.size(), SessionStore::maxToday);
        EXPECT_EQ(today.front().user, "question 2");
        EXPECT_EQ(today.back().user, "question 61");

        for (int index = 1; index <= 4; ++index)
            store.recordRoutineResult(conversation, bot, "Routine " + std::to_string(index), "Result");
        auto posted = store.postedResults(conversation, bot);
        ASSERT_EQ(posted.size(), SessionStore::maxPosted);
        EXPECT_EQ(posted.front().routine, "Routine 2");
        EXPECT_EQ(posted.back().routine, "Routine 4");
        recent = store.summaryAndRecent(conversation, bot).recent;
        EXPECT_EQ(recent.front(), JSON::object({ { "routine", "Routine 1" }, { "reply", "Result" } }));
        // Routine results are not chat: the day turns are untouched.
        EXPECT_EQ(store.todayTurns(conversation, bot).size(), SessionStore::maxToday);
    }

    TEST_F(SessionStoreTest, TextsAreCutToUserPerceivedCharacters)
    {
        // A family emoji is one character made of five scalars and eighteen bytes.
        const std::string family = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
        auto store = makeStore();
        store.recordTurn(conversation, bot, repeated(family, 1501), repeated("e\xCC\x81", 1500));
        auto turn = store.summaryAndRecent(conversation, bot).recent.at(0);
        EXPECT_EQ(*turn.subscript("user")->stringValue(), repeated(family, 1500));
        EXPECT_EQ(*turn.subscript("reply")->stringValue(), repeated("e\xCC\x81", 1500));
        EXPECT_EQ(store.todayTurns(conversation, bot).at(0).user, repeated(family, 1500));

        store.recordRoutineResult(conversation, bot, "Digest", repeated(family, 2500));
        EXPECT_EQ(store.postedResults(conversation, bot).at(0).reply, repeated(family, 2000));
        EXPECT_EQ(*store.summaryAndRecent(conversation, bot).recent.back().subscript("reply")->stringValue(),
            repeated(family, 1500));
    }

    TEST_F(SessionStoreTest, DayTurnsOlderThanTheWindowOrWithoutAWholeTimeAreSkippedAndThenDropped)
    {
        auto now = seconds(m_clock.now);
        auto turn = [](JSON at, std::string_view user) {
            return at.isNull() ? JSON::object({ { "user", JSON(user) }, { "reply", "r" } })
                               : JSON::object({ { "at", at }, { "user", JSON(user) }, { "reply", "r" } });
        };
        auto today = JSON::array({
            turn(JSON(now - 86400), "exactly a day old"),
            turn(JSON(now - 86399), "just inside"),
            turn(JSON::number(1.5), "fractional"),
            turn(JSON(), "no time"),
            turn(JSON("12"), "text time"),
            JSON::Object {},
            "not an object",
        });
        auto store = storeWithFile(
            JSON::object({ { "ios-a", JSON::object({ { "botId", "helper" }, { "today", today } }) } })
                .encoded());
        auto turns = store.todayTurns("ios-a", "helper");
        ASSERT_EQ(turns.size(), 1u);
        EXPECT_EQ(turns[0].user, "just inside");
        EXPECT_EQ(turns[0].at, std::chrono::system_clock::time_point(std::chrono::seconds(now - 86399)));

        store.recordTurn("ios-a", "helper", "new", "turn");
        auto entry = storedEntry(file(), "ios-a");
        auto* stored = entry.subscript("today")->arrayValue();
        ASSERT_EQ(stored->size(), 2u);
        EXPECT_EQ(*stored->at(0).subscript("user"), JSON("just inside"));
        EXPECT_EQ(*stored->at(1).subscript("at"), JSON(now));

        m_clock.now += 1s;
        EXPECT_EQ(store.todayTurns("ios-a", "helper").size(), 1u);
    }

    TEST_F(SessionStoreTest, ASummaryReplacesTheRecentTurnsAndUngivenDetailsAreDropped)
    {
        auto store = makeStore();
        store.recordRoutineResult(conversation, bot, "News", "Sunny.");
        store.recordTurn(conversation, bot, "hi", "hello");
        store.recordReply(conversation, bot, session,
            { .state = SessionStore::State { { "tools", "d" } },
                .actions = true,
                .contextTokens = 10,
                .summary = std::nullopt });
        store.recordReply(conversation, bot, "fedcba98-7654", { .summary = "We talked about the weather." });

        auto entry = storedEntry(file(), conversation);
        std::vector<std::string> keys;
        for (auto& [key, value] : *entry.objectValue())
            keys.push_back(key);
        EXPECT_EQ(keys,
            (std::vector<std::string> { "botId", "posted", "sessionId", "summary", "today", "updatedAt" }));
        EXPECT_EQ(store.summaryAndRecent(conversation, bot),
            (SessionStore::SummaryAndRecent { "We talked about the weather.", {} }));
        EXPECT_EQ(store.sessionID(conversation, bot), "fedcba98-7654");
    }

    TEST_F(SessionStoreTest, DroppingPostedResultsRemovesTheOldestAndWritesOnlyWhenSomethingGoes)
    {
        auto store = makeStore();
        for (auto routine : { "One", "Two", "Three" })
            store.recordRoutineResult(conversation, bot, routine, "done");

        std::filesystem::remove(file());
        store.dropPosted(conversation, bot, 0);
        store.dropPosted(conversation, bot, -2);
        store.dropPosted("ios-unknown", bot, 1);
        EXPECT_FALSE(std::filesystem::exists(file()));

        store.dropPosted(conversation, bot, 2);
        EXPECT_EQ(store.postedResults(conversation, bot),
            (std::vector<SessionStore::PostedResult> { { "Three", "done" } }));
        EXPECT_TRUE(std::filesystem::exists(file()));

        store.dropPosted(conversation, bot, 5);
        EXPECT_TRUE(store.postedResults(conversation, bot).empty());
        EXPECT_EQ(storedEntry(file(), conversation).subscript("posted"), nullptr);
    }

    TEST_F(SessionStoreTest, EndingASessionKeepsOnlyTheHandoverMaterial)
    {
        auto store = makeStore();
        store.recordReply(conversation, bot, session,
            { .state = SessionStore::State { { "tools", "d" } },
                .actions = true,
                .contextTokens = 10,
                .summary = std::nullopt });
        store.endSession(conversation);
        EXPECT_TRUE(storedEntry(file(), conversation).isNull());

        auto withSummary = storeWithFile(R"({"ios-a": {"botId": "helper", "sessionId": "abcdefgh",
            "updatedAt": 1, "summary": "Earlier.", "state": {}, "unknown": 1}})");
        withSummary.endSession("ios-a");
        EXPECT_EQ(
            storedEntry(file(), "ios-a"), JSON::object({ { "botId", "helper" }, { "summary", "Earlier." } }));

        std::filesystem::remove(file());
        withSummary.endSession("ios-unknown");
        EXPECT_FALSE(std::filesystem::exists(file()));
    }

    TEST_F(SessionStoreTest, ForgettingTellsWhetherASessionWasStored)
    {
        auto store = makeStore();
        EXPECT_FALSE(store.forgetSession(conversation));
        EXPECT_FALSE(std::filesystem::exists(file()));

        store.recordRoutineResult(conversation, bot, "News", "Sunny.");
        EXPECT_FALSE(store.forgetSession(conversation));
        EXPECT_EQ(store.entry(conversation, bot), std::nullopt);

        store.recordReply(conversation, bot, session, {});
        EXPECT_TRUE(store.forgetSession(conversation));
        EXPECT_EQ(JSON::decode(test::readFile(file())), JSON(JSON::Object {}));
    }

    TEST_F(SessionStoreTest, WithoutAFileEverythingWorksInMemory)
    {
        SessionStore store(std::nullopt, m_clock.function());
        store.recordTurn(conversation, bot, "hi", "hello");
        store.recordReply(conversation, bot, session, { .contextTokens = 7 });
        EXPECT_EQ(store.sessionID(conversation, bot), session);
        EXPECT_EQ(store.contextTokens(conversation, bot), 7);
        EXPECT_EQ(store.todayTurns(conversation, bot).size(), 1u);
        EXPECT_TRUE(std::filesystem::is_empty(m_folder.path()));
    }

    TEST_F(SessionStoreTest, AFailedWriteKeepsTheChangeForTheNextSuccessfulSave)
    {
        // The data folder's place is taken by a regular file, which no privilege writes through.
        auto blocked = m_folder / "data";
        writeText(blocked, "not a folder");
        SessionStore store(blocked / "sessions.json", m_clock.function());
        store.recordReply(conversation, bot, session, {});
        EXPECT_EQ(store.sessionID(conversation, bot), session);

        std::filesystem::remove(blocked);
        store.recordTurn(conversation, bot, "hi", "hello");
        EXPECT_EQ(
            *storedEntry(blocked / "sessions.json", conversation).subscript("sessionId"), JSON(session));
    }

    TEST_F(SessionStoreTest, WithLockRunsSeveralOperationsAsOne)
    {
        auto store = makeStore();
        store.recordReply(conversation, bot, session, { .actions = true });
        auto [hadSession, actions] = store.withLock([&](SessionStore::Locked& locked) {
            bool actionsStored = locked.entry(conversation, bot)->at("actions") == JSON(true);
            locked.endSession(conversation);
            return std::pair { locked.sessionID(conversation, bot).has_value(), actionsStored };
        });
        EXPECT_FALSE(hadSession);
        EXPECT_TRUE(actions);
        EXPECT_EQ(store.entry(conversation, bot), std::nullopt);
    }

    TEST_F(SessionStoreTest, ConcurrentWritersLeaveEveryConversationInTheFile)
    {
        auto store = makeStore();
        constexpr int threads = 8;
        constexpr int turns = 30;
        {
            std::vector<std::jthread> writers;
            for (int thread = 0; thread < threads; ++thread) {
                writers.emplace_back([&store, thread] {
                    auto id = "ios-device:" + std::to_string(thread);
                    for (int turn = 0; turn < turns; ++turn) {
                        store.recordTurn(id, "helper", "question " + std::to_string(turn), "answer");
                        store.recordRoutineResult(id, "helper", "Routine", std::to_string(turn));
                        store.dropPosted(id, "helper", 1);
                        (void)store.todayTurns(id, "helper");
                    }
                });
            }
        }
        auto reopened = makeStore();
        for (int thread = 0; thread < threads; ++thread) {
            SCOPED_TRACE(thread);
            auto id = "ios-device:" + std::to_string(thread);
            EXPECT_EQ(reopened.todayTurns(id, "helper").size(), static_cast<std::size_t>(turns));
            EXPECT_TRUE(reopened.postedResults(id, "helper").empty());
            EXPECT_EQ(reopened.summaryAndRecent(id, "helper").recent.back(),
                JSON::object({ { "routine", "Routine" }, { "reply", std::to_string(turns - 1) } }));
        }
    }

}
}
