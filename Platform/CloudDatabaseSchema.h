// The cloud database's tables, and the helpers its request files share. Not for use outside the
// cloud database.
#pragma once

#include "Platform/CloudFieldPacking.h"
#include "Platform/CloudRecord.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::platform {

class CloudSQLiteConnection;

// Sets write-ahead logging and creates the tables and the account row, in one write transaction; a
// database of fields kept one row each has them packed into their records in that transaction. The
// layout is told by the tables, whatever schema version is written. incompatibleVersion (as on
// PostgreSQL) for a database of a newer schema than this program knows, and SQLite's error for one whose
// tables lack a column, each left unchanged: the caller logs the refusal. A database of packed fields that
// an earlier version marked as its own has its layout put back. Every database this leaves holds what
// makes an earlier version refuse it: one of this layout without it gets it, its schema version
// unchanged. The lines of a repair or a carry-over are kept in the database with its work and logged
// once it committed, by this open or, after a kill, the next.
void prepareCloudSchema(CloudSQLiteConnection& connection);

// Why an open leaves a database as it is, thrown while the database is prepared.
struct CloudOpenRefusal {
    int code;
    std::string reason;
};
// The refusal of a database of schema `version`, newer than the `known` one, which this program would
// misread and, marking it as its own, make the newer program misread in turn.
CloudOpenRefusal newerCloudSchemaRefusal(std::int64_t version, std::int64_t known);
// Runs `prepare`, which readies a database for this program's open: a CloudOpenRefusal, or any
// CloudDatabaseError, logs one line and leaves as the CloudDatabaseError of its code.
void prepareLoggingRefusals(const std::function<void()>& prepare);
// The settings every connection needs.
void configureCloudConnection(CloudSQLiteConnection& connection);

// A random epoch for a zone being made, so that tokens of an earlier zone of that name expire.
std::int64_t newCloudZoneEpoch();
// The zone's epoch; absent when the zone does not exist.
std::optional<std::int64_t> cloudZoneEpoch(CloudSQLiteConnection& connection, const std::string& zoneName);

// Text another process or machine wrote (a name, a store's message), as one log line can hold it: cut
// short past 64 bytes, with a line break or any byte outside printable ASCII as "?".
std::string printableCloudText(std::string_view text);
// A line kept in the database to log, as one log line holds it. Any process writing there may have left
// one, so only this program's own words are logged whole, around store text each cut as above; any other
// line is cut as store text.
std::string loggedCloudLine(std::string_view keptLine);
// The characters of a kept line to read for `loggedCloudLine`, which tell whether it cuts the line.
std::int64_t cloudLineReadLength();
// The most kept lines one open logs: any process writing there may have left any number.
constexpr std::int64_t kCloudLinesLoggedPerOpen = 100;
// The one line logged in place of `count` kept lines past `kCloudLinesLoggedPerOpen`.
std::string cloudLinesLeftOutLine(std::int64_t count);
// The line to keep, once for the record, that logs that `count` of its fields did not read while an
// earlier layout was carried over, and were left out.
std::string keptCloudFieldsLeftOutLine(
    std::string_view zoneName, std::string_view recordName, std::size_t count);
// The line to keep, once for the record, that logs that it had no place in the change feed and was carried
// over as its latest change.
std::string keptCloudUnplacedRecordLine(std::string_view zoneName, std::string_view recordName);

// The folder of asset files within the cloud folder.
std::filesystem::path cloudAssetFolder(const std::filesystem::path& cloudFolder);
// A new asset's file name: 32 lowercase hexadecimal digits from the secure generator.
std::string newCloudAssetName();
// The file in `folder` of the asset that a row names. Rows are written by other processes and other
// machines, so a name is joined to the folder only when it has the form `newCloudAssetName` gives; any
// other (absolute, climbing, naming a subfolder or the folder itself, too long for a file name) marks a
// damaged record: absent, with one log line.
std::optional<std::filesystem::path> cloudAssetFile(
    const std::filesystem::path& folder, std::string_view assetName);
// The record of a row with the `desiredKeys` fields of its packing (all when absent), each asset as the
// file its name gives in `assetFolder`: without any fields when the packing is damaged, and without an
// asset of a damaged name, with one log line each.
CloudRecord cloudRecordOfRow(std::string recordType, std::string recordName,
    std::span<const std::uint8_t> packed, const std::filesystem::path& assetFolder,
    const std::optional<std::set<std::string>>& desiredKeys);
// The asset names packed in a record row; none for a damaged packing, with one log line.
std::vector<std::string> unpackCloudRecordAssets(
    std::span<const std::uint8_t> packed, std::string_view recordName);
// The asset file names the zone's records refer to.
std::vector<std::string> cloudZoneAssets(CloudSQLiteConnection& connection, const std::string& zoneName);
// Removes asset files once no committed row refers to them; a file already gone is fine, and a damaged
// name removes nothing.
void removeCloudAssets(const std::filesystem::path& cloudFolder, const std::vector<std::string>& assetNames);

// Removes asset files that no record refers to and that are older than any write still under way: those
// of writers that ended between copying an asset and committing its record. Failures are ignored.
void removeOrphanedCloudAssets(CloudSQLiteConnection& connection, const std::filesystem::path& cloudFolder);

// The subscriptions of one zone, or of every zone when absent, by identifier.
std::vector<CloudQuerySubscription> readCloudSubscriptions(
    CloudSQLiteConnection& connection, const std::optional<std::string>& zoneName);

}
