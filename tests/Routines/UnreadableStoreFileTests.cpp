// A store file that is there but cannot be read for a while must come through whole: the four
// file-backed stores (sessions, memory, activity, routines) meet a file their user may not read and
// a process without descriptors left. The routines' suite is the one that links all four.
#include "VellumarMacCore/ConversationData/ActivityLog.h"
#include "VellumarMacCore/ConversationData/MemoryStore.h"
#include "VellumarMacCore/ConversationData/SessionStore.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Routines/RoutineManager.h"
#include "tests/Routines/RoutineManagerFixture.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/LatchedFakeRunner.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ManualJobClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <unistd.h>

namespace vellumar::test {
namespace {

    namespace fs = std::filesystem;

    ManualClock clock;

    // The two changes the test makes: one while the file cannot be read, one once it can.
    enum Attempt { refused, later };
    const std::string attemptNames[] = { "refused", "later" };

    // One store on the data folder: what it lists (sorted), and the change that adds an attempt's
    // name, answering what it threw. What a change needs is made before the test
    // uses up every descriptor, since the sanitizers' checks of a shared value's first copy need one;
    // the store itself is opened afterwards.
    struct StoreUser {
        virtual ~StoreUser() = default;
        virtual void open(const fs::path& data) = 0;
        virtual std::string listing() = 0;
        virtual std::exception_ptr change(Attempt attempt) = 0;
    };

    std::string sortedJoined(std::vector<std::string> names)
    {
        std::sort(names.begin(), names.end());
        std::string text;
        for (auto& name : names)
            text += (text.empty() ? "" : ",") + name;
        return text;
    }

    // What a change threw, kept alive so that it is looked at (and destroyed) only once the test
    // has descriptors again.
    std::exception_ptr thrownBy(const std::function<void()>& change)
    {
        try {
            change();
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    }

    std::string described(const std::exception_ptr& thrown)
    {
        if (!thrown)
            return "no error";
        try {
            std::rethrow_exception(thrown);
        } catch (const RelayHTTPError& error) {
            return std::to_string(error.status()) + " " + error.code();
        } catch (...) {
            return "another error";
        }
    }

    std::vector<std::string> textsOf(const std::vector<JSON>& elements, std::string_view key)
    {
        std::vector<std::string> texts;
        for (auto& element : elements)
            texts.push_back(textOf(element, key));
        return texts;
    }

    struct SessionsUser final : StoreUser {
        void open(const fs::path& data) override { store.emplace(data / "sessions.json", clock.function()); }
        std::string listing() override
        {
            std::vector<std::string> names;
            for (std::string name : { "tea", "toast", "refused", "later" }) {
                if (store->entry("ios-" + name, "helper"))
                    names.push_back(name);
            }
            return sortedJoined(names);
        }
        std::exception_ptr change(Attempt attempt) override
        {
            return thrownBy(
                [&] { store->recordTurn("ios-" + attemptNames[attempt], "helper", "hi", "hello"); });
        }
        std::optional<SessionStore> store;
    };

    struct MemoryUser final : StoreUser {
        void open(const fs::path& data) override { store.emplace(data / "memory.json", clock.function()); }
        std::string listing() override { return sortedJoined(textsOf(store->memories("ios-a"), "text")); }
        std::exception_ptr change(Attempt attempt) override
        {
            return thrownBy([&] { store->apply("ios-a", operations[attempt]); });
        }
        std::optional<MemoryStore> store;
        const std::vector<MemoryStore::Op> operations[2]
            = { { MemoryStore::Op::remember("refused") }, { MemoryStore::Op::remember("later") } };
    };

    struct ActivityUser final : StoreUser {
        void open(const fs::path& data) override { log.emplace(data / "activity"); }
        std::string listing() override { return sortedJoined(textsOf(log->entries("ios-a"), "detail")); }
        std::exception_ptr change(Attempt attempt) override
        {
            return thrownBy([&] { log->append("ios-a", entries[attempt]); });
        }
        std::optional<ActivityLog> log;
        const std::vector<JSON> entries[2]
            = { { JSON::object({ { "detail", "refused" } }) }, { JSON::object({ { "detail", "later" } }) } };
    };

    JSON routineNamed(const std::string& name)
    {
        auto body = routineBody();
        body.insert_or_assign("name", name);
        return JSON(std::move(body));
    }

    struct RoutinesUser final : StoreUser {
        void open(const fs::path& data) override
        {
            manager.emplace(RoutineManager::Options { .file = data / "routines.json",
                .jobs = jobs,
                .sessions = sessions,
                .routinesEnabled = [] { return true; },
                .clock = std::make_shared<ManualJobClock>(),
                .timeZone = [] { return zone("UTC"); } });
        }
        std::string listing() override
        {
            return sortedJoined(
                textsOf(*manager->list(std::nullopt).subscript("routines")->arrayValue(), "name"));
        }
        std::exception_ptr change(Attempt attempt) override
        {
            return thrownBy([&] { manager->create(bodies[attempt]); });
        }
        // Neither is used by a create; both stay in memory.
        JobManager jobs { { .runner = std::make_shared<LatchedFakeRunner>() } };
        SessionStore sessions { std::nullopt, clock.function() };
        std::optional<RoutineManager> manager;
        const JSON bodies[2] = { routineNamed("refused"), routineNamed("later") };
    };

    template <typename User> std::unique_ptr<StoreUser> made() { return std::make_unique<User>(); }

    struct StoreUnderTest {
        const char* name;
        const char* file;
        // Two entries: "tea" and "toast".
        std::string content;
        std::unique_ptr<StoreUser> (*user)();
        // What a change answers while the file cannot be read.
        std::string refusal;
    };

    const StoreUnderTest stores[] = {
        { "session store", "sessions.json",
            R"({"ios-tea":{"botId":"helper","summary":"1"},"ios-toast":{"botId":"helper","summary":"2"}})",
            made<SessionsUser>, "no error" },
        { "memory store", "memory.json",
            R"({"ios-a":[{"at":1,"id":"m-0000000a","text":"tea"},{"at":2,"id":"m-0000000b","text":"toast"}]})",
            made<MemoryUser>, "no error" },
        { "activity log", "activity/ios-a.json", R"([{"detail":"tea"},{"detail":"toast"}])",
            made<ActivityUser>, "no error" },
        { "routine manager", "routines.json",
            R"({"routines":[{"id":"r-0000000a","name":"tea","createdAt":1},{"id":"r-0000000b","name":"toast","createdAt":2}]})",
            made<RoutinesUser>, "500 internal" },
    };

    // Makes the file unreadable for a while inside the child that runs the store.
    struct Obstacle {
        const char* name;
        // The reason the log gives.
        const char* reason;
        // Run as root before the child starts.
        std::function<void(const fs::path& data, const fs::path& file)> prepare;
        // Run in the child: the first makes the file unreadable, the second readable again.
        std::function<bool(const fs::path& file)> begin;
        std::function<void(const fs::path& file)> end;
    };

    constexpr uid_t nobody = 65534;
    std::vector<int> spareDescriptors;

    const Obstacle obstacles[] = {
        { "a file its user may not read", "Permission denied",
            [](const fs::path& data, const fs::path& file) {
                // The folder stays the user's, so a save could replace the file if the store let it.
                for (auto& entry : fs::recursive_directory_iterator(data))
                    ::lchown(entry.path().c_str(), nobody, nobody);
                ::lchown(data.c_str(), nobody, nobody);
                fs::permissions(file, fs::perms(0200));
            },
            [](const fs::path&) {
                return setgroups(0, nullptr) == 0 && setresgid(nobody, nobody, nobody) == 0
                    && setresuid(nobody, nobody, nobody) == 0;
            },
            [](const fs::path& file) { ::chmod(file.c_str(), 0600); } },
        { "no descriptors left", "Too many open files", [](const fs::path&, const fs::path&) {},
            [](const fs::path&) {
                rlimit limit { 64, 64 };
                if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
                    return false;
                for (int descriptor; (descriptor = ::dup(STDERR_FILENO)) >= 0;)
                    spareDescriptors.push_back(descriptor);
                return errno == EMFILE;
            },
            [](const fs::path&) {
                for (int descriptor : spareDescriptors)
                    ::close(descriptor);
            } },
    };

    bool logged(const std::vector<std::string>& lines, const std::string& text)
    {
        return std::any_of(lines.begin(), lines.end(),
            [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }

    // Runs in the child: "<change while unreadable> | <logged> | <file unchanged> | <listing once readable>
    // | <listing after a change>". Between `begin` and `end` nothing but the store runs: with no
    // descriptors left even the sanitizers' own checks would fail. The undefined-behaviour sanitizer checks
    // each type of object it meets the first time through a pipe: opening a readable copy, and a line
    // through the captured log's sink, meet them first.
    std::string attemptWhileUnreadable(
        const StoreUnderTest& store, const Obstacle& obstacle, const fs::path& data, const fs::path& file)
    {
        fs::path readable = data.parent_path() / "readable";
        fs::copy(data, readable, fs::copy_options::recursive);
        store.user()->open(readable);
        CapturedLog log;
        platform::logInfo("The store's file is made unreadable.");
        auto user = store.user();
        if (!obstacle.begin(file))
            return "could not make the file unreadable";
        user->open(data);
        auto thrown = user->change(refused);
        obstacle.end(file);
        auto refusal = described(thrown);
        auto lines = log.lines();
        bool failureLogged = logged(lines, file.string() + " could not be read (" + obstacle.reason + ")");
        bool refusalLogged = logged(lines, "A change to " + file.string() + " was not saved");
        bool unchanged = readFile(file) == store.content;
        auto listedOnceReadable = user->listing();
        user->change(later);
        return refusal + " | " + (failureLogged ? "failure logged" : "failure not logged")
            + (refusalLogged ? ", refusal logged" : "") + " | " + (unchanged ? "unchanged" : "changed")
            + " | " + listedOnceReadable + " | " + user->listing();
    }

    TEST(UnreadableStoreFile, EachStoreLeavesItAsItIsRefusesChangesAndLoadsItOnceItCanBeRead)
    {
        for (auto& obstacle : obstacles) {
            for (auto& store : stores) {
                SCOPED_TRACE(std::string(store.name) + ", " + obstacle.name);
                TemporaryFolder temporary;
                fs::permissions(temporary.path(), fs::perms(0755));
                fs::path data = temporary / "data";
                fs::path file = data / store.file;
                writeBytes(file, store.content);
                obstacle.prepare(data, file);

                auto outcome = outputOfChildWithin(std::chrono::seconds(60),
                    [&] { return attemptWhileUnreadable(store, obstacle, data, file); });

                std::string refusalLogged = store.refusal == "no error" ? ", refusal logged" : "";
                EXPECT_EQ(outcome,
                    store.refusal + " | failure logged" + refusalLogged
                        + " | unchanged | tea,toast | later,tea,toast");
                EXPECT_EQ(namesIn(file.parent_path()), std::set<std::string> { file.filename().string() });
            }
        }
    }

}
}
