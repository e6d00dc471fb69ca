// The checks a folder passes before a bot may be given it: its text, protected places, breadth,
// and whether it opens on this computer within the probe time-out.
#include "VellumarMacCore/Permissions/PermissionResolver.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/FolderProbe.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionSettings.h"
#include "VellumarMacCore/Permissions/SecretItems.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <system_error>

namespace vellumar {

namespace fs = std::filesystem;

namespace {

    RelayHTTPError badPath(std::string message)
    {
        return RelayHTTPError(400, "bad_path", std::move(message));
    }

    RelayHTTPError holdsProtectedPlace(std::string_view label)
    {
        return RelayHTTPError(403, "protected_folder",
            "\"" + std::string(label) + "\" holds keys or Vellumar's own data, so it cannot be allowed.");
    }

    bool isUsablePathCharacter(UChar32 scalar)
    {
        if (scalar < 0)
            return false;
        if (scalar <= 0x7F) {
            return (scalar >= 'a' && scalar <= 'z') || (scalar >= 'A' && scalar <= 'Z')
                || (scalar >= '0' && scalar <= '9') || scalar == '.' || scalar == '_' || scalar == '/'
                || scalar == '-';
        }
        return (U_GET_GC_MASK(scalar) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
    }

    // The path below `home` when the standardized path lies strictly inside it.
    std::optional<std::string> relativeToHome(const std::string& path, const fs::path& home)
    {
        std::string prefix = home.string();
        if (!prefix.ends_with('/'))
            prefix += '/';
        if (path.size() <= prefix.size() || !path.starts_with(prefix))
            return std::nullopt;
        return path.substr(prefix.size());
    }

    bool contains(const std::vector<fs::path>& list, const fs::path& path)
    {
        return std::find(list.begin(), list.end(), path) != list.end();
    }

    // The body of `homeFolders`. It runs on a probe worker with a copy of the resolver, so a late
    // finish touches nothing the caller still owns.
    std::vector<fs::path> grantableHomeFolders(
        const PermissionResolver& resolver, const std::vector<fs::path>& protectedList)
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(resolver.home))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());

        std::vector<fs::path> folders;
        for (const auto& name : names) {
            if (folders.size() >= PermissionResolver::maxHomeFolders)
                break;
            if (name.starts_with('.') || PermissionResolver::privacyFolders().contains(name))
                continue;
            std::error_code error;
            if (!fs::is_directory(resolver.home / name, error))
                continue;
            auto resolved = resolvingSymlinks(resolver.home / name);
            if (!resolved)
                continue;
            const fs::path& real = *resolved;
            if (resolver.isInPrivacyFolder(real) || !real.string().starts_with('/')
                || PermissionResolver::hasUnusablePathCharacters(real.string()) || contains(folders, real))
                continue;
            try {
                resolver.checkFolderAllowed(real, resolver.displayPath(real), protectedList);
            } catch (const RelayHTTPError&) {
                continue;
            }
            folders.push_back(real);
        }
        return folders;
    }

}

bool PermissionResolver::hasUnusablePathCharacters(std::string_view text)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int64_t>(text.size());
    for (std::int64_t index = 0; index < length;) {
        UChar32 scalar;
        U8_NEXT(bytes, index, length, scalar);
        if (!isUsablePathCharacter(scalar))
            return true;
    }
    return false;
}

fs::path PermissionResolver::validateFolderPath(std::string_view path, CharacterCheck check) const
{
    if (!isValidPathText(path))
        throw badPath("The folder path is not valid.");
    std::string expanded;
    if (path == "~" || path.starts_with("~/"))
        expanded = home.string() + std::string(path.substr(1));
    else if (path.starts_with('/'))
        expanded = path;
    else
        throw badPath("Folders must start with / or ~.");

    std::string normalised;
    for (std::size_t start = 0; start < expanded.size();) {
        std::size_t slash = std::min(expanded.find('/', start), expanded.size());
        std::string_view component = std::string_view(expanded).substr(start, slash - start);
        if (component == "." || component == "..")
            throw badPath("Folder paths cannot contain . or ..");
        if (!component.empty())
            normalised.append("/").append(component);
        start = slash + 1;
    }
    if (normalised.empty())
        normalised = "/";
    if (check == CharacterCheck::applied && hasUnusablePathCharacters(normalised))
        throw badPath(
            "\"" + std::string(path) + "\" has characters that cannot be used (spaces or symbols).");
    return normalised;
}

std::string PermissionResolver::displayPath(const fs::path& url) const { return homeRelativePath(url, home); }

std::vector<fs::path> PermissionResolver::protectedPlaces() const
{
    std::vector<fs::path> written;
    for (const auto& id : SecretItems::ids()) {
        auto [folders, files] = itemPlaces(id);
        written.insert(written.end(), folders.begin(), folders.end());
        written.insert(written.end(), files.begin(), files.end());
    }
    return writtenAndResolved(written);
}

void PermissionResolver::checkFolderAllowed(
    const fs::path& folder, std::string_view label, const std::vector<fs::path>& protectedList) const
{
    const fs::path path = standardizedPath(folder);
    const bool isHome = path == home;
    const std::vector<fs::path> dataForms = dataFolderForms();

    // The conversations' work folders lie in the data folder yet may be granted; a protected
    // place that itself lies in a work folder (a symlinked key folder) gets no such pass.
    auto isWorkFolderBelow = [&](const fs::path& place) {
        return std::any_of(std::begin(dataForms), std::end(dataForms), [&](const fs::path& data) {
            fs::path workspaces = data / "workspaces";
            return isPathInside(path, workspaces) && !isPathInside(place, workspaces);
        });
    };
    for (const auto& place : protectedList) {
        if (isPathInside(path, place) && !isWorkFolderBelow(place))
            throw holdsProtectedPlace(label);
    }
    if (isHome)
        return;
    if (isPathInside(home, path))
        throw RelayHTTPError(400, "folder_too_broad",
            "Folders above the home folder (" + std::string(label) + ") cannot be allowed.");
    for (const auto& data : dataForms) {
        if (isPathInside(data, path))
            throw RelayHTTPError(403, "protected_folder",
                "\"" + std::string(label) + "\" contains Vellumar's own data, so it cannot be allowed.");
    }
    // A folder holding a protected place reaches it as surely as the place itself, for instance
    // ~/dotfiles when ~/.ssh is a symlink into it. Home is exempt: each of its subfolders is
    // checked on its own when home is expanded.
    for (const auto& place : protectedList) {
        if (isPathInside(place, path))
            throw holdsProtectedPlace(label);
    }
}

fs::path PermissionResolver::checkReadable(const fs::path& folder, std::string_view label) const
{
    return detail::openedInProbe(*this, label, 400, [folder]() -> std::optional<fs::path> {
        auto resolved = resolvingSymlinks(folder);
        std::error_code error;
        if (!resolved || !fs::is_directory(*resolved, error))
            return std::nullopt;
        // Opening the listing reads its first entries, which is what a refusal stops.
        fs::directory_iterator listing(*resolved);
        return resolved;
    });
}

std::vector<fs::path> PermissionResolver::homeFolders(const std::vector<fs::path>& protectedList) const
{
    auto folders
        = probe([resolver = *this, protectedList] { return grantableHomeFolders(resolver, protectedList); });
    if (!folders)
        throw detail::folderDidNotOpenInTime("~");
    return std::move(*folders);
}

bool PermissionResolver::isInPrivacyFolder(const fs::path& url) const
{
    std::string path = standardizedPath(url).string();
    auto relative = relativeToHome(path, home);
    if (!relative || isPathInside(path, dataFolder))
        return false;
    if (auto real = resolvingSymlinks(url); real && isPathInside(*real, dataFolder))
        return false;
    return privacyFolders().contains(relative->substr(0, relative->find('/')));
}

std::vector<fs::path> PermissionResolver::existingPlaces(
    const std::vector<fs::path>& urls, PlaceKind kind) const
{
    std::vector<fs::path> places;
    for (const auto& url : urls) {
        // Looking at a place inside a privacy folder would raise the prompt it guards.
        if (isInPrivacyFolder(url))
            continue;
        auto resolved = resolvingSymlinks(url);
        if (!resolved)
            continue;
        fs::path real = std::move(*resolved);
        std::error_code error;
        auto status = fs::status(real, error);
        if (error || !fs::exists(status) || fs::is_directory(status) != (kind == PlaceKind::folder))
            continue;
        if (isInPrivacyFolder(real) || contains(places, real))
            continue;
        places.push_back(std::move(real));
    }
    return places;
}

}
