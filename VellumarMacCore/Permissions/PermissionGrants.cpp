#include "VellumarMacCore/Permissions/PermissionGrants.h"

#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>

namespace vellumar {

void PermissionGrants::add(const std::string& conversationKey, const std::filesystem::path& scope)
{
    std::lock_guard guard(m_lock);
    m_grants[conversationKey].push_back(scope);
}

bool PermissionGrants::covers(std::string_view conversationKey, const std::filesystem::path& file) const
{
    std::lock_guard guard(m_lock);
    auto entry = m_grants.find(conversationKey);
    if (entry == m_grants.end())
        return false;
    return std::any_of(entry->second.begin(), entry->second.end(),
        [&](const std::filesystem::path& scope) { return isPathCoveredBy(file, scope); });
}

void PermissionGrants::remove(std::string_view conversationKey)
{
    std::lock_guard guard(m_lock);
    if (auto entry = m_grants.find(conversationKey); entry != m_grants.end())
        m_grants.erase(entry);
}

}
