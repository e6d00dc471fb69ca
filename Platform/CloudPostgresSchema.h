// The cloud database's tables on a PostgreSQL server, one schema per account (container), and the
// connections that requests lease. Not for use outside the PostgreSQL cloud database.
#pragma once

#include "Platform/CloudPostgres.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::platform {

// "vellumar_" and 32 hex digits of the container identifier's SHA-256: a valid identifier for any
// container, never quoted wrongly, and the name of the schema's push channel too.
std::string cloudPostgresSchemaName(std::string_view containerIdentifier);

// Creates the schema, its tables and its account row unless they exist, or brings an earlier layout of
// them up to this one, in one transaction: a failure leaves the schema as it was. Two processes may
// race. Throws incompatibleVersion, changing nothing, for a layout newer than this code knows; every
// refusal, that one and any other failure, logs one line with the server's reason. The lines of a
// carry-over are kept in the schema with its work and logged once it committed, by this open or, after
// a kill, the next.
void prepareCloudPostgresSchema(CloudPostgresConnection& connection, const std::string& schema);

// The subscriptions of one zone, or of every zone when absent, by identifier.
std::vector<CloudQuerySubscription> readCloudPostgresSubscriptions(
    CloudPostgresConnection& connection, const std::optional<std::string>& zoneName);

// Connections to one account's schema: a request takes an idle one or opens one more, so that threads
// never share a connection; a broken connection is dropped, never handed out again.
class CloudPostgresPool {
public:
    CloudPostgresPool(std::string conninfo, std::string schema, std::chrono::milliseconds lockTimeout);
    ~CloudPostgresPool();

    enum class Access {
        // One snapshot, no lock.
        read,
        // Writers of the account take their turn, waiting up to the lock time-out (then
        // requestRateLimited); the change feed's sequence so follows the order of the commits.
        write,
    };

    // Runs `body` in one transaction of `access` and commits. When the first statement finds an idle
    // connection broken (the server restarted meanwhile), the request runs on a new one instead.
    void transaction(Access access, const std::function<void(CloudPostgresConnection&)>& body);
    // Runs `read`, which reads with one statement, outside any transaction: a statement sees one state of
    // the database by itself, and costs one round trip to the server rather than three. When the
    // statement finds an idle connection broken, `read` runs again on a new one.
    void singleStatement(const std::function<void(CloudPostgresConnection&)>& read);
    // A new connection outside the pool, with the account's schema first in its search path and the
    // pool's lock time-out. Throws as CloudPostgresConnection's constructor does.
    std::unique_ptr<CloudPostgresConnection> open();

private:
    // An idle connection (`fresh` false) or a new one.
    std::unique_ptr<CloudPostgresConnection> take(bool& fresh);
    // A connection on which `first` ran: an idle one, or a new one when `first` found the idle one
    // broken. A connection `first` failed on otherwise goes back to the pool if it still works.
    std::unique_ptr<CloudPostgresConnection> takeRunning(
        const std::function<void(CloudPostgresConnection&)>& first);
    void giveBack(std::unique_ptr<CloudPostgresConnection> connection);

    std::string m_conninfo;
    std::string m_schema;
    std::chrono::milliseconds m_lockTimeout;
    std::mutex m_lock;
    std::vector<std::unique_ptr<CloudPostgresConnection>> m_idle;
};

}
