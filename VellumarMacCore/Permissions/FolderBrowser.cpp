// The folder browser: the phone looks through this computer's folders one level at a time to pick
// the folders a bot may use.
#include "VellumarMacCore/Permissions/PermissionResolver.h"

#include "VellumarMacCore/Foundations/CleanText.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/FolderProbe.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <system_error>
#include <tuple>

namespace vellumar {

namespace fs = std::filesystem;

namespace {

    RelayHTTPError protectedFromBrowsing(std::string_view label)
    {
        return RelayHTTPError(
            403, "protected_folder", "\"" + std::string(label) + "\" is protected and cannot be opened.");
    }

    bool liesInProtectedPlace(const fs::path& url, const std::vector<fs::path>& protectedList)
    {
        return std::any_of(protectedList.begin(), protectedList.end(),
            [&](const fs::path& place) { return isPathInside(url, place); });
    }

    // Whether the folder may be chosen as a bot folder; a refusal only makes it unselectable.
    bool isSelectable(
        const PermissionResolver& resolver, const fs::path& url, const std::vector<fs::path>& protectedList)
    {
        const std::string path = url.string();
        if (!path.starts_with('/') || PermissionResolver::hasUnusablePathCharacters(path))
            return false;
        try {
            resolver.checkFolderAllowed(url, "", protectedList);
            return true;
        } catch (const RelayHTTPError&) {
            return false;
        }
    }

    // The name as the browser orders it: lower-cased, and composed so that a name spelled with
    // combining marks sorts where the same name typed in composed form does.
    std::string sortKey(const std::string& name)
    {
        icu::UnicodeString text = icu::UnicodeString::fromUTF8(name);
        text.toLower(icu::Locale::getRoot());
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* composed = icu::Normalizer2::getNFCInstance(status);
        if (U_SUCCESS(status)) {
            icu::UnicodeString normalised = composed->normalize(text, status);
            if (U_SUCCESS(status))
                text = normalised;
        }
        std::string key;
        text.toUTF8String(key);
        return key;
    }

    void sortByLowerCasedName(std::vector<PermissionResolver::BrowseEntry>& entries)
    {
        std::vector<std::pair<std::string, PermissionResolver::BrowseEntry>> keyed;
        keyed.reserve(entries.size());
        for (auto& entry : entries)
            keyed.emplace_back(sortKey(entry.name), std::move(entry));
        // Names equal but for case still come out in one fixed order.
        std::sort(keyed.begin(), keyed.end(), [](const auto& lhs, const auto& rhs) {
            return std::tie(lhs.first, lhs.second.name) < std::tie(rhs.first, rhs.second.name);
        });
        entries.clear();
        for (auto& [key, entry] : keyed)
            entries.push_back(std::move(entry));
    }

}

JSON PermissionResolver::browseFolder(const std::optional<std::string>& path) const
{
    const std::vector<fs::path> protectedList = protectedPlaces();
    const fs::path url = validateFolderPath(path.value_or("~"), CharacterCheck::skipped);
    const std::string label = displayPath(url);
    if (liesInProtectedPlace(url, protectedList))
        throw protectedFromBrowsing(label);

    BrowseListing listing
        = detail::openedInProbe(*this, label, 404, [url] { return listBrowseFolder(url, maxBrowseEntries); });
    // A symlink may lead into a protected place that its own path does not reveal.
    if (liesInProtectedPlace(listing.folder, protectedList))
        throw protectedFromBrowsing(label);

    sortByLowerCasedName(listing.entries);
    JSON::Array entries;
    for (const auto& entry : listing.entries) {
        if (liesInProtectedPlace(entry.url, protectedList))
            continue;
        entries.push_back(JSON::object({
            { "name", entry.name },
            { "path", displayPath(entry.url) },
            { "selectable", isSelectable(*this, entry.url, protectedList) },
            { "privacy", isInPrivacyFolder(entry.url) },
        }));
    }
    const bool isRoot = listing.folder.string() == "/";
    return JSON::object({
        { "path", displayPath(listing.folder) },
        { "parent", isRoot ? JSON() : JSON(displayPath(listing.folder.parent_path())) },
        { "selectable", isSelectable(*this, listing.folder, protectedList) },
        { "privacy", isInPrivacyFolder(listing.folder) },
        { "entries", JSON(std::move(entries)) },
        { "truncated", listing.truncated },
    });
}

std::optional<PermissionResolver::BrowseListing> PermissionResolver::listBrowseFolder(
    const fs::path& folder, std::size_t limit)
{
    auto resolved = resolvingSymlinks(folder);
    std::error_code error;
    if (!resolved || !fs::is_directory(*resolved, error))
        return std::nullopt;
    BrowseListing listing;
    listing.folder = std::move(*resolved);

    // Only names that pass the text tests are looked at on disk, and the walk stops at the limit
    // even when no further name would have qualified.
    listing.truncated = limit == 0;
    for (fs::directory_iterator it(listing.folder), end; !listing.truncated && it != end; ++it) {
        std::string name = it->path().filename().string();
        if (name.starts_with('.') || containsControlCharacters(name))
            continue;
        if (!fs::is_directory(it->path(), error))
            continue;
        auto real = resolvingSymlinks(it->path());
        if (!real)
            continue;
        listing.entries.push_back({ name, std::move(*real) });
        listing.truncated = listing.entries.size() >= limit;
    }
    return listing;
}

}
