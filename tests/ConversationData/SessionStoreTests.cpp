#include "VellumarMacCore/ConversationData/SessionStore.h"

#include "tests/ConversationData/Concurrently.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vellumar {
namespace {

    using namespace std::chrono_literals;
    using test::repeated;

    // The stored times below are seconds counted from the manual clock's start, 1740787200.
    constexpr std::string_view conversation = "ios-device:conversation";
    constexpr std::string_view bot = "helper";
    constexpr std::string_view session = "0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f0";

    class SessionStoreTest : public ::testing::Test {
    protected:
        std::filesystem::path file() const { return m_folder / "sessions.json"; }
        SessionStore makeStore() { return SessionStore(file(), m_clock.function()); }

        // Writes the file by hand, bypassing the store, and opens a store over it.
        SessionStore storeWithFile(std::string_view content)
        {
            test::writeBytes(file(), content);
            return makeStore();
        }

        test::TemporaryFolder m_folder;
        test::ManualClock m_clock;
    };

    // The store as it holds it in memory, encoded as one document.
    std::string wholeStoreEncoding(SessionStore& store, std::initializer_list<std::string_view> conversations)
    {
        JSON::Object document;
        for (auto id : conversations) {
            for (std::string_view owner : { "helper", "other" }) {
                if (auto entry = store.entry(id, owner))
                    document.insert_or_assign(std::string(id), JSON(*entry));
            }
        }
        return JSON(std::move(document)).encoded();
    }

    // Counts, through the kernel's own notifications, the files moved into place as `name` in `folder`:
    // one for each whole-file write.
    class ReplacementCounter {
    public:
        ReplacementCounter(const std::filesystem::path& folder, std::string name)
            : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
            , m_name(std::move(name))
        {
            if (m_fd < 0 || ::inotify_add_watch(m_fd, folder.c_str(), IN_MOVED_TO) < 0)
                throw std::runtime_error("inotify is not available");
        }
        ~ReplacementCounter() { ::close(m_fd); }

        // The replacements since the last call; the events were queued before the write returned.
        int take()
        {
            int count = 0;
            alignas(inotify_event) std::array<char, 4096> buffer;
            for (ssize_t length; (length = ::read(m_fd, buffer.data(), buffer.size())) > 0;) {
                for (ssize_t at = 0; at < length;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
                    count += event->len > 0 && m_name == event->name;
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            }
            return count;
        }

    private:
        int m_fd;
        std::string m_name;
    };

    // A turn records its reply, drops the results it showed and adds itself under one lock: one
    // durable write, not one per change.
    TEST_F(SessionStoreTest, ChangesUnderOneLockReachTheFileInOneWrite)
    {
        auto store = makeStore();
        store.recordRoutineResult(conversation, bot, "Morning news", "Rain later.");
        ReplacementCounter replacements(m_folder.path(), "sessions.json");
        store.withLock([&](SessionStore::Locked& locked) {
            locked.recordReply(conversation, bot, session, { .contextTokens = 10 });
            locked.dropPosted(conversation, bot, 1);
            locked.recordTurn(conversation, bot, "Any news?", "Rain later.");
        });
        EXPECT_EQ(replacements.take(), 1);
        store.withLock([&](SessionStore::Locked& locked) { locked.sessionID(conversation, bot); });
        EXPECT_EQ(replacements.take(), 0);
        // Changes made before a failure are in memory, so they are written too.
        EXPECT_THROW(store.withLock([&](SessionStore::Locked& locked) {
            locked.endSession(conversation);
            throw std::runtime_error("the caller failed");
        }),
            std::runtime_error);
        EXPECT_EQ(replacements.take(), 1);
        auto reopened = makeStore();
        EXPECT_EQ(reopened.sessionID(conversation, bot), std::nullopt);
        EXPECT_EQ(reopened.summaryAndRecent(conversation, bot).recent.size(), 2u);
        EXPECT_TRUE(reopened.postedResults(conversation, bot).empty());
    }

    TEST_F(SessionStoreTest, WritesAPrivateFileWithWholeSeconds)
    {
        m_clock.now += 900ms;
        makeStore().recordReply(conversation, bot, session, { .contextTokens = 1234 });
        EXPECT_EQ(test::modeOf(file()), 0600u);
        EXPECT_EQ(test::readFile(file()),
            R"({"ios-device:conversation":{"botId":"helper","contextTokens":1234,)"
            R"("sessionId":"0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f0","updatedAt":1740787200}})");
    }

    TEST_F(SessionStoreTest, ASaveOfManyConversationsIsTheCanonicalEncodingOfTheWholeStore)
    {
        auto store = makeStore();
        // Upper case sorts before lower case, and the text needs escaping.
        for (std::string_view id : { "ios-device:b", "ios-device:B", "ios-device:a" })
            store.recordTurn(id, bot, "say \"hi\"\n", "hi");
        struct Case {
            std::string name;
            std::string_view forget;
            std::vector<std::string> expected;
        } cases[] = {
            { "first forgotten", "ios-device:B", { "ios-device:a", "ios-device:b" } },
            { "last forgotten", "ios-device:b", { "ios-device:a" } },
            { "none left", "ios-device:a", {} },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            store.forgetSession(c.forget);
            auto bytes = test::readFile(file());
            auto document = JSON::decode(bytes);
            ASSERT_TRUE(document && document->objectValue()) << bytes;
            EXPECT_EQ(bytes, document->encoded());
            std::vector<std::string> ids;
            for (const auto& [id, entry] : *document->objectValue())
                ids.push_back(id);
            EXPECT_EQ(ids, c.expected);
        }
    }

    // Only what changed is encoded again, so each change must reach its own member of the file.
    TEST_F(SessionStoreTest, AfterEveryKindOfChangeTheFileIsTheWholeStoreEncodedAsPythonWritesIt)
    {
        auto store = storeWithFile(R"({ "ios-device:z": {"updatedAt": 1740787000, "botId": "helper",
            "sessionId": "0b1c2d3e", "state": {"z/a": "\u00e9\t", "tools": "d1"}, "actions": true,
            "summary": "\"q\" \\ / \u0001 \u2603 \ud83d\udc69"}, "not a conversation": {"botId": "helper"},
            "ios-device:A": {"botId": "other", "posted": [{"routine": "R", "reply": "p"}, {}],
            "weird": [1.5, -0.25, 1e-7, null, false, {}, []]}, "ios-device:scalar": 5 })");
        const std::initializer_list<std::string_view> ids
            = { "ios-device:z", "ios-device:A", "ios-device:m" };
        const struct {
            const char* name;
            std::function<void()> change;
        } rows[] = {
            { "invalid members dropped at load",
                [&] { store.recordTurn("ios-device:z", bot, "u\x1f", "r"); } },
            { "reply recorded",
                [&] { store.recordReply("ios-device:A", "other", session, { .summary = "s" }); } },
            { "routine result", [&] { store.recordRoutineResult("ios-device:z", bot, "News", "Rain."); } },
            { "posted dropped", [&] { store.dropPosted("ios-device:A", "other", 1); } },
            { "session ended", [&] { store.endSession("ios-device:z"); } },
            { "new conversation", [&] { store.recordTurn("ios-device:m", bot, "\xF0\x9F\x91\xA9", "r"); } },
            { "another bot's turn", [&] { store.recordTurn("ios-device:z", "other", "u", "r"); } },
            { "conversation cleared", [&] { store.forgetSession("ios-device:A"); } },
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            row.change();
            auto bytes = test::readFile(file());
            EXPECT_EQ(bytes, wholeStoreEncoding(store, ids));
            auto python = test::runPeer({ "python3", "-c",
                "import json, sys; sys.stdout.buffer.write(json.dumps(json.load(open(sys.argv[1], "
                "encoding='utf-8')), sort_keys=True, separators=(',', ':'), ensure_ascii=False).encode())",
                file().string() });
            EXPECT_EQ(python.exitStatus, 0);
            EXPECT_EQ(python.output, bytes);
        }
    }

    TEST_F(SessionStoreTest, EverythingRecordedIsReadBackByANewStoreOverTheSameFile)
    {
        {
            auto store = makeStore();
            store.recordRoutineResult(conversation, bot, "Morning news", "Rain later.");
            store.recordTurn(conversation, bot, "Any plans?", "A walk.");
            store.recordReply(
                conversation, bot, session, { .state = SessionStore::State { { "tools", "d1" } } });
        }
        auto reopened = makeStore();
        EXPECT_EQ(reopened.sessionID(conversation, bot), session);
        EXPECT_EQ(reopened.state(conversation, bot), (SessionStore::State { { "tools", "d1" } }));
        EXPECT_EQ(reopened.todayTurns(conversation, bot),
            (std::vector<SessionStore::Turn> { { m_clock.now, "Any plans?", "A walk." } }));
        // Another bot's entry counts as none: its session is never resumed by this one.
        EXPECT_EQ(reopened.sessionID(conversation, "bot-b"), std::nullopt);
    }

    TEST_F(SessionStoreTest, OnlyWellFormedSessionIDsAreHandedOutButAnyStoredOneHasAnAge)
    {
        const std::tuple<const char*, bool, std::optional<double>> cases[] = {
            { R"("sessionId": "abcd_efgh", "updatedAt": 1740787230)", false, -30.0 },
            { R"("sessionId": "abcdefgh", "updatedAt": 1740787109.5)", true, std::nullopt },
        };
        for (auto& [members, handedOut, age] : cases) {
            SCOPED_TRACE(members);
            auto store = storeWithFile(std::string(R"({"ios-a": {"botId": "helper", )") + members + "}}");
            EXPECT_EQ(store.sessionID("ios-a", "helper").has_value(), handedOut);
            EXPECT_EQ(store.lastSession("ios-a", "helper"), age);
        }
    }

    TEST_F(SessionStoreTest, TheNewestTurnsAndResultsPushOutTheOldestAndTextsAreCutToCharacters)
    {
        auto store = makeStore();
        for (int index = 1; index <= 61; ++index) {
            store.recordTurn(conversation, bot, "question " + std::to_string(index), "answer");
            m_clock.now += 60s;
        }
        EXPECT_EQ(store.summaryAndRecent(conversation, bot).recent.size(), SessionStore::maxRecent);
        EXPECT_EQ(store.todayTurns(conversation, bot).front().user, "question 2");

        // A family emoji is one character made of five scalars and eighteen bytes.
        const std::string family = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
        store.recordTurn(conversation, bot, repeated(family, 1501), "r");
        EXPECT_EQ(store.todayTurns(conversation, bot).back().user, repeated(family, 1500));
        store.recordRoutineResult(conversation, bot, "Digest", repeated(family, 2500));
        EXPECT_EQ(store.postedResults(conversation, bot).back().reply, repeated(family, 2000));
    }

    TEST_F(SessionStoreTest, DroppingEveryPostedResultLeavesNoPostedListInTheFile)
    {
        const struct {
            const char* name;
            std::int64_t dropped;
            const char* posted; // the stored list as JSON; null when the key must be gone
        } cases[] = {
            { "one of two", 1, R"([{"reply":"Sunny.","routine":"Weather"}])" },
            { "exactly as many as there are", 2, nullptr },
            { "more than there are", 3, nullptr },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            std::filesystem::remove(file());
            auto store = makeStore();
            store.recordRoutineResult(conversation, bot, "News", "Rain later.");
            store.recordRoutineResult(conversation, bot, "Weather", "Sunny.");
            store.dropPosted(conversation, bot, row.dropped);
            const auto stored = JSON::decode(test::readFile(file()));
            const JSON* entry = stored ? stored->subscript(conversation) : nullptr;
            ASSERT_TRUE(entry) << test::readFile(file());
            const JSON* posted = entry->subscript("posted");
            EXPECT_EQ(posted ? posted->encoded() : "absent", row.posted ? row.posted : "absent");
        }
    }

    TEST_F(SessionStoreTest, DayTurnsOutsideTheWindowOrWithoutAWholeTimeAreSkippedAndThenDropped)
    {
        auto store = storeWithFile(R"({"ios-a": {"botId": "helper", "today": [
            {"at": 1740700800, "user": "a day old", "reply": "r"}, {"at": 1740700801, "user": "just inside", "reply": "r"},
            {"at": 1.5, "user": "fractional", "reply": "r"}, "not an object"]}})");
        EXPECT_EQ(store.todayTurns("ios-a", "helper"),
            (std::vector<SessionStore::Turn> {
                { std::chrono::sys_seconds(std::chrono::seconds(1740700801)), "just inside", "r" } }));
        store.recordTurn("ios-a", "helper", "new", "turn");
        EXPECT_EQ(JSON::decode(test::readFile(file()))->subscript("ios-a")->encoded(),
            R"({"botId":"helper","recent":[{"reply":"turn","user":"new"}],"today":[{"at":1740700801,)"
            R"("reply":"r","user":"just inside"},{"at":1740787200,"reply":"turn","user":"new"}]})");
    }

    TEST_F(SessionStoreTest, AFailedWriteIsSavedByTheNextOne)
    {
        // The data folder's place is taken by a regular file, which no privilege writes through.
        auto blocked = m_folder / "data";
        test::writeBytes(blocked, "not a folder");
        SessionStore store(blocked / "sessions.json", m_clock.function());
        store.recordReply(conversation, bot, session, {});
        std::filesystem::remove(blocked);
        store.recordTurn(conversation, bot, "hi", "hello");
        EXPECT_EQ(SessionStore(blocked / "sessions.json", m_clock.function()).sessionID(conversation, bot),
            session);
    }

    TEST_F(SessionStoreTest, AWriteThatFillsTheDiskKeepsTheOldFileAndTheNextSaveWritesEverything)
    {
        // A 64 KiB file system in a child's own mount namespace, two pages of it free: the second
        // conversation makes the file need one more page than is left, part-way through its write.
        auto data = m_folder / "data";
        std::filesystem::create_directory(data);
        auto outcome = test::outputOfChildWithin(std::chrono::seconds(30), [&]() -> std::string {
            if (::unshare(CLONE_NEWNS) != 0
                || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
                || ::mount("tmpfs", data.c_str(), "tmpfs", 0, "size=64k") != 0)
                return "cannot mount";
            test::writeBytes(data / "filler", std::string(56 * 1024, 'f'));
            SessionStore store(data / "sessions.json", m_clock.function());
            store.recordTurn("ios-device:a", bot, std::string(1500, 'a'), "r");
            auto before = test::readFile(data / "sessions.json");
            store.recordTurn("ios-device:b", bot, std::string(1500, 'b'), "r");
            std::string report
                = test::readFile(data / "sessions.json") == before ? "old file kept" : "changed";
            for (auto& name : test::namesIn(data))
                report += " " + name;
            std::filesystem::remove(data / "filler");
            store.recordTurn("ios-device:c", bot, "c", "r");
            bool whole = test::readFile(data / "sessions.json")
                == wholeStoreEncoding(store, { "ios-device:a", "ios-device:b", "ios-device:c" });
            return report + (whole && store.entry("ios-device:b", bot) ? "; then all" : "; then not all");
        });
        if (outcome == "cannot mount")
            GTEST_SKIP() << "mounting a small file system is not permitted here";
        EXPECT_EQ(outcome, "old file kept filler sessions.json; then all");
    }

    TEST_F(SessionStoreTest, ConcurrentWritersLeaveEveryConversationInTheFile)
    {
        auto store = makeStore();
        test::concurrently(8, [&](int thread) {
            auto id = "ios-device:" + std::to_string(thread);
            for (int turn = 0; turn < 30; ++turn) {
                store.recordTurn(id, "helper", "question " + std::to_string(turn), "answer");
                store.recordRoutineResult(id, "helper", "Routine", std::to_string(turn));
                store.dropPosted(id, "helper", 1);
            }
        });
        auto reopened = makeStore();
        for (int thread = 0; thread < 8; ++thread) {
            SCOPED_TRACE(thread);
            auto id = "ios-device:" + std::to_string(thread);
            EXPECT_EQ(reopened.todayTurns(id, "helper").size(), 30u);
            EXPECT_TRUE(reopened.postedResults(id, "helper").empty());
        }
    }

}
}
