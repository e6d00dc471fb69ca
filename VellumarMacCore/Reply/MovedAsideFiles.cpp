#include "VellumarMacCore/Reply/MovedAsideFiles.h"

#include <algorithm>
#include <string>
#include <system_error>

namespace vellumar {

void MovedAsideFiles::add(const std::vector<GitGuard::MovedChange>& moved)
{
    std::lock_guard guard(m_lock);
    for (const auto& change : moved) {
        if (std::none_of(m_changes.begin(), m_changes.end(),
                [&](const GitGuard::MovedChange& added) { return added.path == change.path; }))
            m_changes.push_back(change);
    }
}

std::vector<GitGuard::MovedChange> MovedAsideFiles::changes() const
{
    std::vector<GitGuard::MovedChange> present;
    std::lock_guard guard(m_lock);
    for (const auto& change : m_changes) {
        std::error_code error;
        if (std::filesystem::exists(std::filesystem::symlink_status(change.path, error)))
            present.push_back(change);
    }
    return present;
}

std::filesystem::path MovedAsideFiles::changedName(const std::filesystem::path& moved)
{
    const std::string name = moved.filename().string();
    // The last one: the name the change had may hold the label too.
    auto label = name.rfind("." + std::string(GitGuard::refusedLabel) + "-");
    if (label == std::string::npos || label == 0)
        return moved;
    return moved.parent_path() / name.substr(0, label);
}

}
