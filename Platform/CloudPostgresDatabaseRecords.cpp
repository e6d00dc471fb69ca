// The record requests of the cloud database on PostgreSQL: saving, deleting and fetching records with
// their assets, and the change feed.
#include "Platform/CloudPostgresDatabase.h"

#include "Platform/CloudDatabaseSchema.h"
#include "Platform/CloudPostgresSchema.h"
#include "Platform/Log.h"
#include "Platform/Random.h"

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace vellumar::platform {

namespace {

    namespace fs = std::filesystem;
    using Access = CloudPostgresPool::Access;

    // The most of an asset either side holds at once.
    constexpr std::size_t kAssetPartBytes = 1024 * 1024;

    std::string number(std::int64_t value) { return std::to_string(value); }

    // Stores the file's bytes in parts under a new name; absent when the file cannot be read.
    std::optional<std::string> uploadAsset(CloudPostgresConnection& connection, const fs::path& file)
    {
        std::error_code error;
        if (!fs::is_regular_file(file, error))
            return std::nullopt;
        std::ifstream input(file, std::ios::binary);
        if (!input)
            return std::nullopt;
        std::string name = newCloudAssetName();
        CloudBytes part(kAssetPartBytes);
        for (int index = 0;; ++index) {
            input.read(reinterpret_cast<char*>(part.data()), static_cast<std::streamsize>(part.size()));
            auto count = static_cast<std::size_t>(input.gcount());
            if (input.bad())
                return std::nullopt;
            // An empty file still has one (empty) part, so every asset has a row.
            if (count == 0 && index > 0)
                break;
            part.resize(count);
            connection.run(
                "INSERT INTO assets(name, part, bytes) VALUES($1, $2, $3)", { name, number(index), part });
            if (count < kAssetPartBytes)
                break;
            part.resize(kAssetPartBytes);
        }
        return name;
    }

    // Uploads the record's asset files; absent when one cannot be read. By field key.
    std::optional<std::map<std::string, std::string>> uploadAssets(
        CloudPostgresConnection& connection, const CloudRecord& record)
    {
        std::map<std::string, std::string> names;
        for (const auto& [key, value] : record.fields) {
            const auto* asset = std::get_if<CloudAsset>(&value);
            if (!asset)
                continue;
            auto name = uploadAsset(connection, asset->fileURL);
            if (!name)
                return std::nullopt;
            names.emplace(key, std::move(*name));
        }
        return names;
    }

    // A text[] value of the server's text form, each item quoted, so that no name can end or split
    // the array.
    std::string textArray(const std::map<std::string, std::string>& values)
    {
        std::string literal = "{";
        for (const auto& [key, value] : values) {
            if (literal.size() > 1)
                literal += ',';
            literal += '"';
            for (char character : value) {
                if (character == '"' || character == '\\')
                    literal += '\\';
                literal += character;
            }
            literal += '"';
        }
        return literal + "}";
    }

    // Removes the parts of the stored record's assets; false when no record of that name is stored.
    bool retireRecord(
        CloudPostgresConnection& connection, const std::string& zoneName, const std::string& recordName)
    {
        return connection
                   .run("WITH old AS (SELECT assets FROM records WHERE zone = $1 AND name = $2 AND type IS "
                        "NOT "
                        "NULL), parts AS (DELETE FROM assets WHERE name IN (SELECT unnest(assets) FROM old)) "
                        "SELECT 1 FROM old",
                       { zoneName, recordName })
                   .count()
            > 0;
    }

    bool recordExists(
        CloudPostgresConnection& connection, const std::string& zoneName, const std::string& recordName)
    {
        return connection
                   .run("SELECT 1 FROM records WHERE zone = $1 AND name = $2 AND type IS NOT NULL",
                       { zoneName, recordName })
                   .count()
            > 0;
    }

    // Writes the record's row at the end of the feed: the record as saved, or, with no type, its
    // deletion. Only writers, one at a time, call it.
    void writeRecordRow(CloudPostgresConnection& connection, const std::string& zoneName,
        const std::string& recordName, CloudPostgresValue type, CloudPostgresValue fields,
        const std::string& assets)
    {
        connection.run(
            "WITH next AS (UPDATE feed SET last_sequence = last_sequence + 1 WHERE id = 1 "
            "RETURNING last_sequence) INSERT INTO records(zone, name, sequence, type, fields, assets) "
            "SELECT $1, $2, last_sequence, $3::text, $4::bytea, $5::text[] FROM next "
            "ON CONFLICT(zone, name) DO UPDATE SET sequence = excluded.sequence, type = excluded.type, "
            "fields = excluded.fields, assets = excluded.assets",
            { zoneName, recordName, std::move(type), std::move(fields), assets });
    }

    std::int64_t requireZone(CloudPostgresConnection& connection, const std::string& zoneName)
    {
        auto rows = connection.run("SELECT epoch FROM zones WHERE name = $1", { zoneName });
        if (rows.count() == 0)
            throw CloudDatabaseError(CloudErrorCode::zoneNotFound);
        return rows.integer(0, 0);
    }

    // Writes to a new 0600 file; false when it cannot be written.
    class PartWriter {
    public:
        explicit PartWriter(const fs::path& file)
            : m_descriptor(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600))
        {
        }
        ~PartWriter()
        {
            if (m_descriptor >= 0)
                ::close(m_descriptor);
        }
        PartWriter(const PartWriter&) = delete;
        PartWriter& operator=(const PartWriter&) = delete;

        bool write(const CloudBytes& bytes)
        {
            for (std::size_t written = 0; m_descriptor >= 0 && written < bytes.size();) {
                ssize_t count = ::write(m_descriptor, bytes.data() + written, bytes.size() - written);
                if (count < 0 && errno == EINTR)
                    continue;
                if (count <= 0)
                    return false;
                written += static_cast<std::size_t>(count);
            }
            return m_descriptor >= 0;
        }
        bool close()
        {
            bool closed = ::close(m_descriptor) == 0;
            m_descriptor = -1;
            return closed;
        }

    private:
        int m_descriptor;
    };

}

std::optional<fs::path> CloudPostgresDatabase::cachedAsset(AssetReads& assets, const std::string& assetName)
{
    auto file = cloudAssetFile(m_assetCache, assetName);
    if (!file)
        return std::nullopt;
    const fs::path& cached = *file;
    std::error_code error;
    // Assets never change under their name, so a copy already fetched is the asset. Touched, so that no
    // process opening the database takes it for an old one while this reader copies it.
    if (fs::is_regular_file(cached, error)) {
        fs::last_write_time(cached, fs::file_time_type::clock::now(), error);
        return cached;
    }
    if (!assets.snapshot) {
        assets.missed = true;
        return std::nullopt;
    }
    fs::path partial = m_assetCache / ("." + assetName + "." + secureRandomHex(4));
    bool written = true;
    {
        PartWriter writer(partial);
        for (int index = 0; written; ++index) {
            auto rows = assets.snapshot->run(
                "SELECT bytes FROM assets WHERE name = $1 AND part = $2", { assetName, number(index) });
            if (rows.count() == 0)
                break;
            written = writer.write(rows.bytes(0, 0));
        }
        written = written && writer.close();
    }
    if (!written || ::rename(partial.c_str(), cached.c_str()) != 0) {
        ::unlink(partial.c_str());
        throw CloudDatabaseError(CloudErrorCode::internalError);
    }
    return cached;
}

CloudRecord CloudPostgresDatabase::unpackedRecord(AssetReads& assets, const CloudPostgresRows& rows, int row,
    int typeColumn, std::string recordName, const std::optional<std::set<std::string>>& desiredKeys)
{
    CloudRecord record { rows.text(row, typeColumn), std::move(recordName), {} };
    auto fields = unpackCloudValues(
        rows.bytesView(row, typeColumn + 1), desiredKeys, [&](const std::string& assetName) {
            auto cached = cachedAsset(assets, assetName);
            return cached ? std::optional<CloudValue>(CloudAsset { std::move(*cached) }) : std::nullopt;
        });
    if (fields)
        record.fields = std::move(*fields);
    else
        // Written by another process or machine: the record still counts, without what does not read.
        logError("cloud record damaged: its packed fields do not read");
    return record;
}

std::vector<CloudItemResult> CloudPostgresDatabase::saveRecords(
    const std::string& zoneName, const std::vector<CloudRecord>& records, CloudSavePolicy policy)
{
    std::vector<CloudItemResult> results;
    std::vector<std::string> pushes;
    m_connections->transaction(Access::write, [&](CloudPostgresConnection& connection) {
        results.clear();
        requireZone(connection, zoneName);
        auto subscriptions = readCloudPostgresSubscriptions(connection, zoneName);
        for (const auto& record : records) {
            results.push_back({ record.recordName, std::nullopt });
            auto& error = results.back().error;
            if (record.recordName.empty() || record.recordType.empty()) {
                error = CloudDatabaseError(CloudErrorCode::invalidArguments);
                continue;
            }
            if (policy == CloudSavePolicy::ifServerRecordUnchanged
                && recordExists(connection, zoneName, record.recordName)) {
                error = CloudDatabaseError(CloudErrorCode::serverRecordChanged);
                continue;
            }
            bool withAssets = std::any_of(record.fields.begin(), record.fields.end(),
                [](const auto& field) { return std::holds_alternative<CloudAsset>(field.second); });
            // Parts uploaded before a file that cannot be read go again, as the other items' rows stay.
            if (withAssets)
                connection.run("SAVEPOINT item");
            auto assetNames = uploadAssets(connection, record);
            if (!assetNames) {
                connection.run("ROLLBACK TO SAVEPOINT item");
                error = CloudDatabaseError(CloudErrorCode::assetFileNotFound);
                continue;
            }
            bool replaced = policy != CloudSavePolicy::ifServerRecordUnchanged
                && retireRecord(connection, zoneName, record.recordName);
            writeRecordRow(connection, zoneName, record.recordName, record.recordType,
                packCloudFields(cloudStoredFields(record, *assetNames)), textArray(*assetNames));
            if (replaced)
                continue;
            for (const auto& push : creationPushes(subscriptions, record))
                // Sent when the save commits, and only then.
                connection.run("SELECT pg_notify($1, $2)", { m_schema, push });
        }
    });
    return results;
}

std::vector<CloudItemResult> CloudPostgresDatabase::deleteRecords(
    const std::string& zoneName, const std::vector<std::string>& names)
{
    std::vector<CloudItemResult> results;
    m_connections->transaction(Access::write, [&](CloudPostgresConnection& connection) {
        results.clear();
        requireZone(connection, zoneName);
        for (const auto& name : names) {
            results.push_back({ name, std::nullopt });
            if (!retireRecord(connection, zoneName, name)) {
                results.back().error = CloudDatabaseError(CloudErrorCode::unknownItem);
                continue;
            }
            writeRecordRow(connection, zoneName, name, std::monostate {}, std::monostate {}, "{}");
        }
    });
    return results;
}

std::vector<CloudFetchResult> CloudPostgresDatabase::fetchRecords(const std::string& zoneName,
    const std::vector<std::string>& names, const std::optional<std::set<std::string>>& desiredKeys)
{
    std::vector<CloudFetchResult> results;
    m_connections->transaction(Access::read, [&](CloudPostgresConnection& connection) {
        results.clear();
        requireZone(connection, zoneName);
        AssetReads assets { &connection };
        for (const auto& name : names) {
            auto rows = connection.runBinary(
                "SELECT type, fields FROM records WHERE zone = $1 AND name = $2 AND type IS NOT NULL",
                { zoneName, name });
            if (rows.count() == 0) {
                results.push_back({ std::nullopt, CloudDatabaseError(CloudErrorCode::unknownItem) });
                continue;
            }
            results.push_back({ unpackedRecord(assets, rows, 0, 0, name, desiredKeys), std::nullopt });
        }
    });
    return results;
}

CloudZoneChanges CloudPostgresDatabase::readChanges(CloudPostgresConnection& connection, AssetReads& assets,
    const std::string& zoneName, const std::optional<CloudChangeToken>& since,
    const std::optional<std::set<std::string>>& desiredKeys)
{
    // A feed from the start shows what the zone holds now, so its deletions are of no interest.
    bool initialFeed = !since || since->initialFeed;
    // The zone's epoch and the feed's last sequence on every row, then the page's records in the order of
    // their last change (or one row of nulls when the page is empty), in binary so that payloads come
    // as they are. No row means no zone.
    auto rows = connection.runBinary(
        "SELECT z.epoch, feed.last_sequence, r.sequence, r.name, r.type, r.fields "
        "FROM zones AS z JOIN feed ON feed.id = 1 LEFT JOIN "
        "(SELECT sequence, name, type, fields FROM records WHERE zone = $1 AND sequence > $2 "
        "AND NOT ($3 AND type IS NULL) ORDER BY sequence LIMIT $4) AS r ON true "
        "WHERE z.name = $1 ORDER BY r.sequence",
        { zoneName, number(since ? since->changeSequence : 0), std::string(initialFeed ? "true" : "false"),
            number(static_cast<std::int64_t>(pageLimit() + 1)) });
    if (rows.count() == 0)
        throw CloudDatabaseError(CloudErrorCode::zoneNotFound);
    std::int64_t epoch = rows.integer(0, 0);
    std::int64_t lastSequence = rows.integer(0, 1);
    checkToken(since, epoch, lastSequence);
    std::vector<FeedEntry> page;
    for (int row = 0; row < rows.count() && !rows.isNull(row, 2); ++row) {
        page.push_back({ rows.integer(row, 2), rows.text(row, 3), std::nullopt });
        if (!rows.isNull(row, 4))
            page.back().record = unpackedRecord(assets, rows, row, 4, page.back().recordName, desiredKeys);
    }
    return pageOfChanges(std::move(page), epoch, lastSequence, since);
}

CloudZoneChanges CloudPostgresDatabase::fetchZoneChanges(const std::string& zoneName,
    const std::optional<CloudChangeToken>& since, const std::optional<std::set<std::string>>& desiredKeys)
{
    // A page is one statement, which sees one state of the database without a transaction, unless it
    // names assets this machine has yet to fetch: their parts are then read in the page's transaction.
    CloudZoneChanges changes;
    AssetReads assets;
    m_connections->singleStatement([&](CloudPostgresConnection& connection) {
        changes = readChanges(connection, assets, zoneName, since, desiredKeys);
    });
    if (!assets.missed)
        return changes;
    m_connections->transaction(Access::read, [&](CloudPostgresConnection& connection) {
        assets = { &connection };
        changes = readChanges(connection, assets, zoneName, since, desiredKeys);
    });
    return changes;
}

}
