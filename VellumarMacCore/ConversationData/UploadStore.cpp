#include "VellumarMacCore/ConversationData/UploadStore.h"

#include "VellumarMacCore/ConversationData/MediaPreviews.h"
#include "VellumarMacCore/ConversationData/SpoolRemoval.h"
#include "VellumarMacCore/ConversationData/UploadRules.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/FolderTree.h"
#include "VellumarMacCore/Foundations/HTTPDetail.h"
#include "VellumarMacCore/Foundations/HTTPPath.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Foundations/Renames.h"
#include "VellumarMacCore/Foundations/Whitespace.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    constexpr std::size_t kNameTagBytes = 4;

    RelayHTTPError missingFileName()
    {
        return RelayHTTPError::badRequest("Send the file name in X-File-Name (percent-encoded).");
    }

    RelayHTTPError unreceivedFile() { return { 500, "internal", "The file could not be received." }; }

    RelayHTTPError tooLargeFile()
    {
        return { 413, "too_large",
            "Files can be up to " + std::to_string(UploadRules::maxUploadBytes / (1024 * 1024)) + " MB." };
    }

    RelayHTTPError overQuota()
    {
        return {
            507, "insufficient_storage",
            "This conversation has too many files on the Mac. Clear the conversation's files, then try again."
        };
    }

    RelayHTTPError unstoredFile()
    {
        return { 507, "insufficient_storage", "The Mac could not store the file." };
    }

    RelayHTTPError badPath() { return { 400, "bad_path", "The file path is not valid." }; }

    RelayHTTPError fileNotFound() { return { 404, "not_found", "The file was not found." }; }

    std::optional<struct stat> linkStatus(const fs::path& location)
    {
        struct stat status { };
        if (::lstat(location.c_str(), &status) != 0)
            return std::nullopt;
        return status;
    }

    // The media type of a content-type value: its first non-empty ";"-separated piece, trimmed
    // and lower-cased; parameters such as a charset are dropped. Empty when there is none.
    std::string declaredType(const std::optional<std::string>& contentType)
    {
        std::string_view text = contentType ? std::string_view(*contentType) : std::string_view {};
        text.remove_prefix(std::min(text.find_first_not_of(';'), text.size()));
        std::string_view first = text.substr(0, text.find(';'));
        return detail::asciiLowercased(detail::trimmedSpacesAndTabs(first));
    }

    // The name without its extension: what follows the last ".", unless that dot starts the name
    // or ends it.
    std::string withoutExtension(const std::string& name)
    {
        auto dot = name.rfind('.');
        if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
            return name;
        return name.substr(0, dot);
    }

    // Moves the spool file into the folder "uploads" of the work folder as `storedName`, never over an
    // existing item, and answers that folder, open. Throws 507 "insufficient_storage" on any failure; a
    // file moved in by this call is removed again then, one that stood there before is left alone.
    // Everything happens in the open folder, since a running command may swap "uploads" for a link at
    // any moment.
    FolderTree moveIntoUploads(
        const fs::path& spoolFile, const fs::path& folder, const std::string& storedName)
    {
        FolderTree uploads = FolderTree(folder).privateChild(std::string(Workspaces::uploadsName));
        if (!uploads.isOpen())
            throw unstoredFile();
        // The upload is acknowledged once stored: its data and its name must be on disk by then.
        try {
            syncToDisk(spoolFile);
        } catch (const std::exception&) {
            throw unstoredFile();
        }
        if (Renames::withoutReplacing(AT_FDCWD, spoolFile.string(), uploads.descriptor(), storedName) != 0)
            throw unstoredFile();
        FileDescriptor stored(::openat(
            uploads.descriptor(), storedName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!stored || ::fchmod(stored.get(), 0600) != 0 || ::fsync(uploads.descriptor()) != 0) {
            ::unlinkat(uploads.descriptor(), storedName.c_str(), 0);
            throw unstoredFile();
        }
        return uploads;
    }

}

UploadStore::UploadStore(Workspaces workspaces, RandomBytes randomBytes)
    : m_workspaces(std::move(workspaces))
    , m_randomBytes(randomBytes ? std::move(randomBytes) : RandomBytes(Random::bytes))
{
}

JSON UploadStore::receive(const fs::path& spoolFile, std::string_view conversationID,
    const std::optional<std::string>& fileNameHeader, const std::optional<std::string>& contentType) const
{
    SpoolRemoval discard(spoolFile);

    auto name = fileNameFromHeader(fileNameHeader);
    if (!name)
        throw missingFileName();
    auto status = linkStatus(spoolFile);
    if (!status || !S_ISREG(status->st_mode))
        throw unreceivedFile();
    std::int64_t size = status->st_size;
    if (size <= 0)
        throw RelayHTTPError::badRequest("The file is empty.");
    if (size > UploadRules::maxUploadBytes)
        throw tooLargeFile();

    UploadRules::Kind kind = UploadRules::validate(spoolFile, *name, declaredType(contentType));
    fs::path folder = m_workspaces.folder(conversationID);
    if (Workspaces::usage(folder) > m_workspaces.quota() - size)
        throw overQuota();

    std::string base = withoutExtension(*name);
    if (base.empty())
        base = "file";
    std::string stem = hexString(m_randomBytes(kNameTagBytes)) + "-" + base;
    std::string storedName = stem + "." + kind.key;
    FolderTree uploads = moveIntoUploads(spoolFile, folder, storedName);

    // An upload stands without its previews; they only help Claude Code look at it.
    if (kind.group == "video")
        MediaPreviews::videoFrames(uploads, storedName, stem + std::string(framesSuffix));
    else if (kind.mime == "image/heic" || kind.mime == "image/heif")
        MediaPreviews::jpegCopy(uploads, storedName, stem + std::string(previewSuffix));

    return JSON::object({
        { "fileId", std::string(Workspaces::uploadsName) + "/" + storedName },
        { "name", base + "." + kind.key },
        { "mime", kind.mime },
        { "size", size },
    });
}

JSON UploadStore::list(std::string_view conversationID) const
{
    JSON::Array files;
    if (auto folder = m_workspaces.existingFolder(conversationID))
        files = Workspaces::listFiles(*folder);
    return JSON::object({ { "conversationId", std::string(conversationID) }, { "files", std::move(files) } });
}

UploadStore::StoredFile UploadStore::file(
    std::string_view conversationID, const std::vector<std::string>& components) const
{
    bool wellFormed
        = !components.empty() && std::none_of(components.begin(), components.end(), [](const auto& piece) {
              return piece.empty() || piece.find('/') != std::string::npos
                  || piece.find('\0') != std::string::npos;
          });
    if (!wellFormed)
        throw badPath();
    auto folder = m_workspaces.existingFolder(conversationID);
    if (!folder)
        throw fileNotFound();

    std::string relativePath;
    for (const auto& piece : components)
        relativePath += (relativePath.empty() ? "" : "/") + piece;
    fs::path location = Workspaces::resolveReadable(relativePath, *folder);
    auto status = linkStatus(location);
    if (!status || !S_ISREG(status->st_mode))
        throw fileNotFound();
    return { location, static_cast<std::int64_t>(status->st_size), location.filename().string() };
}

std::optional<std::string> UploadStore::fileNameFromHeader(const std::optional<std::string>& value)
{
    if (!value || value->empty() || value->size() > maxFileNameHeaderBytes)
        return std::nullopt;
    auto decoded = percentDecoded(*value);
    if (!decoded || trimmingWhitespaceAndNewlines(*decoded).empty())
        return std::nullopt;
    return UploadRules::cleanFileName(*decoded);
}

void UploadStore::discardSpool(const fs::path& spoolFile) noexcept
{
    std::error_code ignored;
    fs::remove(spoolFile, ignored);
}

}
