#include "VellumarMacCore/Permissions/ResolvedPermissions.h"

#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>

namespace vellumar {

bool ResolvedPermissions::isGated(std::string_view kind) const
{
    std::string key(kind);
    if (!approve.contains(key) || granted.contains(key))
        return false;
    if (kind == "bash")
        return bash;
    return std::any_of(
        folders.begin(), folders.end(), [](const FolderGrant& grant) { return grant.writable; });
}

ResolvedPermissions ResolvedPermissions::applyingGates() const
{
    ResolvedPermissions copy = *this;
    if (isGated("write")) {
        for (auto& grant : copy.folders)
            grant.writable = false;
    }
    if (isGated("bash"))
        copy.bashGated = true;
    return copy;
}

std::optional<std::string> ResolvedPermissions::secretMode(std::string_view id) const
{
    for (const auto& grant : secrets) {
        if (grant.id == id)
            return grant.writable ? "write" : "read";
    }
    return std::nullopt;
}

const std::vector<std::string>& claudeSubfolderNames()
{
    static const std::vector<std::string> names = { "skills", "commands", "agents" };
    return names;
}

bool isClaudeSubfolderInWritableGrant(
    const std::filesystem::path& url, const std::vector<FolderGrant>& grants)
{
    const std::filesystem::path path = standardizedPath(url);
    const auto& names = claudeSubfolderNames();
    if (path.parent_path().filename() != ".claude"
        || std::find(names.begin(), names.end(), path.filename().string()) == names.end())
        return false;
    return std::any_of(grants.begin(), grants.end(), [&](const FolderGrant& grant) {
        return grant.writable && isPathInside(path, grant.path) && path != standardizedPath(grant.path);
    });
}

}
