#include "VellumarMacCore/Permissions/PathContainment.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vellumar {

namespace {

    // What folding would leave as it is: no empty, "." or ".." component and no "/" at the end,
    // except for "/" itself.
    bool isStandardizedText(std::string_view text)
    {
        if (text == "/")
            return true;
        if (text.empty() || text.back() == '/')
            return false;
        for (std::size_t start = text.front() == '/' ? 1 : 0; start <= text.size();) {
            std::size_t end = std::min(text.find('/', start), text.size());
            std::string_view component = text.substr(start, end - start);
            if (component.empty() || component == "." || component == "..")
                return false;
            start = end + 1;
        }
        return true;
    }

    // Where the kernel resolved an open descriptor: the link /proc keeps for it, else realpath(3) of
    // the path it was opened by. Absent when neither answers with an absolute path of a file that
    // is still there.
    std::optional<std::string> descriptorTarget(const FileDescriptor& descriptor, const std::string& openedAs)
    {
        std::string link = "/proc/self/fd/" + std::to_string(descriptor.get());
        std::string target(PATH_MAX, '\0');
        ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
        if (length > 0 && static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            // Anything else (a file removed meanwhile, a place outside this process's root) is not a
            // path the next open would reach.
            if (target.starts_with('/') && !target.ends_with(" (deleted)"))
                return target;
        }
        std::unique_ptr<char, decltype(&::free)> real(::realpath(openedAs.c_str(), nullptr), &::free);
        if (!real)
            return std::nullopt;
        return std::string(real.get());
    }

}

std::filesystem::path standardizedPath(const std::filesystem::path& path)
{
    // Most paths come standardized already; folding them again is the costly part of every
    // containment check.
    if (isStandardizedText(path.native()))
        return path;
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

std::filesystem::path resolvingSymlinks(const std::filesystem::path& path)
{
    // A relative path means the same place as it will for this process: under its current folder.
    if (path.is_relative()) {
        std::error_code error;
        auto absolute = std::filesystem::absolute(path, error);
        if (!error && absolute.is_absolute())
            return resolvingSymlinks(absolute);
    }
    // One open and one readlink of the longest prefix that exists, instead of a stat and a readlink
    // per component: the kernel follows every link, "..", and a link to a link itself, as it will
    // for the run. The missing rest is appended as written and folded.
    const std::string& text = path.native();
    std::size_t prefixEnd = text.size();
    while (prefixEnd > 0) {
        std::string prefix = text.substr(0, prefixEnd);
        FileDescriptor opened(::open(prefix.c_str(), O_PATH | O_CLOEXEC));
        if (opened) {
            auto target = descriptorTarget(opened, prefix);
            if (!target)
                break;
            return standardizedPath(std::filesystem::path(*target)
                / std::filesystem::path(text.substr(prefixEnd)).relative_path());
        }
        // A loop, a name too long or a folder that cannot be searched: no resolution to trust.
        if (errno != ENOENT && errno != ENOTDIR)
            break;
        std::size_t lastNamed = text.find_last_not_of('/', prefixEnd - 1);
        if (lastNamed == std::string::npos)
            break;
        // "link/" fails where "link" may name a file; that file is the prefix then.
        if (lastNamed + 1 < prefixEnd) {
            prefixEnd = lastNamed + 1;
            continue;
        }
        std::size_t separator = text.rfind('/', lastNamed);
        if (separator == std::string::npos)
            break;
        // The root itself always exists; keep its "/" in the prefix.
        prefixEnd = separator == 0 ? 1 : separator;
    }
    return standardizedPath(path);
}

std::vector<std::filesystem::path> resolvingSymlinksBelow(
    const std::filesystem::path& folder, const std::vector<std::string>& names)
{
    if (names.empty())
        return {};
    FileDescriptor opened(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    auto folderTarget = opened ? descriptorTarget(opened, folder.native()) : std::nullopt;
    std::vector<std::filesystem::path> resolved;
    for (const auto& name : names) {
        std::filesystem::path written = folder / name;
        if (!folderTarget || name.empty() || name == "." || name == ".."
            || name.find('/') != std::string::npos) {
            resolved.push_back(resolvingSymlinks(written));
            continue;
        }
        FileDescriptor below(::openat(opened.get(), name.c_str(), O_PATH | O_CLOEXEC));
        if (below) {
            auto target = descriptorTarget(below, written.native());
            resolved.push_back(standardizedPath(target ? std::filesystem::path(*target) : written));
        } else if (errno == ENOENT || errno == ENOTDIR) {
            resolved.push_back(standardizedPath(std::filesystem::path(*folderTarget) / name));
        } else {
            resolved.push_back(standardizedPath(written));
        }
    }
    return resolved;
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
