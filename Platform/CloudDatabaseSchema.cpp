#include "Platform/CloudDatabaseSchema.h"

#include "Platform/CloudSQLite.h"
#include "Platform/Log.h"
#include "Platform/PrivateFiles.h"
#include "Platform/Random.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <set>
#include <unistd.h>

namespace vellumar::platform {

namespace {

    // A record's fields are packed together in its row (CloudFieldPacking). The feed holds one row per
    // record, moved to a new sequence number on every change, so a page never reports a record twice; a
    // deletion stays as a row with `deleted` set, and a change of a record that exists names its row
    // (`record_row`). A page is then one walk along `feed_pages` and one row look-up per record.
    constexpr const char* kSchema = R"sql(
        CREATE TABLE IF NOT EXISTS zones(name TEXT PRIMARY KEY, epoch INTEGER NOT NULL);
        CREATE TABLE IF NOT EXISTS records(zone TEXT NOT NULL, name TEXT NOT NULL, type TEXT NOT NULL,
            fields BLOB NOT NULL, PRIMARY KEY(zone, name));
        CREATE TABLE IF NOT EXISTS changes(sequence INTEGER PRIMARY KEY AUTOINCREMENT, zone TEXT NOT NULL,
            record TEXT NOT NULL, deleted INTEGER NOT NULL, record_row INTEGER, UNIQUE(zone, record));
        CREATE INDEX IF NOT EXISTS feed_pages ON changes(zone, sequence, record, deleted, record_row);
        CREATE TABLE IF NOT EXISTS subscriptions(id TEXT PRIMARY KEY, zone TEXT NOT NULL,
            record_type TEXT NOT NULL, content_available INTEGER NOT NULL, title_key TEXT, body_key TEXT,
            sound TEXT);
        CREATE TABLE IF NOT EXISTS subscription_clauses(subscription TEXT NOT NULL, position INTEGER NOT NULL,
            key TEXT NOT NULL, value TEXT NOT NULL, PRIMARY KEY(subscription, position)) WITHOUT ROWID;
        CREATE TABLE IF NOT EXISTS account(id INTEGER PRIMARY KEY CHECK(id = 1), status INTEGER NOT NULL,
            user_record_name TEXT NOT NULL);
        CREATE TABLE IF NOT EXISTS queued_failures(id INTEGER PRIMARY KEY AUTOINCREMENT,
            operation TEXT NOT NULL, code INTEGER NOT NULL, retry_after REAL, remaining INTEGER NOT NULL);
        CREATE TABLE IF NOT EXISTS lines_to_log(id INTEGER PRIMARY KEY AUTOINCREMENT, line TEXT NOT NULL);
    )sql";

    // A version from before packed fields does not refuse them: it makes its table of field rows unless
    // one exists, marks the file as its own and, with no record naming an asset in that table, removes
    // every asset file as unused. An always empty index of that table's name makes its first step fail,
    // so it refuses the file before changing anything.
    constexpr const char* kEarlierVersionGuard = "CREATE INDEX IF NOT EXISTS fields ON zones(name) WHERE 0";

    constexpr std::size_t kUserRecordNameBytes = 16;
    constexpr std::size_t kAssetNameBytes = 16;
    // A kept line holds no words of this program's lines, only which line it is and the store's text in
    // it, each part printable and on a line of its own.
    constexpr const char* kKeptRepairedLine = "repaired";
    constexpr std::string_view kKeptFieldsLeftOut = "fields left out";
    constexpr std::string_view kKeptUnplacedRecord = "no place in the feed";
    constexpr const char* kRepairedLine
        = "cloud database repaired: an earlier version of this program had marked it as its own; its layout "
          "is put back with every record";
    // Enough of a damaged name or of a store's message to recognise it by, and no more of what another
    // process wrote.
    constexpr std::size_t kLoggedTextBytes = 64;
    // Longer than any line this program keeps to log, whose names are cut as above.
    constexpr std::size_t kKeptLineBytes = 256;
    constexpr std::int64_t kSchemaVersion = 2;
    // Far longer than any writer takes from copying an asset to committing its record.
    constexpr auto kOrphanedAssetAge = std::chrono::hours(1);

    std::int64_t schemaVersion(CloudSQLiteConnection& connection)
    {
        auto query = connection.statement("PRAGMA user_version");
        return query.step() ? query.integer(0) : 0;
    }

    // "_" and 32 lowercase hex digits, the form of the service's own user record names. The account
    // proofs are keyed by it, so it comes from the secure generator.
    std::string newUserRecordName() { return "_" + secureRandomHex(kUserRecordNameBytes); }

    // The form `newCloudAssetName` gives, which is never absolute, never climbs and fits a file name.
    bool isCloudAssetName(std::string_view name)
    {
        return name.size() == 2 * kAssetNameBytes && std::all_of(name.begin(), name.end(), [](char digit) {
            return (digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f');
        });
    }

    void logDamagedFields(std::string_view recordName)
    {
        logError("cloud record damaged: the fields of record \"" + printableCloudText(recordName)
            + "\" do not read; the record comes without them");
    }

    void refuseNewerSchema(std::int64_t version)
    {
        if (version > kSchemaVersion)
            throw newerCloudSchemaRefusal(version, kSchemaVersion);
    }

    // A field row's value as it is packed now; absent for a row of a kind no version knows.
    std::optional<CloudStoredValue> fieldRowValue(const CloudSQLiteStatement& row, int kindColumn)
    {
        int valueColumn = kindColumn + 1;
        switch (static_cast<CloudFieldKind>(row.integer(kindColumn))) {
        case CloudFieldKind::string:
            return row.text(valueColumn);
        case CloudFieldKind::date:
            return CloudDate(std::chrono::duration_cast<CloudDate::duration>(
                std::chrono::nanoseconds(row.integer(valueColumn))));
        case CloudFieldKind::int64:
            return row.integer(valueColumn);
        case CloudFieldKind::bytes:
            return row.blob(valueColumn);
        case CloudFieldKind::asset:
            return CloudAssetName { row.text(valueColumn) };
        }
        return std::nullopt;
    }

    // Of the current layout and guarded against earlier versions: nothing to write.
    bool isPrepared(CloudSQLiteConnection& connection, std::int64_t version)
    {
        return version == kSchemaVersion
            && connection.statement("SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = 'fields'")
                   .step();
    }

    bool hasTable(CloudSQLiteConnection& connection, const std::string& table)
    {
        return connection.statement("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?")
            .bind(1, table)
            .step();
    }

    // The table of field rows, which the earliest versions make without writing a schema version.
    bool hasFieldRows(CloudSQLiteConnection& connection) { return hasTable(connection, "fields"); }

    // Each table of this layout with its columns, as the schema makes them.
    const std::vector<std::pair<std::string, std::string>>& layoutColumns()
    {
        static const auto columns = [] {
            CloudSQLiteConnection layout(":memory:", std::chrono::milliseconds(0));
            layout.execute(kSchema);
            auto query
                = layout.statement("SELECT m.name, group_concat(c.name, ', ') FROM sqlite_master AS m, "
                                   "pragma_table_info(m.name) AS c WHERE m.type = 'table' AND "
                                   "m.name NOT LIKE 'sqlite%' GROUP BY m.name");
            std::vector<std::pair<std::string, std::string>> found;
            while (query.step())
                found.emplace_back(query.text(0), query.text(1));
            return found;
        }();
        return columns;
    }

    // Fails with SQLite's own reason when a table of this layout lacks a column, as one of another program
    // or a damaged one may, which requests could not read. Reads only; a table still missing is made
    // whole with the others.
    void refuseMissingColumns(CloudSQLiteConnection& connection)
    {
        for (const auto& [table, columns] : layoutColumns()) {
            if (hasTable(connection, table))
                connection.statement("SELECT " + columns + " FROM " + table + " LIMIT 0");
        }
    }

    void keepLinesToLog(CloudSQLiteConnection& connection, const std::vector<std::string>& lines)
    {
        for (const auto& line : lines)
            connection.statement("INSERT INTO lines_to_log(line) VALUES(?)").bind(1, line).run();
    }

    // The lines of committed work, which a program killed right after the commit has not logged: each is
    // logged before it is removed, in one transaction, so it reaches the log at least once, and twice
    // only when a kill comes between the two; past the most one open logs, one line counts the rest. Only
    // a database holding some is written.
    void logCommittedLines(CloudSQLiteConnection& connection)
    {
        if (!hasTable(connection, "lines_to_log")
            || !connection.statement("SELECT 1 FROM lines_to_log LIMIT 1").step())
            return;
        CloudSQLiteTransaction transaction(connection, CloudTransactionKind::write);
        {
            auto lines = connection.statement(
                "SELECT substr(line, 1, ?), count(*) OVER () FROM lines_to_log ORDER BY id LIMIT ?");
            lines.bind(1, cloudLineReadLength()).bind(2, kCloudLinesLoggedPerOpen);
            std::int64_t kept = 0;
            while (lines.step()) {
                logError(loggedCloudLine(lines.text(0)));
                kept = lines.integer(1);
            }
            if (kept > kCloudLinesLoggedPerOpen)
                logError(cloudLinesLeftOutLine(kept - kCloudLinesLoggedPerOpen));
        }
        connection.execute("DELETE FROM lines_to_log");
        transaction.commit();
    }

    bool recordsHoldPackedFields(CloudSQLiteConnection& connection)
    {
        return connection.statement("SELECT 1 FROM pragma_table_info('records') WHERE name = 'fields'")
            .step();
    }

    // An earlier version of this program, given a database of packed fields, marks it as its own (the
    // earliest two leave its version as it was) and adds its table of field rows and its index of the
    // feed; unable to save a record without the packed column, it writes nothing else but deletions,
    // which read here as they are. Those additions are undone within the caller's transaction. Field
    // rows in that table are no earlier version's, and leave the database refused as it is.
    void restorePackedLayout(CloudSQLiteConnection& connection)
    {
        if (connection.statement("SELECT 1 FROM fields").step())
            throw CloudOpenRefusal { CloudErrorCode::internalError,
                "it holds both packed fields and field rows" };
        connection.execute("DROP TABLE fields; DROP INDEX IF EXISTS changes_by_zone");
    }

    // Moves the fields of a database of one row per field into their records' rows and has each change
    // name its record's row, within the caller's transaction, so that a failure leaves the database as
    // it was; what it left out goes to `lines`, for the log once that transaction commits.
    void packFieldRows(CloudSQLiteConnection& connection, std::vector<std::string>& lines)
    {
        connection.execute("ALTER TABLE records RENAME TO field_row_records; DROP INDEX changes_by_zone; "
                           "ALTER TABLE changes ADD COLUMN record_row INTEGER");
        connection.execute(kSchema);
        {
            auto records = connection.statement("SELECT zone, name, type FROM field_row_records");
            while (records.step()) {
                std::string zone = records.text(0);
                std::string name = records.text(1);
                auto rows = connection.statement(
                    "SELECT key, kind, value FROM fields WHERE zone = ? AND record = ?");
                rows.bind(1, zone).bind(2, name);
                CloudStoredFields fields;
                std::size_t leftOut = 0;
                while (rows.step()) {
                    if (auto value = fieldRowValue(rows, 1))
                        fields.emplace(rows.text(0), std::move(*value));
                    else
                        ++leftOut;
                }
                if (leftOut > 0)
                    lines.push_back(keptCloudFieldsLeftOutLine(zone, name, leftOut));
                connection.statement("INSERT INTO records(zone, name, type, fields) VALUES(?, ?, ?, ?)")
                    .bind(1, zone)
                    .bind(2, name)
                    .bind(3, records.text(2))
                    .bindBlob(4, packCloudFields(fields))
                    .run();
            }
        }
        connection.execute("UPDATE changes SET record_row = (SELECT rowid FROM records "
                           "WHERE zone = changes.zone AND name = changes.record) WHERE deleted = 0; "
                           "DROP TABLE field_row_records; DROP TABLE fields");
    }

}

void configureCloudConnection(CloudSQLiteConnection& connection)
{
    // A commit is on disk before the call returns: an envelope a caller was told is saved survives a
    // power cut, not only a killed process.
    connection.execute("PRAGMA synchronous = FULL");
}

namespace {

    // prepareCloudSchema's work, whose refusals it logs.
    void prepareLayout(CloudSQLiteConnection& connection)
    {
        std::int64_t version = schemaVersion(connection);
        refuseNewerSchema(version);
        // Before the first write, that of the journal mode among them, so that a refused file keeps every
        // byte. A database of field rows lacks columns until it is carried over.
        if (!hasFieldRows(connection))
            refuseMissingColumns(connection);
        connection.execute("PRAGMA journal_mode = WAL");
        // A database made before needs no write, so opening it never waits for another process's writer.
        if (isPrepared(connection, version))
            return;
        CloudSQLiteTransaction transaction(connection, CloudTransactionKind::write);
        // Another process may have prepared the file since it was read.
        version = schemaVersion(connection);
        refuseNewerSchema(version);
        if (isPrepared(connection, version))
            return;
        // Told by its tables rather than by its version, which the earliest versions never write.
        std::vector<std::string> lines;
        if (hasFieldRows(connection)) {
            if (recordsHoldPackedFields(connection)) {
                restorePackedLayout(connection);
                lines.push_back(kKeptRepairedLine);
            } else
                packFieldRows(connection, lines);
        }
        connection.execute(kSchema);
        // What the carry-over left, or another process changed since the first look.
        refuseMissingColumns(connection);
        // Made here rather than with the tables: the carry-over makes them while the table of field rows
        // still exists.
        connection.execute(kEarlierVersionGuard);
        connection.execute("PRAGMA user_version = " + std::to_string(kSchemaVersion));
        connection.statement("INSERT OR IGNORE INTO account(id, status, user_record_name) VALUES(1, ?, ?)")
            .bind(1, static_cast<std::int64_t>(CloudAccountStatus::available))
            .bind(2, newUserRecordName())
            .run();
        // Logged once committed, never for work rolled back.
        keepLinesToLog(connection, lines);
        transaction.commit();
    }

}

void prepareCloudSchema(CloudSQLiteConnection& connection)
{
    prepareLayout(connection);
    logCommittedLines(connection);
}

CloudOpenRefusal newerCloudSchemaRefusal(std::int64_t version, std::int64_t known)
{
    return { CloudErrorCode::incompatibleVersion,
        "its schema version " + std::to_string(version) + " is newer than this program's "
            + std::to_string(known) };
}

void prepareLoggingRefusals(const std::function<void()>& prepare)
{
    // Every refusal says why: a program that cannot open its database has nothing else to show for it.
    try {
        prepare();
    } catch (const CloudOpenRefusal& refusal) {
        logError("cloud database refused: " + refusal.reason + "; it is left as it is");
        throw CloudDatabaseError(refusal.code);
    } catch (const CloudDatabaseError& error) {
        logError(std::string("cloud database refused: ") + error.what() + "; it is left as it is");
        throw;
    }
}

namespace {

    std::string printableCut(std::string_view text, std::size_t maxBytes)
    {
        std::string printable(text.substr(0, maxBytes));
        std::replace_if(
            printable.begin(), printable.end(), [](char byte) { return byte < ' ' || byte > '~'; }, '?');
        return text.size() > maxBytes ? printable + "..." : printable;
    }

}

std::string printableCloudText(std::string_view text) { return printableCut(text, kLoggedTextBytes); }

std::int64_t cloudLineReadLength() { return kKeptLineBytes; }

std::string cloudLinesLeftOutLine(std::int64_t count)
{
    return "cloud database kept " + std::to_string(count) + " more lines to log; they are left out";
}

namespace {

    // The kind of a kept line, then the store's text in it, printable, a part a line.
    std::string keptLine(std::initializer_list<std::string_view> parts)
    {
        std::string kept;
        for (auto part : parts)
            kept += (kept.empty() ? "" : "\n") + printableCloudText(part);
        return kept;
    }

    std::vector<std::string_view> keptLineParts(std::string_view keptLine)
    {
        std::vector<std::string_view> parts;
        for (auto lineBreak = keptLine.find('\n'); lineBreak != std::string_view::npos;
             lineBreak = keptLine.find('\n')) {
            parts.push_back(keptLine.substr(0, lineBreak));
            keptLine.remove_prefix(lineBreak + 1);
        }
        parts.push_back(keptLine);
        return parts;
    }

}

std::string loggedCloudLine(std::string_view keptLine)
{
    auto parts = keptLineParts(keptLine);
    if (parts.size() == 1 && parts[0] == kKeptRepairedLine)
        return kRepairedLine;
    if (parts.size() == 3 && parts[0] == kKeptUnplacedRecord)
        return "cloud record damaged: record \"" + printableCloudText(parts[2]) + "\" in zone \""
            + printableCloudText(parts[1])
            + "\" had no place in the change feed; it is carried over as the feed's latest change";
    if (parts.size() == 4 && parts[0] == kKeptFieldsLeftOut) {
        std::size_t count = 0;
        const char* end = parts[1].data() + parts[1].size();
        auto read = std::from_chars(parts[1].data(), end, count);
        if (read.ec == std::errc() && read.ptr == end)
            return "cloud record damaged: " + std::to_string(count) + (count == 1 ? " field" : " fields")
                + " of record \"" + printableCloudText(parts[3]) + "\" in zone \""
                + printableCloudText(parts[2])
                + "\" could not be read; the record is carried over without them";
    }
    return printableCloudText(keptLine);
}

std::string keptCloudFieldsLeftOutLine(
    std::string_view zoneName, std::string_view recordName, std::size_t count)
{
    return keptLine({ kKeptFieldsLeftOut, std::to_string(count), zoneName, recordName });
}

std::string keptCloudUnplacedRecordLine(std::string_view zoneName, std::string_view recordName)
{
    return keptLine({ kKeptUnplacedRecord, zoneName, recordName });
}

std::int64_t newCloudZoneEpoch()
{
    std::int64_t epoch = 0;
    for (std::uint8_t byte : secureRandomBytes(7))
        epoch = epoch << 8 | byte;
    return epoch;
}

std::optional<std::int64_t> cloudZoneEpoch(CloudSQLiteConnection& connection, const std::string& zoneName)
{
    auto query = connection.statement("SELECT epoch FROM zones WHERE name = ?");
    if (!query.bind(1, zoneName).step())
        return std::nullopt;
    return query.integer(0);
}

std::filesystem::path cloudAssetFolder(const std::filesystem::path& cloudFolder)
{
    return cloudFolder / "assets";
}

std::string newCloudAssetName() { return secureRandomHex(kAssetNameBytes); }

std::optional<std::filesystem::path> cloudAssetFile(
    const std::filesystem::path& folder, std::string_view assetName)
{
    if (isCloudAssetName(assetName))
        return folder / assetName;
    logError("cloud record damaged: asset name \"" + printableCloudText(assetName)
        + "\" is not one the database makes; the asset is taken as missing");
    return std::nullopt;
}

CloudRecord cloudRecordOfRow(std::string recordType, std::string recordName,
    std::span<const std::uint8_t> packed, const std::filesystem::path& assetFolder,
    const std::optional<std::set<std::string>>& desiredKeys)
{
    CloudRecord record { std::move(recordType), std::move(recordName), {} };
    auto fields = unpackCloudValues(
        packed, desiredKeys, [&](const std::string& assetName) -> std::optional<CloudValue> {
            if (auto file = cloudAssetFile(assetFolder, assetName))
                return CloudAsset { std::move(*file) };
            return std::nullopt;
        });
    if (fields)
        record.fields = std::move(*fields);
    else
        logDamagedFields(record.recordName);
    return record;
}

std::vector<std::string> unpackCloudRecordAssets(
    std::span<const std::uint8_t> packed, std::string_view recordName)
{
    auto names = unpackCloudAssetNames(packed);
    if (!names)
        logDamagedFields(recordName);
    return names ? std::move(*names) : std::vector<std::string>();
}

std::vector<std::string> cloudZoneAssets(CloudSQLiteConnection& connection, const std::string& zoneName)
{
    auto query = connection.statement("SELECT name, fields FROM records WHERE zone = ?");
    query.bind(1, zoneName);
    std::vector<std::string> names;
    while (query.step()) {
        auto assets = unpackCloudRecordAssets(query.blobBytes(1), query.text(0));
        names.insert(names.end(), assets.begin(), assets.end());
    }
    return names;
}

void removeOrphanedCloudAssets(CloudSQLiteConnection& connection, const std::filesystem::path& cloudFolder)
{
    auto candidates = entriesOlderThan(cloudAssetFolder(cloudFolder), kOrphanedAssetAge);
    if (candidates.empty())
        return;
    // Asset names are packed with the other fields, so every record is read; this runs only when some
    // asset file is old enough to be an orphan.
    auto query = connection.statement("SELECT name, fields FROM records");
    std::set<std::string> referenced;
    // A damaged name refers to no file, so it keeps none.
    while (query.step()) {
        for (auto& name : unpackCloudRecordAssets(query.blobBytes(1), query.text(0))) {
            if (isCloudAssetName(name))
                referenced.insert(std::move(name));
        }
    }
    for (const auto& candidate : candidates) {
        if (!referenced.contains(candidate.filename().string()))
            ::unlink(candidate.c_str());
    }
}

void removeCloudAssets(const std::filesystem::path& cloudFolder, const std::vector<std::string>& assetNames)
{
    for (const auto& name : assetNames) {
        if (auto file = cloudAssetFile(cloudAssetFolder(cloudFolder), name))
            ::unlink(file->c_str());
    }
}

}
