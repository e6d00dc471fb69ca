// The permission resolver's record: the home and data folders that every permission check is
// measured against, the places that hold the user's secrets and the relay's own data, and the
// checks that a folder passes before a bot may be given it.
#pragma once

#include "VellumarMacCore/Permissions/ProbePool.h"

#include <chrono>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vellumar {

class JSON;
struct PermissionSettings;
struct ResolvedPermissions;

// Whether `validateFolderPath` refuses characters that a granted folder may not use. The folder
// browser skips the test so that the user can still look around such folders.
enum class CharacterCheck { skipped, applied };

// What `existingPlaces` keeps: folders, or anything but folders.
enum class PlaceKind { folder, file };

struct PermissionResolver {
    // `home` is stored with its symlinks resolved; the data folder and time-out as given.
    PermissionResolver(const std::filesystem::path& homeFolder, std::filesystem::path dataFolderPath,
        double probeTimeoutSeconds);

    std::filesystem::path home;
    std::filesystem::path dataFolder;
    double probeTimeout; // seconds a timed file-system probe is waited for
    // Where probe bodies run; tests hand in a small pool of their own.
    std::shared_ptr<ProbePool> probePool = ProbePool::shared();

    static constexpr std::size_t maxHomeFolders = 60;
    static constexpr std::size_t maxBrowseEntries = 500;
    // Most folders the tool scan adds to its read and write lists together, however long PATH is.
    static constexpr std::size_t maxToolFolders = 40;
    // Most entries of one PATH folder that the tool scan looks at, in name order.
    static constexpr std::size_t maxToolEntries = 400;

    struct BrowseEntry {
        std::string name; // as listed
        std::filesystem::path url; // real location
    };
    // One browsed folder's kept subfolders.
    struct BrowseListing {
        std::filesystem::path folder; // real location
        std::vector<BrowseEntry> entries; // in listing order
        bool truncated = false; // stopped at the entry limit
    };
    // What the command-line tool scan found; real locations, in the order found.
    struct ToolFolders {
        std::vector<std::filesystem::path> toolReads;
        std::vector<std::filesystem::path> toolWrites;
        std::vector<std::filesystem::path> executableFolders;
    };

    // The relay's own files and folders in the data folder, whether or not they exist yet.
    static const std::vector<std::string>& appDataNames();
    // Folders directly under home whose first access raises a privacy prompt or belongs to a cloud client.
    static const std::set<std::string>& privacyFolders();
    // Hidden folders under home that hold caches or shared data rather than one tool's own files.
    static const std::set<std::string>& toolScanSkippedNames();
    // Shell environment files a tool folder may hold, in the order they are looked for.
    static const std::vector<std::string>& toolEnvFileNames();

    // The data folder's protected entries: its names but "workspaces", united with
    // `appDataNames`, sorted, each under `dataFolder`. A listing failure counts as no names.
    std::vector<std::filesystem::path> listFolder() const;
    struct DataEntry {
        std::filesystem::path path;
        bool isFolder = false; // a folder, or a link to one, when listed; a name not listed is none
    };
    // `listFolder` with each entry's kind, taken from the same listing.
    std::vector<DataEntry> listFolderEntries() const;
    // A secret item's folders and files ("@relay" is `dataFolder`); two empty lists for an unknown id.
    std::pair<std::vector<std::filesystem::path>, std::vector<std::filesystem::path>> itemPlaces(
        std::string_view id) const;
    // Each place of the item in its standardized and its symlink-resolved form, without duplicates.
    std::vector<std::filesystem::path> secretPaths(std::string_view id) const;
    // Each of `places` in its standardized and its symlink-resolved form, in order, without duplicates.
    // A place the kernel cannot resolve has only the first.
    std::vector<std::filesystem::path> writtenAndResolved(
        const std::vector<std::filesystem::path>& places) const;
    // `dataFolder` standardized and, when the kernel resolves it, with its symbolic links resolved.
    std::vector<std::filesystem::path> dataFolderForms() const;

    // True at the first character that is not an ASCII letter, digit, ".", "_", "/" or "-", nor
    // a non-ASCII letter, mark or number (and for broken UTF-8).
    static bool hasUnusablePathCharacters(std::string_view text);
    // The normalised absolute path of a folder as the user wrote it ("~" and "~/..." expanded
    // against `home`). Throws RelayHTTPError 400 "bad_path". Touches no disk.
    std::filesystem::path validateFolderPath(std::string_view path, CharacterCheck check) const;
    // "~", "~/<relative>" for a path inside home, else the standardized path.
    std::string displayPath(const std::filesystem::path& url) const;
    // The secret items' places in catalogue order, each as written and as resolved, no repeats.
    std::vector<std::filesystem::path> protectedPlaces() const;
    // Throws RelayHTTPError 403 "protected_folder" for a folder in, or holding, a protected place
    // or the data folder (work folders under "workspaces" and the home folder itself excepted),
    // and 400 "folder_too_broad" for an ancestor of home. Compares paths as given.
    void checkFolderAllowed(const std::filesystem::path& folder, std::string_view label,
        const std::vector<std::filesystem::path>& protectedList) const;
    // Runs `body` on `probePool` and waits at most `probeTimeout` seconds for it. nullopt when it
    // did not finish in time or the pool was full; the body's exception is rethrown here. A late
    // body keeps running and its result is dropped, so it must own everything it uses.
    template <typename Body> std::optional<std::invoke_result_t<Body&>> probe(Body body) const;
    // The folder's real location when it is a folder whose listing opens. Throws RelayHTTPError
    // 403 "folder_blocked" (timed out, or listing refused) or 400 "folder_not_found".
    std::filesystem::path checkReadable(const std::filesystem::path& folder, std::string_view label) const;
    // Home's grantable subfolders, real locations, sorted, at most `maxHomeFolders`. Throws
    // RelayHTTPError 403 "folder_blocked" on time-out and rethrows the listing's error.
    std::vector<std::filesystem::path> homeFolders(
        const std::vector<std::filesystem::path>& protectedList) const;
    // Below one of `privacyFolders` of home, and not in the data folder.
    bool isInPrivacyFolder(const std::filesystem::path& url) const;
    // The places that exist as the given kind, real locations, in order, without repeats; places
    // in privacy folders are skipped before the disk is touched.
    std::vector<std::filesystem::path> existingPlaces(
        const std::vector<std::filesystem::path>& urls, PlaceKind kind) const;

    // The folder browser's answer for a path as the phone sent it (nullopt: "~"): the folder and its
    // subfolders, each with whether it may be granted and whether opening it raises a privacy
    // prompt. Throws RelayHTTPError: the path refusals, 403 "protected_folder", 403
    // "folder_blocked" (timed out or refused) and 404 "folder_not_found". Blocks for one probe.
    JSON browseFolder(const std::optional<std::string>& path) const;
    // The body of the browse probe: at most `limit` visible subfolders of the folder's real
    // location. nullopt when nothing is there or it is not a folder; throws the listing's
    // std::filesystem::filesystem_error.
    static std::optional<BrowseListing> listBrowseFolder(
        const std::filesystem::path& folder, std::size_t limit);
    // The folders that the programs on the login PATH need: the PATH folders and the folders that
    // their linked programs live in, the tool folders under home that they may write, and the
    // folders around them they may read. Never throws; folders that cannot be read are skipped.
    ToolFolders scanCommandLineTools(std::string_view loginPath) const;
    // Whether a folder may be offered to command-line tools: not home itself, a usable absolute
    // path, outside the privacy folders, and neither inside nor around a protected place or a form
    // of the data folder.
    bool isUsableToolFolder(const std::filesystem::path& url, const std::filesystem::path& homeFolder,
        const std::vector<std::filesystem::path>& protectedList,
        const std::vector<std::filesystem::path>& dataFolderForms) const;

    // What one run may use: the settings' folders checked and replaced by their real locations,
    // home expanded, secret items mapped to their existing places, and, with commands on and the
    // login PATH known, the command-line tools' folders. Throws the first folder refusal
    // (RelayHTTPError); blocks for the timed probes.
    ResolvedPermissions resolve(
        const PermissionSettings& settings, const std::optional<std::string>& loginPath) const;
};

template <typename Body> std::optional<std::invoke_result_t<Body&>> PermissionResolver::probe(Body body) const
{
    using Value = std::invoke_result_t<Body&>;
    using Box = ProbeBox<Value>;
    auto box = std::make_shared<Box>();
    bool started = probePool->submit([box, body = std::move(body)]() mutable {
        std::optional<typename Box::Result> result;
        try {
            result.emplace(std::in_place_index<0>, body());
        } catch (...) {
            result.emplace(std::in_place_index<1>, std::current_exception());
        }
        box->finish(std::move(*result));
    });
    if (!started)
        return std::nullopt;
    auto wait = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(probeTimeout));
    auto result = box->waitUntil(std::chrono::steady_clock::now() + wait);
    if (!result)
        return std::nullopt;
    if (auto* error = std::get_if<1>(&*result))
        std::rethrow_exception(*error);
    return std::get<0>(std::move(*result));
}

}
