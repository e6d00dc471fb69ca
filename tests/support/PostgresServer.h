// A PostgreSQL server of the test's own: a cluster made by initdb in a temporary folder and started by
// pg_ctl, reached through a Unix socket in that folder and, when asked, over TLS on TCP addresses. Run as
// root, the server runs as user 65534 (PostgreSQL refuses root). Where it cannot start, `failure()` says why,
// for the test's skip.
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
    // When set, the server also listens on these addresses, TLS only, with a self-signed certificate
    // (made by openssl) naming them; a client proves it knows `password` there, or is trusted without
    // one.
    std::vector<std::string> tlsAddresses;
    // The network namespace the server runs in; empty for the test's own.
    std::string networkNamespace;
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
    // The same over TCP to one of the TLS addresses, trusting the server's certificate; libpq's
    // sslmode is left to the caller.
    std::string tlsConninfo(const std::string& address) const;
    // Stops the server at once, as a crash would, dropping every connection; then starts it again.
    // False when it did not come back.
    bool restart();

private:
    // Runs a server program as the server's user; false when it failed.
    bool runAsServerUser(const std::string& program, std::vector<std::string> arguments);
    bool start();
    // The certificate and the lines of pg_hba.conf for the TLS addresses; false when they failed.
    bool prepareTLS(bool withPassword);

    TemporaryFolder m_folder;
    bool m_syncToDisk = false;
    std::vector<std::string> m_tlsAddresses;
    std::string m_networkNamespace;
    std::filesystem::path m_binaries;
    std::string m_failure;
};

}
