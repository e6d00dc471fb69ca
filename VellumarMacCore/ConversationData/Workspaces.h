// The conversations' work folders: where Claude Code runs, where uploads land and what is offered
// back to the phone. Holds no lock and no state beyond its root and quota; every operation reads
// the file system afresh and tolerates entries that appear or vanish meanwhile.
#pragma once

#include "VellumarMacCore/ConversationData/ReadableFile.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

class Workspaces {
public:
    // One regular file in a snapshot.
    struct Entry {
        // Nanoseconds since 1970-01-01 UTC.
        std::int64_t modified = 0;
        std::int64_t size = 0;

        friend bool operator==(const Entry&, const Entry&) = default;
    };
    // By "/"-separated path relative to the work folder.
    using Snapshot = std::map<std::string, Entry>;

    enum class FileDetail { full, bare };

    static constexpr std::string_view uploadsName = "uploads";
    static constexpr std::string_view attachedName = "attached";
    // Claude Code instruction files and folders; a work folder must not steer the runs in it.
    static constexpr std::array<std::string_view, 3> claudeFileNames { "CLAUDE.md", "CLAUDE.local.md",
        ".claude" };
    static constexpr std::int64_t maxScannedNames = 5000;
    static constexpr std::size_t maxListedFiles = 200;
    static constexpr std::size_t maxOutputFiles = 20;
    static constexpr std::int64_t defaultQuota = 1'073'741'824;

    // Creates nothing. The quota is enforced by the callers that add files.
    explicit Workspaces(std::filesystem::path root, std::int64_t quota = defaultQuota);

    const std::filesystem::path& root() const noexcept { return m_root; }
    std::int64_t quota() const noexcept { return m_quota; }

    // root/fileSafeKey(key); touches nothing on disk.
    std::filesystem::path folderURL(std::string_view key) const;

    // Makes the conversation's folder a real 0700 directory directly under the root, stripped of
    // Claude Code instruction files and symbolic links, and answers folderURL(key). Throws
    // RelayHTTPError 507 "insufficient_storage" when the root or folder cannot be prepared, and
    // 500 "internal" for a key that would place the folder anywhere else.
    std::filesystem::path folder(std::string_view key) const;
    // The folder only when a real directory (not a symbolic link) is there; creates nothing.
    std::optional<std::filesystem::path> existingFolder(std::string_view key) const;
    // Deletes everything inside the existing folder, which stays; false when there is no folder
    // or some item could not be deleted.
    bool clear(std::string_view key) const;

    // The real location of the regular file that a relative path from the phone names inside
    // `folder`. Throws RelayHTTPError 400 "bad_path", 403 "forbidden" for a path through a symbolic
    // link, or 404 "not_found".
    static std::filesystem::path resolveReadable(
        std::string_view relativePath, const std::filesystem::path& folder);
    // Opens what resolveReadable accepts without following any link inside `folder`, so a link
    // swapped in after a check is never read through. Fails like resolveReadable.
    static ReadableFile openReadable(std::string_view relativePath, const std::filesystem::path& folder);

    // Removes, at any depth down to FolderTree::maxDepth, every symbolic link and every entry named in
    // `claudeFileNames`; answers how many removals succeeded. Safe while a command changes the tree:
    // nothing outside the folder is walked or removed, whatever is swapped for a link meanwhile.
    static std::int64_t removeClaudeFiles(const std::filesystem::path& folder);
    // Total bytes of the regular files in the tree, hidden ones included; links count nothing.
    static std::int64_t usage(const std::filesystem::path& folder);
    // Every regular file of the tree that is neither hidden nor inside a hidden folder, from at
    // most `maxScannedNames` names examined in sorted depth-first order.
    static Snapshot snapshot(const std::filesystem::path& folder);
    // The folder's files for the phone, newest first, at most `maxListedFiles`.
    static std::vector<JSON> listFiles(const std::filesystem::path& folder);
    // {"fileId", "name", "mime", "size"} and, for full detail, "modifiedAt" (milliseconds) and
    // "origin". `modified` is in nanoseconds since 1970.
    static JSON fileJSON(
        std::string_view relativePath, std::int64_t size, std::int64_t modified, FileDetail detail);
    // "upload", "derived" or "bot".
    static std::string origin(std::string_view relativePath);
    // The files a run created or changed outside "uploads/", newest first, at most
    // `maxOutputFiles`, in bare detail. Deleted files are not reported.
    static std::vector<JSON> outputFiles(const Snapshot& before, const Snapshot& after);

private:
    std::filesystem::path m_root;
    std::int64_t m_quota;
};

}
