// Database files written by python3's sqlite3 module, standing for another program: an older version of
// this one, a newer one, or one that damaged a record.
#include "Platform/CloudSQLiteDatabase.h"
#include "tests/Platform/CloudFailure.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <unistd.h>

using namespace vellumar::platform;
namespace fs = std::filesystem;

namespace {

constexpr const char* kContainer = "iCloud.com.zu.plimsor";
constexpr const char* kAssetName = "0123456789abcdef0123456789abcdef";
constexpr std::int64_t kEpoch = 77;

// The tables of schema version 1, one row per field, filled as that version kept them, marked with the
// version given, then the statements given. Its feed: gone-early deleted (1), text (2), gone deleted (4),
// numbers (5), binary (6).
constexpr const char* kFieldRowsWriter = R"(import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.executescript('''
CREATE TABLE zones(name TEXT PRIMARY KEY, epoch INTEGER NOT NULL);
CREATE TABLE records(zone TEXT NOT NULL, name TEXT NOT NULL, type TEXT NOT NULL,
    PRIMARY KEY(zone, name)) WITHOUT ROWID;
CREATE TABLE fields(zone TEXT NOT NULL, record TEXT NOT NULL, key TEXT NOT NULL,
    kind INTEGER NOT NULL, value, UNIQUE(zone, record, key));
CREATE TABLE changes(sequence INTEGER PRIMARY KEY AUTOINCREMENT, zone TEXT NOT NULL,
    record TEXT NOT NULL, deleted INTEGER NOT NULL, UNIQUE(zone, record));
CREATE INDEX changes_by_zone ON changes(zone, sequence);
CREATE TABLE subscriptions(id TEXT PRIMARY KEY, zone TEXT NOT NULL,
    record_type TEXT NOT NULL, content_available INTEGER NOT NULL, title_key TEXT, body_key TEXT,
    sound TEXT);
CREATE TABLE subscription_clauses(subscription TEXT NOT NULL, position INTEGER NOT NULL,
    key TEXT NOT NULL, value TEXT NOT NULL, PRIMARY KEY(subscription, position)) WITHOUT ROWID;
CREATE TABLE account(id INTEGER PRIMARY KEY CHECK(id = 1), status INTEGER NOT NULL,
    user_record_name TEXT NOT NULL);
CREATE TABLE queued_failures(id INTEGER PRIMARY KEY AUTOINCREMENT,
    operation TEXT NOT NULL, code INTEGER NOT NULL, retry_after REAL, remaining INTEGER NOT NULL);
INSERT INTO account VALUES(1, 1, '_00112233445566778899aabbccddeeff');
INSERT INTO zones VALUES('zone', 77);
INSERT INTO subscriptions VALUES('sub', 'zone', 'Envelope', 1, 'title', NULL, 'ping');
INSERT INTO subscription_clauses VALUES('sub', 0, 'to', 'mac'), ('sub', 1, 'notify', 'alert');
INSERT INTO changes VALUES(1, 'zone', 'gone-early', 1), (2, 'zone', 'text', 0), (4, 'zone', 'gone', 1),
    (5, 'zone', 'numbers', 0), (6, 'zone', 'binary', 0);
''')
db.executemany('INSERT INTO records VALUES(?, ?, ?)',
    [('zone', name, 'Envelope') for name in ('text', 'numbers', 'binary')])
least, most = -2**63, 2**63 - 1
db.executemany('INSERT INTO fields VALUES(?, ?, ?, ?, ?)', [
    ('zone', 'text', '', 0, ''), ('zone', 'text', 'to', 0, 'mac\0\u00e9'),
    ('zone', 'numbers', 'first', 1, least), ('zone', 'numbers', 'last', 1, most),
    ('zone', 'numbers', 'least', 2, least), ('zone', 'numbers', 'most', 2, most),
    ('zone', 'binary', 'empty', 3, b''), ('zone', 'binary', 'payload', 3, b'\xff' * 100000),
    ('zone', 'binary', 'file', 4, sys.argv[2])])
db.execute('PRAGMA user_version = ' + sys.argv[3])
db.commit()
db.executescript(sys.argv[4])
)";

// What a version of this program from before packed fields runs first when it opens a database of them,
// copied from that version: its table of field rows, made unless it exists.
constexpr const char* kEarlierVersionFirstStep
    = "CREATE TABLE IF NOT EXISTS fields(zone TEXT NOT NULL, record TEXT NOT NULL, key TEXT NOT NULL, "
      "kind INTEGER NOT NULL, value, UNIQUE(zone, record, key)); ";
// The whole of that opening, where nothing refuses it: its index of the feed too, and its schema version.
const std::string kEarlierVersionOpening = kEarlierVersionFirstStep
    + std::string("CREATE INDEX IF NOT EXISTS changes_by_zone ON changes(zone, sequence); "
                  "PRAGMA user_version = 1;");
// A database as this program left it before it made earlier versions refuse one, then that opening.
const std::string kUnguardedEarlierVersionOpening = "DROP INDEX fields; " + kEarlierVersionOpening;
// The same opened by one of the two earliest versions, which write no schema version.
const std::string kUnguardedEarliestVersionOpening = "DROP INDEX fields; "
    + std::string(kEarlierVersionFirstStep)
    + "CREATE INDEX IF NOT EXISTS changes_by_zone ON changes(zone, sequence);";

// Rewrites the packed fields of record "r" of "zone" to what the expression makes of them (`f`).
constexpr const char* kFieldsRewriter = R"(import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
f = db.execute("SELECT fields FROM records WHERE zone = 'zone' AND name = 'r'").fetchone()[0]
db.execute("UPDATE records SET fields = ? WHERE zone = 'zone' AND name = 'r'", (eval(sys.argv[2]),))
db.commit()
)";

CloudDate dateAt(std::int64_t nanoseconds)
{
    return CloudDate(std::chrono::duration_cast<CloudDate::duration>(std::chrono::nanoseconds(nanoseconds)));
}

// What the sqlite3 shell prints for each command in turn (SQL or a dot-command).
std::string sqlite3(const fs::path& file, std::initializer_list<std::string> commands)
{
    std::vector<std::string> argv { "sqlite3", file.string() };
    argv.insert(argv.end(), commands);
    return vellumar::test::runPeer(argv).output;
}

}

TEST(CloudSQLiteOtherWriter, OlderDatabaseIsCarriedOverWholeAndNewerOneIsLeftAsItIs)
{
    using Limits = std::numeric_limits<std::int64_t>;
    struct Case {
        std::string name;
        std::int64_t version;
        std::string moreSQL;
        // 0 when the database opens.
        int code;
        std::string logged;
        // Not a byte of the file written, where nothing but the version was read.
        bool untouched = false;
        // Run by sqlite3 once this program has carried the database over, when not empty.
        std::string laterSQL;
        // Opened first by a process killed as its first line would reach the log.
        bool killedBeforeItsLine = false;
    };
    const std::string unknownKinds
        = "INSERT INTO fields VALUES('zone', 'text', 'odd', 9, 'x'), ('zone', 'text', 'odder', -1, 'y');";
    const std::string failingCarryOver
        = "CREATE TRIGGER fail BEFORE UPDATE ON changes BEGIN SELECT RAISE(ABORT, 'failed'); END;";
    const std::string repaired
        = "cloud database repaired: an earlier version of this program had marked it as "
          "its own; its layout is put back with every record";
    const std::string refusedLines
        = "CREATE TABLE lines_to_log(id INTEGER PRIMARY KEY AUTOINCREMENT, line TEXT "
          "NOT NULL); CREATE TRIGGER refuse BEFORE INSERT ON lines_to_log BEGIN "
          "SELECT RAISE(ABORT, 'refused'); END;";
    const std::string forgedLine = "forged?cloud database repaired: forged line?[2J";
    std::string manyLines;
    for (int line = 1; line <= 100; ++line)
        manyLines += "line " + std::to_string(line) + "\n";
    manyLines += "cloud database kept 1900 more lines to log; they are left out";
    const Case cases[] = {
        { "fields one row each", 1, "", 0, "" },
        { "fields one row each, no version written", 0, "", 0, "" },
        { "fields of unknown kinds", 1, unknownKinds, 0,
            "cloud record damaged: 2 fields of record \"text\" in zone \"zone\" could not be read; the "
            "record is carried over without them" },
        { "carried over, then opened by the earlier version", 1, "", 0, repaired, false,
            kUnguardedEarlierVersionOpening },
        { "carried over, then opened by an earliest version", 1, "", 0, repaired, false,
            kUnguardedEarliestVersionOpening },
        { "packed fields beside field rows", 1, "", CloudErrorCode::internalError,
            "cloud database refused: it holds both packed fields and field rows; it is left as it is", false,
            kUnguardedEarlierVersionOpening + "INSERT INTO fields VALUES('zone', 'text', 'k', 0, 'v');" },
        { "newer version", 3, "", CloudErrorCode::incompatibleVersion,
            "cloud database refused: its schema version 3 is newer than this program's 2; it is left as it "
            "is",
            true },
        // The carry-over's last step fails, after it has changed every table.
        { "carry-over failing", 1, failingCarryOver, CloudErrorCode::internalError,
            "cloud database refused: cloud database error 1 (failed); it is left as it is" },
        // Nothing is said of the damage met by work rolled back.
        { "fields of unknown kinds, carry-over failing", 1, unknownKinds + failingCarryOver,
            CloudErrorCode::internalError,
            "cloud database refused: cloud database error 1 (failed); it is left as it is" },
        { "repaired by a process killed before its line", 1, "", 0, repaired, false,
            kUnguardedEarlierVersionOpening, true },
        // Work whose lines cannot be kept for the log is rolled back with them.
        { "fields of unknown kinds, their line refused", 1, unknownKinds + refusedLines,
            CloudErrorCode::internalError,
            "cloud database refused: cloud database error 1 (refused); it is left as it is" },
        { "a line another writer left to log", 1, "", 0,
            forgedLine + std::string(64 - forgedLine.size(), '0') + "...", false,
            "INSERT INTO lines_to_log(line) VALUES('forged' || char(10) || 'cloud database repaired: forged "
            "line' || char(27) || '[2J' || hex(zeroblob(500000)));" },
        { "a line of this program's own form another writer left, a name in it long", 1, "", 0,
            "cloud record damaged: 2 fields of record \"r\" in zone \"" + std::string(64, '0')
                + "...\" could not be read; the record is carried over without them",
            false,
            "INSERT INTO lines_to_log(line) VALUES('fields left out' || char(10) || '2' || char(10) || "
            "hex(zeroblob(100)) || char(10) || 'r');" },
        { "2,000 lines other writers left to log", 1, "", 0, manyLines, false,
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
            "INSERT INTO lines_to_log(line) SELECT 'line ' || i FROM n;" },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        vellumar::test::TemporaryFolder root;
        const fs::path folder = root / "cloud";
        const fs::path file = folder / (std::string(kContainer) + ".sqlite");
        vellumar::test::writeBytes(folder / "assets" / kAssetName, "asset bytes");
        ASSERT_EQ(vellumar::test::runPeer({ "python3", "-c", kFieldRowsWriter, file.string(), kAssetName,
                                              std::to_string(row.version), row.moreSQL })
                      .exitStatus,
            0);
        if (!row.laterSQL.empty()) {
            CloudSQLiteDatabase(kContainer, { .folder = folder });
            sqlite3(file, { row.laterSQL });
        }
        const std::string dumped = sqlite3(file, { "PRAGMA user_version;", ".dump" });
        const std::string written = vellumar::test::readFile(file);
        auto killedBeforeItsLine = [&] {
            replaceLogSink([](std::string_view) { ::_exit(0); });
            CloudSQLiteDatabase(kContainer, { .folder = folder });
            return 1;
        };
        if (row.killedBeforeItsLine) {
            ASSERT_EQ(vellumar::test::exitStatusWithin(std::chrono::seconds(60), killedBeforeItsLine), 0);
        }
        vellumar::test::CapturedLog log;
        std::vector<std::string> expectedLog;
        std::istringstream logged(row.logged);
        for (std::string line; std::getline(logged, line);)
            expectedLog.push_back(line);

        std::unique_ptr<CloudSQLiteDatabase> opened;
        EXPECT_EQ(vellumar::test::cloudFailureOf([&] {
            opened = std::make_unique<CloudSQLiteDatabase>(
                kContainer, CloudDatabaseOptions { .folder = folder });
        }).code,
            row.code);
        if (row.code != 0) {
            EXPECT_TRUE(sqlite3(file, { "PRAGMA user_version;", ".dump" }) == dumped)
                << "the database was changed";
            EXPECT_TRUE(!row.untouched || vellumar::test::readFile(file) == written)
                << "the file was written";
            EXPECT_EQ(log.lines(), expectedLog);
            continue;
        }
        if (!opened)
            continue;
        CloudSQLiteDatabase& database = *opened;
        EXPECT_EQ(
            sqlite3(file, { "PRAGMA user_version; SELECT type FROM sqlite_master WHERE name = 'fields';" }),
            "2\nindex\n");
        const CloudRecord text { "Envelope", "text",
            { { "", std::string() }, { "to", std::string("mac\0\xc3\xa9", 6) } } };
        const CloudRecord numbers { "Envelope", "numbers",
            { { "first", dateAt(Limits::min()) }, { "last", dateAt(Limits::max()) },
                { "least", Limits::min() }, { "most", Limits::max() } } };
        const CloudRecord binary { "Envelope", "binary",
            { { "empty", CloudBytes() }, { "payload", CloudBytes(100000, 0xff) },
                { "file", CloudAsset { folder / "assets" / kAssetName } } } };
        auto fetched = database.fetchRecords("zone", { "text", "numbers", "binary" }, std::nullopt);
        ASSERT_EQ(fetched.size(), 3u);
        EXPECT_EQ(fetched[0].record, text);
        EXPECT_EQ(fetched[1].record, numbers);
        EXPECT_EQ(fetched[2].record, binary);
        EXPECT_EQ(vellumar::test::readFile(folder / "assets" / kAssetName), "asset bytes");

        auto changes = database.fetchZoneChanges("zone", CloudChangeToken { kEpoch, 2, false }, std::nullopt);
        EXPECT_EQ(changes.modified, (std::vector { numbers, binary }));
        EXPECT_EQ(changes.deletedRecordNames, std::vector<std::string> { "gone" });
        EXPECT_EQ(changes.token, (CloudChangeToken { kEpoch, 6, false }));
        EXPECT_EQ(database.subscriptions(),
            (std::vector<CloudQuerySubscription> { { "sub", "Envelope", "zone",
                { { { "to", "mac" }, { "notify", "alert" } } }, { true, "title", std::nullopt, "ping" } } }));
        EXPECT_EQ(database.account().userRecordName, "_00112233445566778899aabbccddeeff");
        // The feed goes on from where the older program left it.
        database.saveRecords("zone", { { "Envelope", "later", {} } }, CloudSavePolicy::allKeys);
        EXPECT_EQ(database.fetchZoneChanges("zone", changes.token, std::nullopt).token.changeSequence, 7);
        // Once logged, a line is not logged again.
        CloudSQLiteDatabase(kContainer, { .folder = folder });
        EXPECT_EQ(log.lines(), expectedLog);
    }
}

TEST(CloudSQLiteOtherWriter, EarlierVersionRefusesADatabaseThisOneOpened)
{
    struct Case {
        std::string name;
        // Run by sqlite3 on the database this program made, before this program opens it again.
        std::string betweenSQL;
    };
    const Case cases[] = {
        { "made by this version", "" },
        { "made before earlier versions were refused", "DROP INDEX fields;" },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        vellumar::test::TemporaryFolder root;
        const fs::path folder = root / "cloud";
        const fs::path file = folder / (std::string(kContainer) + ".sqlite");
        vellumar::test::writeBytes(root / "upload", "asset bytes");
        {
            CloudSQLiteDatabase database(kContainer, { .folder = folder });
            database.saveZone("zone");
            database.saveRecords("zone",
                { { "Envelope", "r", { { "file", CloudAsset { root / "upload" } } } } },
                CloudSavePolicy::allKeys);
        }
        const auto assets = vellumar::test::namesIn(folder / "assets");
        ASSERT_EQ(assets.size(), 1u);
        if (!row.betweenSQL.empty())
            sqlite3(file, { row.betweenSQL });
        CloudSQLiteDatabase(kContainer, { .folder = folder });
        const std::string dumped = sqlite3(file, { "PRAGMA user_version;", ".dump" });

        const auto earlier = vellumar::test::runPeer(
            { "sh", "-c", "sqlite3 \"$0\" \"$1\" 2>&1", file.string(), kEarlierVersionFirstStep });
        EXPECT_NE(earlier.output.find("there is already an index named fields"), std::string::npos)
            << earlier.output;
        EXPECT_TRUE(dumped.starts_with("2\n"));
        EXPECT_TRUE(sqlite3(file, { "PRAGMA user_version;", ".dump" }) == dumped)
            << "the database was changed";
        CloudSQLiteDatabase database(kContainer, { .folder = folder });
        const CloudRecord saved { "Envelope", "r",
            { { "file", CloudAsset { folder / "assets" / *assets.begin() } } } };
        EXPECT_EQ(database.fetchRecords("zone", { "r" }, std::nullopt).front().record, saved);
        EXPECT_EQ(vellumar::test::readFile(folder / "assets" / *assets.begin()), "asset bytes");
    }
}

TEST(CloudSQLiteOtherWriter, DamagedPackedFieldsGiveTheRecordWithoutThem)
{
    struct Case {
        std::string name;
        // What python makes of the packed fields `f` of a record holding the text "v" under "k".
        std::string rewrite;
        CloudRecord expected;
    };
    const CloudRecord whole { "Envelope", "r", { { "k", std::string("v") } } };
    const CloudRecord withoutFields { "Envelope", "r", {} };
    const Case cases[] = {
        { "as saved", "f", whole },
        { "cut short", "f[:-1]", withoutFields },
        { "length past the end", R"(f[:5] + b'\x7f' + f[6:])", withoutFields },
        { "unknown kind", R"(f[:4] + b'\x05' + f[5:])", withoutFields },
        { "a text", "'text'", withoutFields },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        vellumar::test::TemporaryFolder root;
        CloudSQLiteDatabase database(kContainer, { .folder = root / "cloud" });
        database.saveZone("zone");
        database.saveRecords("zone", { whole }, CloudSavePolicy::allKeys);
        ASSERT_EQ(vellumar::test::runPeer(
                      { "python3", "-c", kFieldsRewriter, database.databaseFile().string(), row.rewrite })
                      .exitStatus,
            0);
        vellumar::test::CapturedLog log;

        EXPECT_EQ(database.fetchRecords("zone", { "r" }, std::nullopt).front().record, row.expected);
        EXPECT_EQ(database.fetchZoneChanges("zone", std::nullopt, std::nullopt).modified,
            std::vector { row.expected });
        EXPECT_EQ(database.deleteRecords("zone", { "r" }).front().error, std::nullopt);
        // One line for each read of the damaged row: the fetch, the feed and the deletion's asset look-up.
        EXPECT_EQ(log.lines().size(), row.expected == whole ? 0u : 3u);
        for (const auto& line : log.lines())
            EXPECT_EQ(line,
                "cloud record damaged: the fields of record \"r\" do not read; the record comes without "
                "them");
    }
}
