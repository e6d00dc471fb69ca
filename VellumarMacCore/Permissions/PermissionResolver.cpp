#include "VellumarMacCore/Permissions/PermissionResolver.h"

#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/SecretItems.h"

#include <algorithm>
#include <map>
#include <system_error>

namespace vellumar {

namespace {

    void appendUnique(std::vector<std::filesystem::path>& list, const std::filesystem::path& path)
    {
        if (std::find(list.begin(), list.end(), path) == list.end())
            list.push_back(path);
    }

}

PermissionResolver::PermissionResolver(
    const std::filesystem::path& homeFolder, std::filesystem::path dataFolderPath, double probeTimeoutSeconds)
    // A home the kernel cannot resolve reaches nothing; as written it still names every place below it.
    : home(resolvingSymlinks(homeFolder).value_or(standardizedPath(homeFolder)))
    , dataFolder(std::move(dataFolderPath))
    , probeTimeout(probeTimeoutSeconds)
{
}

const std::vector<std::string>& PermissionResolver::appDataNames()
{
    static const std::vector<std::string> names = { "tls", "sessions.json", "memory.json", "activity",
        "routines.json", "claude-settings", "incoming" };
    return names;
}

const std::set<std::string>& PermissionResolver::privacyFolders()
{
    static const std::set<std::string> names = { "Library", "Documents", "Desktop", "Downloads", "Pictures",
        "Movies", "Music", "Google Drive", "iCloud Drive", "iCloud Drive (Archive)", "Dropbox", "OneDrive",
        "Box", "Creative Cloud Files" };
    return names;
}

std::vector<PermissionResolver::DataEntry> PermissionResolver::listFolderEntries() const
{
    std::map<std::string, bool> folderByName;
    for (const auto& name : appDataNames())
        folderByName.emplace(name, false);
    std::error_code error;
    for (std::filesystem::directory_iterator it(dataFolder, error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name == "workspaces")
            continue;
        // The listing's own file type; only a link costs a stat.
        std::error_code typeError;
        folderByName.insert_or_assign(name, it->is_directory(typeError));
    }
    std::vector<DataEntry> result;
    for (const auto& [name, isFolder] : folderByName)
        result.push_back({ dataFolder / name, isFolder });
    return result;
}

std::vector<std::filesystem::path> PermissionResolver::listFolder() const
{
    std::vector<std::filesystem::path> result;
    for (auto& entry : listFolderEntries())
        result.push_back(std::move(entry.path));
    return result;
}

std::pair<std::vector<std::filesystem::path>, std::vector<std::filesystem::path>>
PermissionResolver::itemPlaces(std::string_view id) const
{
    std::pair<std::vector<std::filesystem::path>, std::vector<std::filesystem::path>> places;
    const SecretItem* item = SecretItems::find(id);
    if (!item)
        return places;
    auto place = [this](const std::string& relative) {
        return relative == SecretItems::relayPlace ? dataFolder : home / relative;
    };
    for (const auto& folder : item->folders)
        places.first.push_back(place(folder));
    for (const auto& file : item->files)
        places.second.push_back(place(file));
    return places;
}

std::vector<std::filesystem::path> PermissionResolver::secretPaths(std::string_view id) const
{
    auto [folders, files] = itemPlaces(id);
    folders.insert(folders.end(), files.begin(), files.end());
    return writtenAndResolved(folders);
}

std::vector<std::filesystem::path> PermissionResolver::writtenAndResolved(
    const std::vector<std::filesystem::path>& places) const
{
    // Most places lie directly in home: home is resolved once for all of them.
    std::vector<std::string> namesInHome;
    for (const auto& place : places) {
        if (place.parent_path() == home)
            namesInHome.push_back(place.filename().string());
    }
    auto resolvedInHome = resolvingSymlinksBelow(home, namesInHome);
    auto nextInHome = resolvedInHome.begin();
    std::vector<std::filesystem::path> result;
    for (const auto& place : places) {
        appendUnique(result, standardizedPath(place));
        auto resolved = place.parent_path() == home ? *nextInHome++ : resolvingSymlinks(place);
        if (resolved)
            appendUnique(result, *resolved);
    }
    return result;
}

std::vector<std::filesystem::path> PermissionResolver::dataFolderForms() const
{
    std::vector<std::filesystem::path> forms = { standardizedPath(dataFolder) };
    if (auto resolved = resolvingSymlinks(dataFolder))
        forms.push_back(std::move(*resolved));
    return forms;
}

}
