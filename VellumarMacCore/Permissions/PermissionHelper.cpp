#include "VellumarMacCore/Permissions/PermissionHelper.h"

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"

#include <system_error>

namespace vellumar {

std::optional<PermissionHelper> PermissionHelper::current()
{
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || executable.empty())
        return std::nullopt;
    return PermissionHelper { std::move(executable), { std::string(PermissionMCPServer::flag) } };
}

std::string PermissionHelper::mcpConfig(std::string_view socketPath) const
{
    JSON::Array args(arguments.begin(), arguments.end());
    args.emplace_back(socketPath);
    JSON server = JSON::object({
        { "type", "stdio" },
        { "command", JSON(executable.string()) },
        { "args", JSON(std::move(args)) },
    });
    JSON::Object servers;
    servers.emplace(PermissionMCPServer::serverName, std::move(server));
    return JSON::object({ { "mcpServers", JSON(std::move(servers)) } }).encoded();
}

}
