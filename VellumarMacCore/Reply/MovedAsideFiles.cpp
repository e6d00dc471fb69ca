#include "VellumarMacCore/Reply/MovedAsideFiles.h"

#include "VellumarMacCore/GitProtection/GitProtection.h"

#include <algorithm>
#include <string>

namespace vellumar {

void MovedAsideFiles::add(const std::vector<std::filesystem::path>& moved)
{
    std::lock_guard guard(m_lock);
    for (const auto& path : moved) {
        if (std::find(m_paths.begin(), m_paths.end(), path) == m_paths.end())
            m_paths.push_back(path);
    }
}

std::vector<std::filesystem::path> MovedAsideFiles::paths() const
{
    std::lock_guard guard(m_lock);
    return m_paths;
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
