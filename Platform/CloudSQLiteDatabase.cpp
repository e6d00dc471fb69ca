#include "Platform/CloudSQLiteDatabase.h"

#include "Platform/CloudDatabaseSchema.h"
#include "Platform/CloudPush.h"
#include "Platform/CloudSQLite.h"

#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::platform {

namespace {

    namespace fs = std::filesystem;

    CloudAccount readAccount(CloudSQLiteConnection& connection)
    {
        auto query = connection.statement("SELECT status, user_record_name FROM account WHERE id = 1");
        if (!query.step())
            throw CloudDatabaseError(CloudErrorCode::internalError);
        return { static_cast<CloudAccountStatus>(query.integer(0)), query.text(1) };
    }

    std::vector<CloudPredicateClause> readClauses(
        CloudSQLiteConnection& connection, const std::string& subscriptionID)
    {
        auto query = connection.statement(
            "SELECT key, value FROM subscription_clauses WHERE subscription = ? ORDER BY position");
        query.bind(1, subscriptionID);
        std::vector<CloudPredicateClause> clauses;
        while (query.step())
            clauses.push_back({ query.text(0), query.text(1) });
        return clauses;
    }

    std::optional<std::string> optionalText(const CloudSQLiteStatement& query, int column)
    {
        return query.isNull(column) ? std::nullopt : std::optional(query.text(column));
    }

    void bindOptional(CloudSQLiteStatement& statement, int position, const std::optional<std::string>& text)
    {
        if (text)
            statement.bind(position, *text);
        else
            statement.bindNull(position);
    }

    // SQLite takes a file it finds no page in (an empty one, or one of a single byte) for a new database,
    // and the opening's clean-up would then take every asset for an orphan. Only a missing file is new, or
    // one without pages beside no asset: what a program killed between making the file and its first
    // commit leaves.
    void refuseEmptyFileBesideAssets(CloudSQLiteConnection& connection, const fs::path& assetFolder)
    {
        auto pages = connection.statement("PRAGMA page_count");
        if (!pages.step() || pages.integer(0) > 0)
            return;
        std::error_code unreadable;
        if ((fs::is_empty(assetFolder, unreadable) && !unreadable)
            || unreadable == std::errc::no_such_file_or_directory)
            return;
        throw CloudOpenRefusal { CloudErrorCode::badDatabase,
            "its file is empty while its asset folder holds files" };
    }

    // The database file and the -wal and -shm files beside it.
    constexpr const char* kFileSuffixes[] = { "", "-wal", "-shm" };

    // SQLite opens a file it may not write read-only, and every save would fail: the file itself, or its
    // -wal or -shm file (a read-only -shm makes it a reader only), whatever the cause (another user's, an
    // immutable one, a read-only disk). The -wal and -shm files a read makes would take a read-only file's
    // mode and fail later processes' saves even once it changed; its mode is its owner's choice, so it is
    // refused before anything is opened, never changed, also where root would write it anyway.
    void refuseUnwritableFiles(const fs::path& file)
    {
        for (const char* suffix : kFileSuffixes) {
            const fs::path each = file.string() + suffix;
            struct stat status { };
            if (::lstat(each.c_str(), &status) != 0 || S_ISLNK(status.st_mode))
                continue;
            bool readOnly = (status.st_mode & S_IWUSR) == 0;
            if (!readOnly && ::faccessat(AT_FDCWD, each.c_str(), W_OK, AT_EACCESS) == 0)
                continue;
            int cause = errno;
            std::string which
                = *suffix ? "its file \"" + printableCloudText(each.filename().string()) + "\"" : "its file";
            throw CloudOpenRefusal { CloudErrorCode::permissionFailure,
                which
                    + (readOnly ? " is read-only"
                                : " cannot be written (" + std::generic_category().message(cause) + ")") };
        }
    }

    // Only once every check passed, so that a refused open changes nothing. SQLite gives the -wal and -shm
    // files the main file's mode, which it made new by the process's umask.
    void narrowFiles(const fs::path& file)
    {
        for (const char* suffix : kFileSuffixes) {
            const fs::path each = file.string() + suffix;
            struct stat status { };
            if (::lstat(each.c_str(), &status) == 0 && S_ISREG(status.st_mode))
                ::chmod(each.c_str(), 0600);
        }
    }

    CloudOpenRefusal unreachableFolder(const std::string& why)
    {
        return { CloudErrorCode::permissionFailure, "its folder cannot be reached (" + why + ")" };
    }

    // The kernel's walk of a path (path_resolution(7)): a link is read where it is met and its target
    // walked in its place, so that a ".." after it leaves the folder the link led to. A home or data folder
    // moved to another disk and linked back is the user's own arrangement, but a link of another user, in
    // a shared folder, would put this user's database where that user chooses. The last name is kept, so
    // that a link in the cloud folder's place is refused as such; missing folders are kept by name, to be
    // made, and a ".." after one is refused, as the kernel would fail it.
    fs::path resolvedFolder(const fs::path& folder)
    {
        constexpr int kMostLinks = 40; // The kernel's own limit.
        std::deque<fs::path> rest(folder.begin(), folder.end());
        std::error_code error;
        fs::path resolved = folder.is_absolute() ? folder.root_path() : fs::current_path(error);
        if (error)
            throw unreachableFolder(error.message());
        bool missing = false;
        int linksFollowed = 0;
        while (!rest.empty()) {
            fs::path name = std::move(rest.front());
            rest.pop_front();
            if (name.empty() || name == "." || name.is_absolute())
                continue;
            if (name == "..") {
                if (missing)
                    throw unreachableFolder("\"..\" after a missing folder");
                resolved = resolved.parent_path();
                continue;
            }
            fs::path next = resolved / name;
            struct stat status { };
            if (!missing && !rest.empty() && ::lstat(next.c_str(), &status) != 0) {
                if (errno != ENOENT)
                    throw unreachableFolder(std::generic_category().message(errno));
                missing = true;
            }
            if (missing || rest.empty() || !S_ISLNK(status.st_mode)) {
                resolved = std::move(next);
                continue;
            }
            if (status.st_uid != ::geteuid() && status.st_uid != 0)
                throw unreachableFolder(
                    "\"" + printableCloudText(name.string()) + "\" is a link of another user");
            if (++linksFollowed > kMostLinks)
                throw unreachableFolder(std::generic_category().message(ELOOP));
            fs::path target = fs::read_symlink(next, error);
            if (error)
                throw unreachableFolder(error.message());
            if (target.is_absolute())
                resolved = target.root_path();
            rest.insert(rest.begin(), target.begin(), target.end());
        }
        return resolved;
    }

}

CloudSQLiteDatabase::CloudSQLiteDatabase(std::string containerIdentifier, CloudDatabaseOptions options)
    : CloudDatabase(std::move(containerIdentifier), options.pageLimit)
    , m_options(std::move(options))
{
    prepareLoggingRefusals([&] {
        m_folder = resolvedFolder(m_options.folder.empty() ? defaultFolder() : m_options.folder);
        const fs::path folders[] = { m_folder, cloudAssetFolder(m_folder), pushFolder() };
        for (const auto& folder : folders)
            refuseUnusableFolder(folder);
        refuseUnwritableFiles(databaseFile());
        // The rest only once the database is ready, so that a refused open makes nothing.
        std::error_code unknown;
        if (fs::symlink_status(m_folder, unknown).type() == fs::file_type::not_found)
            makePrivateFolder(m_folder);
        bool existed = fs::symlink_status(databaseFile(), unknown).type() != fs::file_type::not_found;
        m_connections = std::make_unique<CloudConnectionPool>(
            databaseFile(), m_options.busyTimeout, configureCloudConnection);
        auto connection = lease();
        if (existed)
            refuseEmptyFileBesideAssets(*connection, cloudAssetFolder(m_folder));
        prepareCloudSchema(*connection);
        for (const auto& folder : folders)
            makePrivateFolder(folder);
        narrowFiles(databaseFile());
        removeOrphanedCloudAssets(*connection, m_folder);
    });
}

CloudSQLiteDatabase::~CloudSQLiteDatabase() = default;

fs::path CloudSQLiteDatabase::databaseFile() const { return m_folder / (containerIdentifier() + ".sqlite"); }
fs::path CloudSQLiteDatabase::pushFolderOf(const fs::path& cloudFolder) { return cloudFolder / "push"; }

CloudConnectionLease CloudSQLiteDatabase::lease() { return m_connections->lease(); }

std::unique_ptr<CloudPushListener> CloudSQLiteDatabase::listenForPushes()
{
    return std::make_unique<CloudSocketPushListener>(pushFolder());
}

CloudAccount CloudSQLiteDatabase::account()
{
    auto connection = lease();
    return readAccount(*connection);
}

void CloudSQLiteDatabase::setAccount(const CloudAccount& account)
{
    bool changed;
    {
        auto connection = lease();
        CloudSQLiteTransaction transaction(*connection, CloudTransactionKind::write);
        changed = readAccount(*connection) != account;
        connection->statement("UPDATE account SET status = ?, user_record_name = ? WHERE id = 1")
            .bind(1, static_cast<std::int64_t>(account.status))
            .bind(2, account.userRecordName)
            .run();
        transaction.commit();
    }
    if (changed)
        broadcastCloudPush(pushFolder(), cloudAccountChangedNotice);
}

void CloudSQLiteDatabase::saveZone(const std::string& zoneName)
{
    if (zoneName.empty())
        throw CloudDatabaseError(CloudErrorCode::invalidArguments);
    auto connection = lease();
    CloudSQLiteTransaction transaction(*connection, CloudTransactionKind::write);
    connection->statement("INSERT OR IGNORE INTO zones(name, epoch) VALUES(?, ?)")
        .bind(1, zoneName)
        .bind(2, newCloudZoneEpoch())
        .run();
    transaction.commit();
}

void CloudSQLiteDatabase::deleteZone(const std::string& zoneName)
{
    std::vector<std::string> assets;
    {
        auto connection = lease();
        CloudSQLiteTransaction transaction(*connection, CloudTransactionKind::write);
        if (!cloudZoneEpoch(*connection, zoneName))
            throw CloudDatabaseError(CloudErrorCode::zoneNotFound);
        assets = cloudZoneAssets(*connection, zoneName);
        for (const char* sql : { "DELETE FROM zones WHERE name = ?", "DELETE FROM records WHERE zone = ?",
                 "DELETE FROM changes WHERE zone = ?",
                 "DELETE FROM subscription_clauses WHERE subscription IN "
                 "(SELECT id FROM subscriptions WHERE zone = ?1)",
                 "DELETE FROM subscriptions WHERE zone = ?" })
            connection->statement(sql).bind(1, zoneName).run();
        transaction.commit();
    }
    removeCloudAssets(m_folder, assets);
}

std::vector<CloudItemResult> CloudSQLiteDatabase::saveSubscriptions(
    const std::vector<CloudQuerySubscription>& subscriptions)
{
    auto connection = lease();
    CloudSQLiteTransaction transaction(*connection, CloudTransactionKind::write);
    std::vector<CloudItemResult> results;
    for (const auto& subscription : subscriptions) {
        results.push_back({ subscription.subscriptionID, std::nullopt });
        if (subscription.subscriptionID.empty()) {
            results.back().error = CloudDatabaseError(CloudErrorCode::invalidArguments);
            continue;
        }
        if (!cloudZoneEpoch(*connection, subscription.zoneName)) {
            results.back().error = CloudDatabaseError(CloudErrorCode::zoneNotFound);
            continue;
        }
        const CloudNotificationInfo& info = subscription.notificationInfo;
        auto save = connection->statement(
            "INSERT OR REPLACE INTO subscriptions(id, zone, record_type, "
            "content_available, title_key, body_key, sound) VALUES(?, ?, ?, ?, ?, ?, ?)");
        save.bind(1, subscription.subscriptionID)
            .bind(2, subscription.zoneName)
            .bind(3, subscription.recordType)
            .bind(4, static_cast<std::int64_t>(info.shouldSendContentAvailable));
        bindOptional(save, 5, info.titleLocalizationKey);
        bindOptional(save, 6, info.alertLocalizationKey);
        bindOptional(save, 7, info.soundName);
        save.run();
        connection->statement("DELETE FROM subscription_clauses WHERE subscription = ?")
            .bind(1, subscription.subscriptionID)
            .run();
        std::int64_t position = 0;
        for (const auto& clause : subscription.predicate.clauses)
            connection
                ->statement(
                    "INSERT INTO subscription_clauses(subscription, position, key, value) VALUES(?, ?, ?, ?)")
                .bind(1, subscription.subscriptionID)
                .bind(2, position++)
                .bind(3, clause.key)
                .bind(4, clause.value)
                .run();
    }
    transaction.commit();
    return results;
}

std::vector<CloudItemResult> CloudSQLiteDatabase::deleteSubscriptions(
    const std::vector<std::string>& subscriptionIDs)
{
    auto connection = lease();
    CloudSQLiteTransaction transaction(*connection, CloudTransactionKind::write);
    std::vector<CloudItemResult> results;
    for (const auto& subscriptionID : subscriptionIDs) {
        connection->statement("DELETE FROM subscription_clauses WHERE subscription = ?")
            .bind(1, subscriptionID)
            .run();
        auto remove = connection->statement("DELETE FROM subscriptions WHERE id = ? RETURNING id");
        bool existed = remove.bind(1, subscriptionID).step();
        remove.run();
        results.push_back({ subscriptionID,
            existed ? std::nullopt : std::optional(CloudDatabaseError(CloudErrorCode::unknownItem)) });
    }
    transaction.commit();
    return results;
}

std::vector<CloudQuerySubscription> CloudSQLiteDatabase::subscriptions()
{
    auto connection = lease();
    CloudSQLiteTransaction transaction(*connection, CloudTransactionKind::read);
    return readCloudSubscriptions(*connection, std::nullopt);
}

std::vector<CloudQuerySubscription> readCloudSubscriptions(
    CloudSQLiteConnection& connection, const std::optional<std::string>& zoneName)
{
    auto query
        = connection.statement("SELECT id, zone, record_type, content_available, title_key, body_key, sound "
                               "FROM subscriptions WHERE ?1 IS NULL OR zone = ?1 ORDER BY id");
    bindOptional(query, 1, zoneName);
    std::vector<CloudQuerySubscription> found;
    while (query.step())
        found.push_back({ query.text(0), query.text(2), query.text(1), {},
            { query.integer(3) != 0, optionalText(query, 4), optionalText(query, 5),
                optionalText(query, 6) } });
    for (auto& subscription : found)
        subscription.predicate.clauses = readClauses(connection, subscription.subscriptionID);
    return found;
}

void CloudSQLiteDatabase::queueFailure(const CloudQueuedFailure& failure)
{
    auto connection = lease();
    auto insert = connection->statement(
        "INSERT INTO queued_failures(operation, code, retry_after, remaining) VALUES(?, ?, ?, ?)");
    insert.bind(1, failure.operation)
        .bind(2, std::int64_t { failure.code })
        .bind(4, std::int64_t { failure.count });
    if (failure.retryAfterSeconds)
        insert.bind(3, *failure.retryAfterSeconds);
    insert.run();
}

std::optional<CloudDatabaseError> CloudSQLiteDatabase::takeQueuedFailure(std::string_view operation)
{
    auto connection = lease();
    // Most calls find nothing queued, and a read takes no lock.
    if (!connection->statement("SELECT 1 FROM queued_failures WHERE remaining > 0 LIMIT 1").step())
        return std::nullopt;
    CloudSQLiteTransaction transaction(*connection, CloudTransactionKind::write);
    auto query = connection->statement("SELECT id, code, retry_after FROM queued_failures "
                                       "WHERE operation = ? AND remaining > 0 ORDER BY id LIMIT 1");
    if (!query.bind(1, operation).step())
        return std::nullopt;
    std::int64_t id = query.integer(0);
    CloudDatabaseError failure(
        static_cast<int>(query.integer(1)), query.isNull(2) ? std::nullopt : std::optional(query.real(2)));
    query.run();
    connection->statement("UPDATE queued_failures SET remaining = remaining - 1 WHERE id = ?")
        .bind(1, id)
        .run();
    connection->statement("DELETE FROM queued_failures WHERE remaining <= 0").run();
    transaction.commit();
    return failure;
}
}
