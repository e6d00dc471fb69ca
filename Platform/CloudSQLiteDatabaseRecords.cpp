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

    std::optional<CloudRecord> readRecord(CloudSQLiteConnection& connection, const fs::path& cloudFolder,
        const std::string& zoneName, const std::string& recordName,
        const std::optional<std::set<std::string>>& desiredKeys)
    {
        auto row = connection.statement("SELECT type, fields FROM records WHERE zone = ? AND name = ?");
        if (!row.bind(1, zoneName).bind(2, recordName).step())
            return std::nullopt;
        return cloudRecordOfRow(
            row.text(0), recordName, row.blobBytes(1), cloudAssetFolder(cloudFolder), desiredKeys);
    }

    std::vector<std::string> recordAssets(
        CloudSQLiteConnection& connection, const std::string& zoneName, const std::string& recordName)
    {
        auto row = connection.statement("SELECT fields FROM records WHERE zone = ? AND name = ?");
        if (!row.bind(1, zoneName).bind(2, recordName).step())
            return {};
        return unpackCloudRecordAssets(row.blobBytes(0), recordName);
    }

    bool recordExists(
        CloudSQLiteConnection& connection, const std::string& zoneName, const std::string& recordName)
    {
        return connection.statement("SELECT 1 FROM records WHERE zone = ? AND name = ?")
            .bind(1, zoneName)
            .bind(2, recordName)
            .step();
    }

    void removeRecordRow(
        CloudSQLiteConnection& connection, const std::string& zoneName, const std::string& recordName)
    {
        connection.statement("DELETE FROM records WHERE zone = ? AND name = ?")
            .bind(1, zoneName)
            .bind(2, recordName)
            .run();
    }

    // Moves the record's one row of the feed to the end; `recordRow` is absent for a deletion.
    void noteChange(CloudSQLiteConnection& connection, const std::string& zoneName,
        const std::string& recordName, std::optional<std::int64_t> recordRow)
    {
        auto change = connection.statement(
            "INSERT OR REPLACE INTO changes(zone, record, deleted, record_row) VALUES(?, ?, ?, ?)");
        change.bind(1, zoneName).bind(2, recordName).bind(3, static_cast<std::int64_t>(!recordRow));
        if (recordRow)
            change.bind(4, *recordRow);
        change.run();
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
            }
            auto insert = connection->statement("INSERT OR REPLACE INTO records(zone, name, type, fields) "
                                                "VALUES(?, ?, ?, ?) RETURNING rowid");
            insert.bind(1, zoneName)
                .bind(2, record.recordName)
                .bind(3, record.recordType)
                .bindBlob(4, packCloudFields(cloudStoredFields(record, staged[index].assetNames)));
            if (!insert.step())
                throw CloudDatabaseError(CloudErrorCode::internalError);
            std::int64_t row = insert.integer(0);
            insert.run();
            noteChange(*connection, zoneName, record.recordName, row);
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
            removeRecordRow(*connection, zoneName, name);
            noteChange(*connection, zoneName, name, std::nullopt);
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

    // One statement for the whole page: each change with its record's row, in the order of the feed's
    // index, so that no record is copied into a sorter on the way. A row that is not the named record's
    // (a damaged file) is taken as no record.
    auto query = connection->statement(
        "SELECT c.sequence, c.record, c.deleted, r.type, r.fields FROM changes AS c "
        "LEFT JOIN records AS r ON r.rowid = c.record_row AND r.zone = c.zone AND r.name = c.record "
        "WHERE c.zone = ?1 AND c.sequence > ?2 AND (?3 = 0 OR c.deleted = 0) ORDER BY c.sequence LIMIT ?4");
    query.bind(1, zoneName)
        .bind(2, since ? since->changeSequence : std::int64_t { 0 })
        .bind(3, static_cast<std::int64_t>(initialFeed))
        .bind(4, static_cast<std::int64_t>(pageLimit() + 1));
    const fs::path assetFolder = cloudAssetFolder(m_folder);
    std::vector<FeedEntry> page;
    while (query.step()) {
        page.push_back({ query.integer(0), query.text(1), std::nullopt });
        if (query.integer(2) == 0 && !query.isNull(3))
            page.back().record = cloudRecordOfRow(
                query.text(3), page.back().recordName, query.blobBytes(4), assetFolder, desiredKeys);
    }

    return pageOfChanges(std::move(page), epoch, lastSequence, since);
}

}
