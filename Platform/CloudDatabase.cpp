#include "Platform/CloudDatabase.h"

#include "Platform/CloudDatabaseSchema.h"
#include "Platform/CloudPostgresDatabase.h"
#include "Platform/CloudPush.h"
#include "Platform/CloudSQLiteDatabase.h"
#include "Platform/Paths.h"
#include "Platform/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::platform {

namespace {

    namespace fs = std::filesystem;

    // Also the form of a PostgreSQL schema name's tail and of a file name.
    bool isContainerName(std::string_view identifier)
    {
        if (identifier.empty() || identifier.size() > 200 || identifier.front() == '.')
            return false;
        for (char character : identifier) {
            bool allowed = (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z')
                || (character >= '0' && character <= '9') || character == '.' || character == '-'
                || character == '_';
            if (!allowed)
                return false;
        }
        return true;
    }

}

CloudDatabase::CloudDatabase(std::string containerIdentifier, std::size_t pageLimit)
    : m_containerIdentifier(std::move(containerIdentifier))
    , m_pageLimit(std::max<std::size_t>(pageLimit, 1))
{
    if (!isContainerName(m_containerIdentifier))
        throw CloudDatabaseError(CloudErrorCode::badContainer);
}

CloudDatabase::~CloudDatabase() = default;

fs::path CloudDatabase::defaultFolder() { return dataFolder() / "cloud"; }

namespace {

    constexpr const char* kLinkOrNotFolder = "a link or not a folder";

    CloudOpenRefusal notPrivateFolder(const fs::path& folder, const std::string& why)
    {
        return { CloudErrorCode::permissionFailure,
            "its folder \"" + printableCloudText(folder.filename().string())
                + "\" is not a private folder of this user (" + why + ")" };
    }

}

void CloudDatabase::makePrivateFolder(const fs::path& folder)
{
    std::string why = kLinkOrNotFolder;
    try {
        if (makePrivateDirectory(folder) == PrivateFolder::ready)
            return;
    } catch (const fs::filesystem_error& error) {
        why = error.code().message();
    }
    throw notPrivateFolder(folder, why);
}

void CloudDatabase::refuseUnusableFolder(const fs::path& folder)
{
    struct stat status { };
    if (::lstat(folder.c_str(), &status) != 0)
        return;
    if (S_ISLNK(status.st_mode))
        throw notPrivateFolder(folder, kLinkOrNotFolder);
    if (!S_ISDIR(status.st_mode))
        throw notPrivateFolder(folder, std::generic_category().message(EEXIST));
    if (status.st_uid != ::geteuid())
        throw notPrivateFolder(folder, std::generic_category().message(EPERM));
    int error = (status.st_mode & S_IWUSR) == 0                               ? EACCES
        : ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0 ? errno
                                                                              : 0;
    if (error != 0)
        throw CloudOpenRefusal { CloudErrorCode::permissionFailure,
            "its folder \"" + printableCloudText(folder.filename().string()) + "\" cannot be written ("
                + std::generic_category().message(error) + ")" };
}

std::string CloudDatabase::userRecordName()
{
    CloudAccount current = account();
    if (current.status == CloudAccountStatus::available)
        return current.userRecordName;
    if (current.status == CloudAccountStatus::temporarilyUnavailable)
        throw CloudDatabaseError(CloudErrorCode::accountTemporarilyUnavailable);
    throw CloudDatabaseError(CloudErrorCode::notAuthenticated);
}

void CloudDatabase::checkToken(
    const std::optional<CloudChangeToken>& since, std::int64_t epoch, std::int64_t lastSequence)
{
    if (since
        && (since->zoneEpoch != epoch || since->changeSequence < 0 || since->changeSequence > lastSequence))
        throw CloudDatabaseError(CloudErrorCode::changeTokenExpired);
}

CloudZoneChanges CloudDatabase::pageOfChanges(std::vector<FeedEntry> entries, std::int64_t epoch,
    std::int64_t lastSequence, const std::optional<CloudChangeToken>& since) const
{
    auto limit = pageLimit();
    CloudZoneChanges changes;
    changes.moreComing = entries.size() > limit;
    if (changes.moreComing)
        entries.resize(limit);
    changes.modified.reserve(entries.size());
    for (auto& entry : entries) {
        if (entry.record)
            changes.modified.push_back(std::move(*entry.record));
        else
            changes.deletedRecordNames.push_back(std::move(entry.recordName));
    }
    bool initialFeed = !since || since->initialFeed;
    changes.token = { epoch, changes.moreComing ? entries.back().sequence : lastSequence,
        initialFeed && changes.moreComing };
    return changes;
}

std::vector<std::string> CloudDatabase::creationPushes(
    const std::vector<CloudQuerySubscription>& zoneSubscriptions, const CloudRecord& record) const
{
    std::vector<std::string> pushes;
    for (const auto& subscription : zoneSubscriptions) {
        if (subscription.recordType == record.recordType && subscription.predicate.matches(record))
            pushes.push_back(cloudNotificationJSON(containerIdentifier(), subscription, record.recordName));
    }
    return pushes;
}

namespace {

    // The folder and the choice, filled in where the options leave them out.
    CloudDatabaseOptions withDefaults(CloudDatabaseOptions options)
    {
        if (options.folder.empty())
            options.folder = CloudDatabase::defaultFolder();
        if (!options.choice)
            options.choice = readCloudDatabaseChoice(options.folder.parent_path());
        return options;
    }

}

std::unique_ptr<CloudDatabase> openCloudDatabase(
    std::string containerIdentifier, CloudDatabaseOptions options)
{
    options = withDefaults(std::move(options));
    if (options.choice->backend == CloudBackend::postgresql)
        return std::make_unique<CloudPostgresDatabase>(std::move(containerIdentifier), std::move(options));
    return std::make_unique<CloudSQLiteDatabase>(std::move(containerIdentifier), std::move(options));
}

std::unique_ptr<CloudPushListener> listenForCloudPushes(
    const std::string& containerIdentifier, CloudDatabaseOptions options)
{
    options = withDefaults(std::move(options));
    if (options.choice->backend == CloudBackend::postgresql)
        return CloudPostgresDatabase::listen(options.choice->conninfo, containerIdentifier);
    return std::make_unique<CloudSocketPushListener>(CloudSQLiteDatabase::pushFolderOf(options.folder));
}

}
