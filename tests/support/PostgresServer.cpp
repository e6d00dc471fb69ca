#include "tests/support/PostgresServer.h"

#include "tests/support/FileFixtures.h"

#include <fstream>

#include <sys/stat.h>
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
    , m_tlsAddresses(std::move(options.tlsAddresses))
    , m_networkNamespace(std::move(options.networkNamespace))
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
    if (!m_tlsAddresses.empty() && !prepareTLS(!options.password.empty())) {
        m_failure = "openssl could not make the server's certificate";
        return;
    }
    if (!start())
        m_failure = "pg_ctl could not start the server: " + readFile(m_folder / "log");
}

bool PostgresServer::start()
{
    // No TCP listener but the TLS addresses asked for: the socket in the private folder is the way in.
    std::string listen;
    for (const auto& address : m_tlsAddresses)
        listen += (listen.empty() ? "" : ",") + address;
    std::string options = "-k " + m_folder.path().string() + " -c listen_addresses=" + listen;
    if (!listen.empty())
        options += " -c ssl=on -c ssl_cert_file=" + (m_folder / "server.crt").string()
            + " -c ssl_key_file=" + (m_folder / "server.key").string();
    if (!m_syncToDisk)
        options += " -F";
    return runAsServerUser("pg_ctl",
        { "-D", (m_folder / "data").string(), "-w", "-s", "-o", options, "-l", (m_folder / "log").string(),
            "start" });
}

bool PostgresServer::prepareTLS(bool withPassword)
{
    std::string names;
    for (const auto& address : m_tlsAddresses)
        names += (names.empty() ? "IP:" : ",IP:") + address;
    fs::path key = m_folder / "server.key";
    fs::path certificate = m_folder / "server.crt";
    if (runPeer({ "openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "2", "-subj", "/CN=Vellumar test server", "-addext",
                    "subjectAltName=" + names, "-keyout", key.string(), "-out", certificate.string() })
            .exitStatus
        != 0)
        return false;
    // The server reads its key only when no one else may.
    ::chmod(key.c_str(), 0600);
    if (::geteuid() == 0
        && (::chown(key.c_str(), 65534, 65534) != 0 || ::chown(certificate.c_str(), 65534, 65534) != 0))
        return false;
    std::ofstream rules(m_folder / "data" / "pg_hba.conf", std::ios::app);
    rules << "hostssl all all 0.0.0.0/0 " << (withPassword ? "scram-sha-256" : "trust") << "\n";
    return static_cast<bool>(rules);
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

std::string PostgresServer::tlsConninfo(const std::string& address) const
{
    return "host=" + address + " user=" + kSuperuser
        + " dbname=postgres sslrootcert=" + (m_folder / "server.crt").string();
}

bool PostgresServer::runAsServerUser(const std::string& program, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), (m_binaries / program).string());
    if (::geteuid() == 0)
        arguments.insert(arguments.begin(),
            { "setpriv", std::string("--reuid=") + kUnprivilegedID, std::string("--regid=") + kUnprivilegedID,
                "--clear-groups" });
    if (!m_networkNamespace.empty())
        arguments.insert(arguments.begin(), { "ip", "netns", "exec", m_networkNamespace });
    return runPeer(arguments).exitStatus == 0;
}

}
