// Resolving a bot's permission settings against this computer's folders into what one run may use.
#include "VellumarMacCore/Permissions/PermissionResolver.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionSettings.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"

#include <algorithm>
#include <map>

namespace vellumar {

namespace fs = std::filesystem;

namespace {

    // Grants keyed by real location, so a folder named twice (or by a symlink and its target)
    // becomes one grant, writable when any of its entries is.
    class FolderGrants {
    public:
        void grant(const fs::path& real, bool writable, std::string label, bool fromHome)
        {
            auto [it, inserted] = m_grants.try_emplace(real.string());
            if (inserted)
                it->second = FolderGrant { real, writable, std::move(label), fromHome };
            else
                it->second.writable = it->second.writable || writable;
        }

        // Sorted by the text of their paths.
        std::vector<FolderGrant> sorted() const
        {
            std::vector<FolderGrant> grants;
            for (const auto& [path, grant] : m_grants)
                grants.push_back(grant);
            return grants;
        }

    private:
        std::map<std::string, FolderGrant> m_grants;
    };

    // The folder's real location once it passed every check, or the first refusal.
    fs::path checkedFolder(const PermissionResolver& resolver, const PermissionSettings::Folder& entry,
        const std::vector<fs::path>& protectedList)
    {
        const fs::path url = resolver.validateFolderPath(entry.path, CharacterCheck::applied);
        const std::string label = resolver.displayPath(url);
        resolver.checkFolderAllowed(url, label, protectedList);
        fs::path real = resolver.checkReadable(url, label);
        // A symlink can lead to a place whose name the text checks never saw.
        if (!real.string().starts_with('/') || PermissionResolver::hasUnusablePathCharacters(real.string()))
            throw RelayHTTPError(
                400, "bad_path", "The real path of \"" + label + "\" has characters that cannot be used.");
        resolver.checkFolderAllowed(real, label, protectedList);
        return real;
    }

    std::vector<fs::path> alwaysWritablePlaces(const PermissionResolver& resolver,
        const std::vector<std::string>& alwaysAllow, const std::vector<FolderGrant>& folders)
    {
        std::vector<fs::path> places;
        for (const auto& text : alwaysAllow) {
            std::optional<fs::path> real;
            try {
                real = resolvingSymlinks(resolver.validateFolderPath(text, CharacterCheck::skipped));
            } catch (const RelayHTTPError&) {
                continue;
            }
            if (real && isClaudeSubfolderInWritableGrant(*real, folders)
                && std::find(places.begin(), places.end(), *real) == places.end())
                places.push_back(std::move(*real));
        }
        return places;
    }

}

ResolvedPermissions PermissionResolver::resolve(
    const PermissionSettings& settings, const std::optional<std::string>& loginPath) const
{
    // Only a folder grant is checked against the protected places; a bot without folders does
    // not pay for resolving them.
    const std::vector<fs::path> protectedList
        = settings.folders.empty() ? std::vector<fs::path>() : protectedPlaces();
    ResolvedPermissions resolved;

    FolderGrants grants;
    for (const auto& entry : settings.folders) {
        fs::path real = checkedFolder(*this, entry, protectedList);
        if (real.string() != home.string()) {
            grants.grant(real, entry.writable, displayPath(real), false);
            continue;
        }
        // Home itself is never granted whole: its grantable subfolders are, one by one.
        const bool wasWritable = resolved.homeAccess == "write";
        resolved.homeAccess = entry.writable || wasWritable ? "write" : "read";
        for (const auto& kid : homeFolders(protectedList))
            grants.grant(kid, entry.writable, displayPath(kid), true);
    }
    resolved.folders = grants.sorted();

    resolved.web = settings.web;
    resolved.bash = settings.bash;
    for (const auto& secret : settings.secrets) {
        auto [folders, files] = itemPlaces(secret.id);
        resolved.secrets.push_back({ secret.id, secret.writable, existingPlaces(folders, PlaceKind::folder),
            existingPlaces(files, PlaceKind::file) });
    }
    resolved.network = settings.bash ? settings.network : "none";
    if (resolved.network == "domains")
        resolved.domains = settings.domains;
    resolved.approve = std::set<std::string>(settings.approve.begin(), settings.approve.end());

    if (settings.bash) {
        resolved.cliTools = settings.cliTools;
        std::optional<ToolFolders> tools;
        if (loginPath) {
            try {
                tools = probe(
                    [resolver = *this, path = *loginPath] { return resolver.scanCommandLineTools(path); });
            } catch (...) {
                // A scan that fails leaves the tools' folders closed, never the run.
            }
        }
        if (tools) {
            resolved.executableFolders = std::move(tools->executableFolders);
            if (resolved.cliTools) {
                resolved.toolReads = std::move(tools->toolReads);
                resolved.toolWrites = std::move(tools->toolWrites);
            }
        }
    }

    resolved.alwaysWrites = alwaysWritablePlaces(*this, settings.alwaysAllow, resolved.folders);
    return resolved;
}

}
