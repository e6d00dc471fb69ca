#include "tests/support/PostgresServer.h"

#include "tests/support/FileFixtures.h"

#include <unistd.h>

namespace vellumar::test {

namespace {

    namespace fs = std::filesystem;

    constexpr const char* kSuperuser = "vellumar";
    // The user the server runs as when the test runs as root.
    constexpr const char* kUnprivilegedID = "65534";

    // The newest installed server's programs; empty when there is none.
    fs::path serverBinaries()
    {
        fs::path newest;
        std::error_code error;
        for (fs::directory_iterator entry("/usr/lib/postgresql", error), end; !error && entry != end;
             entry.increment(error)) {
            fs::path candidate = entry->path() / "bin";
            if (fs::exists(candidate / "pg_ctl") && (newest.empty() || candidate > newest))
                newest = candidate;
        }
        return newest;
    }

}

PostgresServer::PostgresServer(PostgresServerOptions options)
    : m_syncToDisk(options.syncToDisk)
    , m_binaries(serverBinaries())
{
    if (m_binaries.empty()) {
        m_failure = "no PostgreSQL server is installed under /usr/lib/postgresql";
        return;
    }
    if (::geteuid() == 0 && ::chown(m_folder.path().c_str(), 65534, 65534) != 0) {
        m_failure = "cannot give the server's folder to user 65534";
        return;
    }
    std::vector<std::string> initdb { "-D", (m_folder / "data").string(), "-A", "trust", "-U", kSuperuser,
        "-E", "UTF8", "--no-sync" };
    if (!options.password.empty()) {
        fs::path passwordFile = m_folder / "password";
        writeBytes(passwordFile, options.password + "\n");
        if (::geteuid() == 0 && ::chown(passwordFile.c_str(), 65534, 65534) != 0) {
            m_failure = "cannot give the password file to user 65534";
            return;
        }
        initdb[3] = "scram-sha-256";
        initdb.push_back("--pwfile=" + passwordFile.string());
    }
    if (!runAsServerUser("initdb", initdb)) {
        m_failure = "initdb failed";
        return;
    }
    if (!start())
        m_failure = "pg_ctl could not start the server: " + readFile(m_folder / "log");
}

bool PostgresServer::start()
{
    // No TCP listener: the socket in the private folder is the only way in.
    std::string options
        = "-k " + m_folder.path().string() + " -c listen_addresses=" + (m_syncToDisk ? "" : " -F");
    return runAsServerUser("pg_ctl",
        { "-D", (m_folder / "data").string(), "-w", "-s", "-o", options, "-l", (m_folder / "log").string(),
            "start" });
}

bool PostgresServer::restart()
{
    return runAsServerUser("pg_ctl", { "-D", (m_folder / "data").string(), "-s", "-m", "immediate", "stop" })
        && start();
}

PostgresServer::~PostgresServer()
{
    if (isRunning())
        runAsServerUser("pg_ctl", { "-D", (m_folder / "data").string(), "-s", "-m", "immediate", "stop" });
}

std::string PostgresServer::conninfo() const
{
    return "host=" + m_folder.path().string() + " user=" + kSuperuser + " dbname=postgres";
}

bool PostgresServer::runAsServerUser(const std::string& program, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), (m_binaries / program).string());
    if (::geteuid() == 0)
        arguments.insert(arguments.begin(),
            { "setpriv", std::string("--reuid=") + kUnprivilegedID, std::string("--regid=") + kUnprivilegedID,
                "--clear-groups" });
    return runPeer(arguments).exitStatus == 0;
}

}
