// What the phone sends into a conversation's work folder: an upload spooled to a file is checked,
// moved into the folder "uploads" within the conversation's quota and given its previews; the
// folder's files are listed and found again for download.
#pragma once

#include "VellumarMacCore/ConversationData/Workspaces.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// Holds no lock and no state beyond its work folders; every operation may run on any thread at
// the same time. Uploads into one conversation are not serialised: the quota counts only the
// files already stored when an upload is checked.
class UploadStore {
public:
    // Gives `count` secure random bytes; a stand-in lets tests choose the stored names.
    using RandomBytes = std::function<std::vector<std::uint8_t>(std::size_t count)>;

    // The found file of a download.
    struct StoredFile {
        std::filesystem::path location;
        std::int64_t size = 0;
        std::string name;

        friend bool operator==(const StoredFile&, const StoredFile&) = default;
    };

    // The longest "x-file-name" value read, in bytes before decoding.
    static constexpr std::size_t maxFileNameHeaderBytes = 1024;
    static constexpr std::string_view previewSuffix = "-preview.jpg";
    static constexpr std::string_view framesSuffix = "-frames";

    explicit UploadStore(Workspaces workspaces, RandomBytes randomBytes = {});

    const Workspaces& workspaces() const noexcept { return m_workspaces; }

    // Stores the spool file as "uploads/<8 hex>-<name>.<kind>" in the conversation's work folder
    // (mode 0600 in a 0700 folder), makes its previews, and answers {"fileId", "name", "mime",
    // "size"}. Throws RelayHTTPError: 400 "bad_request" for a missing name or an empty file, 413
    // "too_large", 415 "unsupported_type", 500 "internal" when the spool file is not a regular file,
    // 507 "insufficient_storage" when the quota would be passed or the file could not be stored;
    // and what `Workspaces::folder` throws. Never replaces an existing file. The spool file is gone
    // afterwards however it ends. The stored file and its name are on disk (fsync) before it answers.
    // Runs on the caller's thread, video frames included.
    JSON receive(const std::filesystem::path& spoolFile, std::string_view conversationID,
        const std::optional<std::string>& fileNameHeader,
        const std::optional<std::string>& contentType) const;

    // {"conversationId": the id as given, "files": the newest files, at most 200}; a conversation
    // without a work folder has no files.
    JSON list(std::string_view conversationID) const;

    // The regular file that the download path's pieces after the conversation id name. Throws
    // RelayHTTPError 400 "bad_path" for an empty piece list or a piece that is empty or holds "/" or
    // NUL, 404 "not_found" when there is no folder or no regular file, and what
    // `Workspaces::resolveReadable` throws.
    StoredFile file(std::string_view conversationID, const std::vector<std::string>& components) const;

    // The cleaned file name in a percent-encoded "x-file-name" value ("+" stays "+"). Absent for a
    // missing or empty value, one longer than `maxFileNameHeaderBytes`, a malformed escape, bytes
    // that are not UTF-8, or blanks only.
    static std::optional<std::string> fileNameFromHeader(const std::optional<std::string>& value);

    // Removes the spool file (a link, never its target); any failure is ignored.
    static void discardSpool(const std::filesystem::path& spoolFile) noexcept;

private:
    Workspaces m_workspaces;
    RandomBytes m_randomBytes;
};

}
