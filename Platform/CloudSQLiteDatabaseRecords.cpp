// The record requests of the cloud database: saving, deleting and fetching records, and the change feed.
#include "Platform/CloudSQLiteDatabase.h"

#include "Platform/CloudDatabaseSchema.h"
#include "Platform/CloudPush.h"
#include "Platform/CloudSQLite.h"
#include "Platform/PrivateFiles.h"

namespace vellumar::platform {

namespace {

    namespace fs = std::filesystem;

    // The asset files a record's fields were given, copied into the asset folder by field key.
    struct StagedRecord {
        std::optional<CloudDatabaseError> error;
        std::map<std::string, std::string> assetNames;
    };

    // Copies every asset before the transaction, so that no committed row ever names a file that is
    // not complete on disk; the copies of a request that does not commit are removed again.
    StagedRecord stageRecord(const fs::path& cloudFolder, const CloudRecord& record)
    {
        StagedRecord staged;
        if (record.recordName.empty() || record.recordType.empty()) {
            staged.error = CloudDatabaseError(CloudErrorCode::invalidArguments);
            return staged;
        }
        for (const auto& [key, value] : record.fields) {
            const auto* asset = std::get_if<CloudAsset>(&value);
            if (!asset)
                continue;
            std::string name = newCloudAssetName();
            try {
                copyToNewPrivateFile(asset->fileURL, cloudAssetFolder(cloudFolder) / name);
            } catch (const fs::filesystem_error&) {
                staged.error = CloudDatabaseError(CloudErrorCode::assetFileNotFound);
                break;
            }
            staged.assetNames[key] = name;
        }
        return staged;
    }

    void collectAssetNames(const StagedRecord& staged, std::vector<std::string>& names)
    {
        for (const auto& [key, name] : staged.assetNames)
            names.push_back(name);
    }

    std::int64_t nanoseconds(CloudDate date)
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch()).count();
    }

    CloudDate dateFromNanoseconds(std::int64_t count)
    {
        return CloudDate(std::chrono::duration_cast<CloudDate::duration>(std::chrono::nanoseconds(count)));
    }

    void insertField(CloudSQLiteConnection& connection, const std::string& zoneName,
        const std::string& recordName, const std::string& key, const CloudValue& value,
        const StagedRecord& staged)
    {
        auto insert = connection.statement(
            "INSERT INTO fields(zone, record, key, kind, value) VALUES(?, ?, ?, ?, ?)");
        insert.bind(1, zoneName)
            .bind(2, recordName)
            .bind(3, key)
            .bind(4, static_cast<std::int64_t>(value.index()));
        if (const auto* text = std::get_if<std::string>(&value))
            insert.bind(5, *text);
        else if (const auto* date = std::get_if<CloudDate>(&value))
            insert.bind(5, nanoseconds(*date));
        else if (const auto* number = std::get_if<std::int64_t>(&value))
            insert.bind(5, *number);
        else if (const auto* bytes = std::get_if<CloudBytes>(&value))
            insert.bindBlob(5, *bytes);
        else
            insert.bind(5, staged.assetNames.at(key));
        insert.run();
    }

    // The value of a field row whose kind is in column `kindColumn` and whose value follows it; absent for
    // an asset of a damaged name, which the record then comes without.
    std::optional<CloudValue> fieldValue(
        const CloudSQLiteStatement& row, int kindColumn, const fs::path& cloudFolder)
    {
        int valueColumn = kindColumn + 1;
        switch (static_cast<CloudFieldKind>(row.integer(kindColumn))) {
        case CloudFieldKind::string:
            return row.text(valueColumn);
        case CloudFieldKind::date:
            return dateFromNanoseconds(row.integer(valueColumn));
        case CloudFieldKind::int64:
            return row.integer(valueColumn);
        case CloudFieldKind::bytes:
            return row.blob(valueColumn);
        case CloudFieldKind::asset:
            if (auto file = cloudAssetFile(cloudAssetFolder(cloudFolder), row.text(valueColumn)))
                return CloudAsset { std::move(*file) };
            return std::nullopt;
        }
        throw CloudDatabaseError(CloudErrorCode::internalError);
    }

    std::optional<CloudRecord> readRecord(CloudSQLiteConnection& connection, const fs::path& cloudFolder,
        const std::string& zoneName, const std::string& recordName,
        const std::optional<std::set<std::string>>& desiredKeys)
    {
        auto type = connection.statement("SELECT type FROM records WHERE zone = ? AND name = ?");
        if (!type.bind(1, zoneName).bind(2, recordName).step())
            return std::nullopt;
        CloudRecord record { type.text(0), recordName, {} };
        auto fields
            = connection.statement("SELECT key, kind, value FROM fields WHERE zone = ? AND record = ?");
        fields.bind(1, zoneName).bind(2, recordName);
        while (fields.step()) {
            std::string key = fields.text(0);
            if (desiredKeys && !desiredKeys->contains(key))
                continue;
            if (auto value = fieldValue(fields, 1, cloudFolder))
                record.fields.emplace(std::move(key), std::move(*value));
        }
        return record;
    }

    std::vector<std::string> recordAssets(
        CloudSQLiteConnection& connection, const std::string& zoneName, const std::string& recordName)
    {
        auto query
            = connection.statement("SELECT value FROM fields WHERE zone = ? AND record = ? AND kind = ?");
        query.bind(1, zoneName).bind(2, recordName).bind(3, static_cast<std::int64_t>(CloudFieldKind::asset));
        std::vector<std::string> names;
        while (query.step())
            names.push_back(query.text(0));
        return names;
    }

    bool recordExists(
        CloudSQLiteConnection& connection, const std::string& zoneName, const std::string& recordName)
    {
        return connection.statement("SELECT 1 FROM records WHERE zone = ? AND name = ?")
            .bind(1, zoneName)
            .bind(2, recordName)
            .step();
    }

    void removeRecordRows(
        CloudSQLiteConnection& connection, const std::string& zoneName, const std::string& recordName)
    {
        for (const char* sql : { "DELETE FROM records WHERE zone = ? AND name = ?",
                 "DELETE FROM fields WHERE zone = ? AND record = ?" })
            connection.statement(sql).bind(1, zoneName).bind(2, recordName).run();
    }

    // Moves the record's one row of the feed to the end.
    void noteChange(CloudSQLiteConnection& connection, const std::string& zoneName,
        const std::string& recordName, bool deleted)
    {
        connection.statement("INSERT OR REPLACE INTO changes(zone, record, deleted) VALUES(?, ?, ?)")
            .bind(1, zoneName)
            .bind(2, recordName)
            .bind(3, static_cast<std::int64_t>(deleted))
            .run();
    }

    std::int64_t requireZone(CloudSQLiteConnection& connection, const std::string& zoneName)
    {
        auto epoch = cloudZoneEpoch(connection, zoneName);
        if (!epoch)
            throw CloudDatabaseError(CloudErrorCode::zoneNotFound);
        return *epoch;
    }

    std::int64_t lastChangeSequence(CloudSQLiteConnection& connection)
    {
        auto query = connection.statement("SELECT seq FROM sqlite_sequence WHERE name = 'changes'");
        return query.step() ? query.integer(0) : 0;
    }

}

std::vector<CloudItemResult> CloudSQLiteDatabase::saveRecords(
    const std::string& zoneName, const std::vector<CloudRecord>& records, CloudSavePolicy policy)
{
    std::vector<StagedRecord> staged;
    for (const auto& record : records)
        staged.push_back(stageRecord(m_folder, record));
    std::vector<CloudItemResult> results;
    std::vector<std::string> unusedAssets;
    std::vector<std::string> pushes;
    try {
        auto connection = lease();
        CloudSQLiteTransaction transaction(*connection, CloudTransactionKind::write);
        requireZone(*connection, zoneName);
        auto subscriptions = readCloudSubscriptions(*connection, zoneName);
        for (std::size_t index = 0; index < records.size(); ++index) {
            const CloudRecord& record = records[index];
            results.push_back({ record.recordName, staged[index].error });
            bool exists = !results.back().error && recordExists(*connection, zoneName, record.recordName);
            if (exists && policy == CloudSavePolicy::ifServerRecordUnchanged)
                results.back().error = CloudDatabaseError(CloudErrorCode::serverRecordChanged);
            if (results.back().error) {
                collectAssetNames(staged[index], unusedAssets);
                continue;
            }
            if (exists) {
                auto replaced = recordAssets(*connection, zoneName, record.recordName);
                unusedAssets.insert(unusedAssets.end(), replaced.begin(), replaced.end());
                removeRecordRows(*connection, zoneName, record.recordName);
            }
            connection->statement("INSERT INTO records(zone, name, type) VALUES(?, ?, ?)")
                .bind(1, zoneName)
                .bind(2, record.recordName)
                .bind(3, record.recordType)
                .run();
            for (const auto& [key, value] : record.fields)
                insertField(*connection, zoneName, record.recordName, key, value, staged[index]);
            noteChange(*connection, zoneName, record.recordName, false);
            if (!exists) {
                auto created = creationPushes(subscriptions, record);
                pushes.insert(pushes.end(), created.begin(), created.end());
            }
        }
        transaction.commit();
    } catch (...) {
        for (const auto& record : staged)
            collectAssetNames(record, unusedAssets);
        removeCloudAssets(m_folder, unusedAssets);
        throw;
    }
    removeCloudAssets(m_folder, unusedAssets);
    for (const auto& push : pushes)
        broadcastCloudPush(pushFolder(), push);
    return results;
}

std::vector<CloudItemResult> CloudSQLiteDatabase::deleteRecords(
    const std::string& zoneName, const std::vector<std::string>& names)
{
    std::vector<CloudItemResult> results;
    std::vector<std::string> removedAssets;
    {
        auto connection = lease();
        CloudSQLiteTransaction transaction(*connection, CloudTransactionKind::write);
        requireZone(*connection, zoneName);
        for (const auto& name : names) {
            results.push_back({ name, std::nullopt });
            if (!recordExists(*connection, zoneName, name)) {
                results.back().error = CloudDatabaseError(CloudErrorCode::unknownItem);
                continue;
            }
            auto assets = recordAssets(*connection, zoneName, name);
            removedAssets.insert(removedAssets.end(), assets.begin(), assets.end());
            removeRecordRows(*connection, zoneName, name);
            noteChange(*connection, zoneName, name, true);
        }
        transaction.commit();
    }
    removeCloudAssets(m_folder, removedAssets);
    return results;
}

std::vector<CloudFetchResult> CloudSQLiteDatabase::fetchRecords(const std::string& zoneName,
    const std::vector<std::string>& names, const std::optional<std::set<std::string>>& desiredKeys)
{
    auto connection = lease();
    CloudSQLiteTransaction transaction(*connection, CloudTransactionKind::read);
    requireZone(*connection, zoneName);
    std::vector<CloudFetchResult> results;
    for (const auto& name : names) {
        auto record = readRecord(*connection, m_folder, zoneName, name, desiredKeys);
        results.push_back({ record,
            record ? std::nullopt : std::optional(CloudDatabaseError(CloudErrorCode::unknownItem)) });
    }
    return results;
}

CloudZoneChanges CloudSQLiteDatabase::fetchZoneChanges(const std::string& zoneName,
    const std::optional<CloudChangeToken>& since, const std::optional<std::set<std::string>>& desiredKeys)
{
    auto connection = lease();
    CloudSQLiteTransaction transaction(*connection, CloudTransactionKind::read);
    std::int64_t epoch = requireZone(*connection, zoneName);
    std::int64_t lastSequence = lastChangeSequence(*connection);
    checkToken(since, epoch, lastSequence);
    // A feed from the start shows what the zone holds now, so its deletions are of no interest.
    bool initialFeed = !since || since->initialFeed;

    // One statement for the whole page: each change with its record's fields, one row per field.
    auto query = connection->statement(
        "SELECT c.sequence, c.record, c.deleted, r.type, f.key, f.kind, f.value FROM "
        "(SELECT sequence, record, deleted FROM changes WHERE zone = ?1 AND sequence > ?2 "
        "AND (?3 = 0 OR deleted = 0) ORDER BY sequence LIMIT ?4) AS c "
        "LEFT JOIN records AS r ON r.zone = ?1 AND r.name = c.record "
        "LEFT JOIN fields AS f ON f.zone = ?1 AND f.record = c.record ORDER BY c.sequence");
    query.bind(1, zoneName)
        .bind(2, since ? since->changeSequence : std::int64_t { 0 })
        .bind(3, static_cast<std::int64_t>(initialFeed))
        .bind(4, static_cast<std::int64_t>(pageLimit() + 1));
    std::vector<FeedEntry> page;
    while (query.step()) {
        if (page.empty() || page.back().sequence != query.integer(0)) {
            page.push_back({ query.integer(0), query.text(1), std::nullopt });
            if (query.integer(2) == 0 && !query.isNull(3))
                page.back().record = CloudRecord { query.text(3), page.back().recordName, {} };
        }
        auto& record = page.back().record;
        if (!record || query.isNull(4))
            continue;
        std::string key = query.text(4);
        if (desiredKeys && !desiredKeys->contains(key))
            continue;
        if (auto value = fieldValue(query, 5, m_folder))
            record->fields.emplace(std::move(key), std::move(*value));
    }

    return pageOfChanges(std::move(page), epoch, lastSequence, since);
}

}
