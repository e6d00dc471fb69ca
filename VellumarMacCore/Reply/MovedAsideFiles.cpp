#include "VellumarMacCore/Reply/MovedAsideFiles.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <system_error>

namespace vellumar {

void MovedAsideFiles::add(const std::vector<GitGuard::MovedChange>& moved)
{
    using namespace std::chrono;
    const auto now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    std::lock_guard guard(m_lock);
    for (const auto& change : moved) {
        if (std::none_of(m_changes.begin(), m_changes.end(),
                [&](const Added& added) { return added.change.path == change.path; }))
            m_changes.push_back({ change, now });
    }
}

std::vector<MovedAsideFiles::Added> MovedAsideFiles::changes() const
{
    std::vector<Added> present;
    std::lock_guard guard(m_lock);
    for (const auto& added : m_changes) {
        std::error_code error;
        if (std::filesystem::exists(std::filesystem::symlink_status(added.change.path, error)))
            present.push_back(added);
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
