// Envelopes whose asset names another process rewrote into paths, on each database the store runs on:
// whatever the Mac then does with them leaves every file but the database's own as it was.
#include "MovraneMailbox/CloudStore/CloudKitMailboxMapping.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "Platform/CloudPostgresDatabase.h"
#include "Platform/CloudSQLiteDatabase.h"
#include "tests/MovraneMailbox/CloudStore/CloudStoreFixture.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

#include <map>

using namespace movrane;
using namespace vellumar::platform;
namespace fs = std::filesystem;

namespace {

// Another process's rewrite of every asset field of a zone, the name put in as a value whatever bytes it
// holds: on SQLite within each record's packed fields (kind 4, each length a LEB128 number).
constexpr const char* kSQLiteRewrite = R"(import sqlite3, sys
def length(b, i):
    n = shift = 0
    while True:
        n, shift, i = n | (b[i] & 0x7f) << shift, shift + 7, i + 1
        if b[i - 1] < 0x80:
            return n, i
def sized(value):
    n, out = len(value), bytearray()
    while n >= 0x80:
        out.append(n & 0x7f | 0x80)
        n >>= 7
    return bytes(out) + bytes([n]) + value
name = sys.stdin.buffer.read()
db = sqlite3.connect(sys.argv[1])
for record, f in db.execute('SELECT name, fields FROM records WHERE zone = ?', (sys.argv[2],)).fetchall():
    count, i = length(f, 1)
    out = f[:i]
    for _ in range(count):
        n, j = length(f, i)
        kind, j = f[j + n], j + n + 1
        end = j + 8 if kind in (1, 2) else sum(length(f, j))
        out += f[i:j] + (sized(name) if kind == 4 else f[j:end])
        i = end
    db.execute('UPDATE records SET fields = ? WHERE zone = ? AND name = ?', (out, sys.argv[2], record))
db.commit()
)";
// On PostgreSQL the name sits in the record's list of assets and in its packed fields, right after the
// key "asset", which sorts first of an envelope's: version, count, key and kind, then the name as its
// length (one byte, or two from 128) and its bytes, in place of the 32 hexadecimal digits it had.
constexpr const char* kPostgresRewrite = R"(SET search_path TO :schema;
WITH n AS (SELECT convert_to(:'name', 'UTF8') AS bytes) UPDATE records SET assets = ARRAY[:'name'],
  fields = substring(fields FROM 1 FOR 9)
    || CASE WHEN length(n.bytes) < 128 THEN set_byte('\x00'::bytea, 0, length(n.bytes))
       ELSE set_byte(set_byte('\x0000'::bytea, 0, length(n.bytes) % 128 + 128), 1, length(n.bytes) / 128) END
    || n.bytes || substring(fields FROM 43)
  FROM n WHERE zone = :'zone' AND cardinality(assets) = 1;)";

// The embedded database, rewritten by python3's sqlite3 module.
struct OnSQLite {
    static constexpr const char* name = "SQLite";
    vellumar::test::TemporaryFolder root;

    std::string skipReason() const { return ""; }
    CloudDatabaseChoice choice() const { return {}; }
    static fs::path assetFolder(const fs::path& cloudFolder) { return cloudFolder / "assets"; }
    void nameAssets(CloudDatabase& database, const std::string& zone, const std::string& assetName)
    {
        auto file = dynamic_cast<CloudSQLiteDatabase&>(database).databaseFile();
        EXPECT_EQ(
            vellumar::test::runPeer({ "python3", "-c", kSQLiteRewrite, file, zone }, assetName).exitStatus,
            0);
    }
};

// A server of the test's own, rewritten by psql.
struct OnPostgres : test::PostgresStoreFactory {
    static constexpr const char* name = "PostgreSQL";

    static fs::path assetFolder(const fs::path& cloudFolder) { return cloudFolder / "postgresql-assets"; }
    void nameAssets(CloudDatabase& database, const std::string& zone, const std::string& assetName)
    {
        auto schema = dynamic_cast<CloudPostgresDatabase&>(database).schema();
        EXPECT_EQ(vellumar::test::runPeer(
                      { "psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-v", "schema=" + schema, "-v",
                          "name=" + assetName, "-v", "zone=" + zone, "-d", server.conninfo() },
                      kPostgresRewrite)
                      .exitStatus,
            0);
    }
};

struct BackendName {
    template <typename Backend> static std::string GetName(int) { return Backend::name; }
};

template <typename Backend> class CloudKitMailboxStoreDamagedAssets : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = backend.skipReason(); !reason.empty())
            GTEST_SKIP() << reason;
    }

    // An envelope of the zone, saved with an asset holding `content`.
    MailboxEnvelopeRecord savedWithAsset(const std::string& zone, int createdSecond, std::string_view content)
    {
        auto record = envelope(MailboxRecordName::envelope(), createdSecond, "sealed");
        record.assetFile = backend.root / "attachment";
        vellumar::test::writeBytes(*record.assetFile, content);
        macStore.saveEnvelope(record, zone);
        return record;
    }

    // Content and modification time of every file outside the cloud folder, and of `victims` wherever
    // they are.
    std::map<std::string, std::string> filesAsTheyAre(const std::vector<fs::path>& victims) const
    {
        std::map<std::string, std::string> files;
        auto note = [&files](const fs::path& file) {
            std::error_code error;
            auto modified = fs::last_write_time(file, error);
            files[file.string()] = vellumar::test::readFile(file) + " written at "
                + (error ? "?" : std::to_string(modified.time_since_epoch().count()));
        };
        const fs::path& root = backend.root.path();
        for (auto entry = fs::recursive_directory_iterator(root); entry != fs::end(entry); ++entry) {
            if (entry->path() == cloudFolder)
                entry.disable_recursion_pending();
            else if (entry->is_regular_file())
                note(entry->path());
        }
        for (const auto& victim : victims) {
            if (fs::exists(victim))
                note(victim);
        }
        return files;
    }

    Backend backend;
    // Deep enough that a name climbing four folders up from the asset folder stays in the test's folder.
    const fs::path cloudFolder = backend.root / "a" / "b" / "c" / "cloud";
    CloudKitMailboxStore macStore { std::string(MailboxProtocol::containerIdentifier),
        { .folder = cloudFolder, .choice = backend.choice() } };
};

using Backends = ::testing::Types<OnSQLite, OnPostgres>;

}

TYPED_TEST_SUITE(CloudKitMailboxStoreDamagedAssets, Backends, BackendName);

TYPED_TEST(CloudKitMailboxStoreDamagedAssets, AreMissingAssetsThatLeaveEveryOtherFileAsItWas)
{
    const fs::path& root = this->backend.root.path();
    const fs::path assets = TypeParam::assetFolder(this->cloudFolder);
    const std::string tooLong(33, 'a');
    struct Case {
        std::string name;
        std::string assetName;
        // The file the name reaches from the asset folder; none where it names a folder or nothing.
        std::optional<fs::path> victim;
    };
    const Case cases[] = {
        { "absolute", (root / "victims" / "absolute").string(), root / "victims" / "absolute" },
        { "climbing", "../../../../x", root / "a" / "x" },
        { "subfolder", "a/b", assets / "a" / "b" },
        { "the asset folder", ".", std::nullopt },
        { "the cloud folder", "..", std::nullopt },
        { "empty", "", std::nullopt },
        { "300 bytes", std::string(300, 'f'), std::nullopt },
        { "line break", "line\nbreak", assets / "line\nbreak" },
        { "one hexadecimal digit too many", tooLong, assets / tooLong },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        auto& mac = this->macStore;
        const std::string zone = MailboxZoneName::make();
        mac.ensureZone(zone);
        auto dropped = this->savedWithAsset(zone, 1, "dropped");
        auto replaced = this->savedWithAsset(zone, 2, "replaced");
        this->backend.nameAssets(mac.container(), zone, row.assetName);
        std::vector<fs::path> victims;
        if (row.victim) {
            vellumar::test::writeBytes(*row.victim, "victim of " + row.name);
            fs::last_write_time(*row.victim, fs::file_time_type::clock::now() - std::chrono::hours(2));
            victims.push_back(*row.victim);
        }
        vellumar::test::writeBytes(root / "replacement", "replacement");
        auto before = this->filesAsTheyAre(victims);
        vellumar::test::CapturedLog log;

        // The Mac reads the feed, finds no asset to open, drops the envelope and deletes its record.
        EXPECT_EQ(test::storedNames(mac, zone), (std::set { dropped.name, replaced.name }));
        EXPECT_EQ(
            failureOf([&] { mac.fetchAsset(dropped.name, zone); }), textOf(MailboxError::Kind::notFound));
        EXPECT_EQ(log.lines().size(), 1u);
        mac.deleteEnvelopes({ dropped.name }, zone);

        std::optional<CloudRecord> whole;
        EXPECT_NO_THROW(
            whole = mac.container().fetchRecords(zone, { replaced.name }, std::nullopt)[0].record);
        EXPECT_TRUE(whole && !whole->field(MailboxProtocol::Field::asset));
        replaced.assetFile = root / "replacement";
        EXPECT_FALSE(mac.container()
                         .saveRecords(zone, { CloudKitMailboxMapping::envelopeCKRecord(replaced) },
                             CloudSavePolicy::allKeys)
                         .front()
                         .error);
        auto copy = mac.fetchAsset(replaced.name, zone);
        EXPECT_EQ(vellumar::test::readFile(copy), "replacement");
        fs::remove(copy);

        this->backend.nameAssets(mac.container(), zone, row.assetName);
        mac.deleteZone(zone);
        // One line for each time a damaged name was met, each line one line.
        for (const auto& line : log.lines()) {
            EXPECT_TRUE(line.starts_with("cloud record damaged: ")) << line;
            EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        }
        EXPECT_EQ(this->filesAsTheyAre(victims), before);
    }
}
