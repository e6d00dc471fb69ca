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

bool isPathCoveredBy(const std::filesystem::path& child, const std::filesystem::path& place)
{
    std::string placePath = standardizedPath(place).string();
    return !placePath.empty() && placePath != "/" && isPathInside(child, place);
}

std::string homeRelativePath(const std::filesystem::path& path, const std::filesystem::path& home)
{
    std::string text = standardizedPath(path).string();
    std::string homeText = standardizedPath(home).string();
    if (text == homeText)
        return "~";
    if (!isPathInside(path, home))
        return text;
    if (!homeText.ends_with('/'))
        homeText += '/';
    return "~/" + text.substr(homeText.size());
}

}
