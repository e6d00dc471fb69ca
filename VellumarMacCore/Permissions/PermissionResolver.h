// The permission resolver's record: the home and data folders that every permission check is
// measured against, and the places that hold the user's secrets and the relay's own data.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellumar {

struct PermissionResolver {
    // `home` is stored with its symlinks resolved; the data folder and time-out as given.
    PermissionResolver(const std::filesystem::path& homeFolder, std::filesystem::path dataFolderPath,
        double probeTimeoutSeconds);

    std::filesystem::path home;
    std::filesystem::path dataFolder;
    double probeTimeout; // seconds a timed file-system probe is waited for

    // The relay's own files and folders in the data folder, whether or not they exist yet.
    static const std::vector<std::string>& appDataNames();
    // Folders directly under home whose first access raises a privacy prompt or belongs to a cloud client.
    static const std::set<std::string>& privacyFolders();

    // The data folder's protected entries: its names but "workspaces", united with
    // `appDataNames`, sorted, each under `dataFolder`. A listing failure counts as no names.
    std::vector<std::filesystem::path> listFolder() const;
    // A secret item's folders and files ("@relay" is `dataFolder`); two empty lists for an unknown id.
    std::pair<std::vector<std::filesystem::path>, std::vector<std::filesystem::path>> itemPlaces(
        std::string_view id) const;
    // Each place of the item in its standardized and its symlink-resolved form, without duplicates.
    std::vector<std::filesystem::path> secretPaths(std::string_view id) const;
};

}
