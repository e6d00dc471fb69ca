#include "VellumarMacCore/Permissions/PathContainment.h"

#include <string>
#include <system_error>

namespace vellumar {

std::filesystem::path standardizedPath(const std::filesystem::path& path)
{
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

std::filesystem::path resolvingSymlinks(const std::filesystem::path& path)
{
    std::error_code error;
    auto resolved = std::filesystem::weakly_canonical(path, error);
    if (error)
        return standardizedPath(path);
    return standardizedPath(resolved);
}

bool isPathInside(const std::filesystem::path& child, const std::filesystem::path& folder)
{
    std::string childPath = standardizedPath(child).string();
    std::string folderPath = standardizedPath(folder).string();
    if (childPath == folderPath)
        return true;
    if (folderPath.empty() || folderPath.back() != '/')
        folderPath += '/';
    return childPath.starts_with(folderPath);
}

}
