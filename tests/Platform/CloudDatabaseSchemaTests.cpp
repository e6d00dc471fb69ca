// The lines a database keeps to log, against another writer keeping more while an open logs them.
#include "Platform/CloudSQLiteDatabase.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <future>
#include <thread>

using namespace vellumar::platform;
namespace fs = std::filesystem;

namespace {

// Keeps `line` to log from a connection of its own, as another process would: without `waiting`, failing
// while the lock is held; with it, telling `waiting` on first finding the lock held, then trying again
// without the sleeps of SQLite's busy time-out, so that it is first at the lock once its holder lets go.
int keepLine(const fs::path& file, const std::string& line, std::promise<void>* waiting = nullptr)
{
    sqlite3* database = nullptr;
    int result = sqlite3_open_v2(file.c_str(), &database, SQLITE_OPEN_READWRITE, nullptr);
    auto tryAgain = [](void* told, int) {
        if (auto* promise = std::exchange(*static_cast<std::promise<void>**>(told), nullptr))
            promise->set_value();
        return 1;
    };
    if (waiting)
        sqlite3_busy_handler(database, tryAgain, &waiting);
    if (result == SQLITE_OK)
        result = sqlite3_exec(database, ("INSERT INTO lines_to_log(line) VALUES('" + line + "')").c_str(),
            nullptr, nullptr, nullptr);
    sqlite3_close(database);
    return result;
}

}

// The open holds the lock from reading its lines to removing them: a writer let in between would have its
// line removed unlogged. Here one waits at the lock from the open's first line on; where it could come in
// between, it does in some of the rounds, given more than one core.
TEST(CloudDatabaseSchema, ALineKeptAsOthersAreLoggedIsLoggedByTheNextOpenAndOnlyThen)
{
    vellumar::test::TemporaryFolder root;
    const fs::path file = root / "cloud" / "iCloud.com.zu.plimsor.sqlite";
    CloudSQLiteDatabase("iCloud.com.zu.plimsor", { .folder = root / "cloud" });
    std::string expected = "first";
    ASSERT_EQ(keepLine(file, expected), SQLITE_OK);
    for (int round = 0; round <= 50; ++round) {
        SCOPED_TRACE(round);
        const std::string added = "added " + std::to_string(round);
        vellumar::test::CapturedLog log;
        std::promise<void> waiting;
        std::jthread writer;
        LogSink captured = replaceLogSink([&](std::string_view line) {
            if (round < 50 && keepLine(file, added) != SQLITE_OK) {
                writer = std::jthread([&] { EXPECT_EQ(keepLine(file, added, &waiting), SQLITE_OK); });
                waiting.get_future().wait();
            }
            captured(line);
        });
        CloudSQLiteDatabase("iCloud.com.zu.plimsor", { .folder = root / "cloud" });
        replaceLogSink(std::move(captured));
        writer = {};
        EXPECT_EQ(log.lines(), std::vector { std::exchange(expected, added) });
    }
}
