#include "Platform/CloudDatabaseChoice.h"

#include "Platform/CloudDatabaseSchema.h"
#include "Platform/CloudRecord.h"
#include "Platform/JSONObjectFile.h"
#include "Platform/Log.h"

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <map>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::platform {

namespace {

    constexpr std::size_t kChoiceFileLimitBytes = 64 * 1024;

    // A program that cannot open its database has nothing else to show for it, so every refusal says why,
    // never quoting the connection string, which may hold a secret.
    [[noreturn]] void refuseChoice(int code, const std::string& reason)
    {
        logError(
            "cloud database refused: the data home's \"cloud.json\" " + reason + "; no database is opened");
        throw CloudDatabaseError(code);
    }

    std::string readProblem(JSONObjectFileProblem problem)
    {
        switch (problem) {
        case JSONObjectFileProblem::notAFile:
            return "is not a file";
        case JSONObjectFileProblem::largerThanLimit:
            return "is larger than " + std::to_string(kChoiceFileLimitBytes / 1024) + " KB";
        case JSONObjectFileProblem::notJSON:
            return "is not JSON";
        case JSONObjectFileProblem::notAnObject:
            return "is not a JSON object";
        case JSONObjectFileProblem::absent:
        case JSONObjectFileProblem::unreadable:
            break;
        }
        return "cannot be read";
    }

    // The TLS modes that refuse a connection without encryption.
    bool isTLSRequired(const std::string& mode)
    {
        return mode == "require" || mode == "verify-ca" || mode == "verify-full";
    }

    // A Unix socket folder, an abstract socket, or a loopback name or address.
    bool isOnThisMachine(const std::string& host)
    {
        if (host.empty() || host.front() == '/' || host.front() == '@' || host == "localhost")
            return true;
        in_addr address4 {};
        if (::inet_pton(AF_INET, host.c_str(), &address4) == 1)
            return (ntohl(address4.s_addr) >> 24) == 127;
        in6_addr address6 {};
        return ::inet_pton(AF_INET6, host.c_str(), &address6) == 1 && IN6_IS_ADDR_LOOPBACK(&address6);
    }

    // Every host of a comma-separated list (libpq tries them in turn) is on this machine.
    bool allOnThisMachine(const std::string& hosts)
    {
        std::istringstream list(hosts);
        std::string host;
        while (std::getline(list, host, ','))
            if (!isOnThisMachine(host))
                return false;
        return true;
    }

    bool isPrivateFileOfThisUser(const std::string& file)
    {
        struct stat status { };
        return ::stat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::geteuid()
            && (status.st_mode & 077) == 0;
    }

    // The connection string's keywords that have a value.
    std::map<std::string, std::string> parseConninfo(const std::string& conninfo)
    {
        char* message = nullptr;
        std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(
            PQconninfoParse(conninfo.c_str(), &message), PQconninfoFree);
        // The message may quote the string, password included.
        PQfreemem(message);
        if (!options)
            refuseChoice(CloudErrorCode::badContainer, "has a connection string that does not parse");
        std::map<std::string, std::string> values;
        for (auto* option = options.get(); option->keyword; ++option)
            if (option->val)
                values[option->keyword] = option->val;
        return values;
    }

    // The string asking for TLS with the server's name checked, in its own form: keywords or a URI.
    std::string withVerifiedTLS(const std::string& conninfo)
    {
        constexpr const char* kVerifiedTLS = "sslmode=verify-full";
        if (!conninfo.starts_with("postgresql://") && !conninfo.starts_with("postgres://"))
            return conninfo + " " + kVerifiedTLS;
        return conninfo + (conninfo.find('?') == std::string::npos ? "?" : "&") + kVerifiedTLS;
    }

    std::string checkedConninfo(const std::string& conninfo)
    {
        auto values = parseConninfo(conninfo);
        if (values.contains("password"))
            refuseChoice(CloudErrorCode::permissionFailure,
                "has a password in its connection string, where only a passfile may give it");
        if (values.contains("passfile") && !isPrivateFileOfThisUser(values["passfile"]))
            refuseChoice(
                CloudErrorCode::permissionFailure, "names a passfile that is not a 0600 file of this user");
        if (allOnThisMachine(values["host"]) && allOnThisMachine(values["hostaddr"]))
            return conninfo;
        if (!values.contains("sslmode"))
            return withVerifiedTLS(conninfo);
        if (!isTLSRequired(values["sslmode"]))
            refuseChoice(CloudErrorCode::badContainer,
                "reaches a server on another machine without TLS (sslmode="
                    + printableCloudText(values["sslmode"]) + ")");
        return conninfo;
    }

}

CloudDatabaseChoice readCloudDatabaseChoice(const std::filesystem::path& dataHome)
{
    auto read = readJSONObjectFile(dataHome / "cloud.json", kChoiceFileLimitBytes);
    if (auto* problem = std::get_if<JSONObjectFileProblem>(&read)) {
        if (*problem == JSONObjectFileProblem::absent)
            return {};
        refuseChoice(CloudErrorCode::badContainer, readProblem(*problem));
    }
    const auto& object = std::get<nlohmann::json>(read);
    auto backend = object.find("backend");
    auto conninfo = object.find("conninfo");
    if (backend == object.end() || !backend->is_string())
        refuseChoice(CloudErrorCode::badContainer, "names no backend");
    if (*backend == "sqlite")
        return {};
    if (*backend != "postgresql")
        refuseChoice(CloudErrorCode::badContainer,
            "names the backend \"" + printableCloudText(backend->get<std::string>())
                + "\", neither \"sqlite\" nor \"postgresql\"");
    if (conninfo == object.end() || !conninfo->is_string())
        refuseChoice(CloudErrorCode::badContainer, "names no connection string (\"conninfo\") as text");
    return { CloudBackend::postgresql, checkedConninfo(conninfo->get<std::string>()) };
}

}
