// The places the user allowed for the rest of a conversation, kept in memory only: they end when
// the application quits or the conversation is cleared.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// Safe to use from any number of threads; the lock is held only for one read or write.
class PermissionGrants {
public:
    // Appends `scope` to the conversation's grants; the same scope may be granted twice.
    void add(const std::string& conversationKey, const std::filesystem::path& scope);
    // True when `file` is a granted scope or lies inside one (`isPathCoveredBy`, paths as given).
    bool covers(std::string_view conversationKey, const std::filesystem::path& file) const;
    // Forgets everything granted for the conversation; used when the conversation is cleared.
    void remove(std::string_view conversationKey);

private:
    mutable std::mutex m_lock;
    std::map<std::string, std::vector<std::filesystem::path>, std::less<>> m_grants;
};

}
