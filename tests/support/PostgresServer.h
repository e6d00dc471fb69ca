// A PostgreSQL server of the test's own: a cluster made by initdb in a temporary folder and started by
// pg_ctl, reached only through a Unix socket in that folder. Run as root, the server runs as user
// 65534 (PostgreSQL refuses root). Where it cannot start, `failure()` says why, for the test's skip.
#pragma once

#include "tests/support/TestSupport.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vellumar::test {

struct PostgresServerOptions {
    // When set, the superuser signs in with this password (SCRAM) instead of being trusted.
    std::string password;
    // Every commit reaches the disk before it is answered, as in production; tests skip that.
    bool syncToDisk = false;
};

class PostgresServer {
public:
    explicit PostgresServer(PostgresServerOptions options = {});
    // Stops the server at once; the folder goes with it.
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    bool isRunning() const { return m_failure.empty(); }
    // Why the server did not start; empty when it runs.
    const std::string& failure() const { return m_failure; }
    // A libpq connection string for the database "postgres" as the cluster's superuser (without the
    // password).
    std::string conninfo() const;
    // Stops the server at once, as a crash would, dropping every connection; then starts it again.
    // False when it did not come back.
    bool restart();

private:
    // Runs a server program as the server's user; false when it failed.
    bool runAsServerUser(const std::string& program, std::vector<std::string> arguments);
    bool start();

    TemporaryFolder m_folder;
    bool m_syncToDisk = false;
    std::filesystem::path m_binaries;
    std::string m_failure;
};

}
