#include "VellumarMacCore/ConversationData/Workspaces.h"

#include "VellumarMacCore/ConversationData/PathText.h"
#include "VellumarMacCore/ConversationData/UploadRules.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/FolderTree.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vellumar {

namespace {

    constexpr std::int64_t kMaxRelativePathCharacters = 512;

    RelayHTTPError unpreparedFolder()
    {
        return { 507, "insufficient_storage", "The work folder on the Mac could not be prepared." };
    }

    RelayHTTPError misplacedFolder()
    {
        return { 500, "internal", "The work folder on the Mac could not be prepared." };
    }

    RelayHTTPError badPath() { return { 400, "bad_path", "The file path is not valid." }; }

    RelayHTTPError forbiddenFile() { return { 403, "forbidden", "This file cannot be used." }; }

    RelayHTTPError fileNotFound() { return { 404, "not_found", "The file was not found." }; }

    // The folder name of a conversation, or absent when the key would name the root itself, its
    // parent or a deeper place; such a key must never reach a removal or a mode change.
    std::optional<std::string> folderName(std::string_view key)
    {
        std::string name = RelayIDs::fileSafeKey(key);
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos
            || name.find('\0') != std::string::npos)
            return std::nullopt;
        return name;
    }

    // The system calls see a path only up to its first NUL, so such a path names some other place.
    bool holdsNUL(const std::filesystem::path& location)
    {
        return location.native().find('\0') != std::string::npos;
    }

    std::optional<struct stat> linkStatus(const std::filesystem::path& location)
    {
        struct stat status { };
        if (::lstat(location.c_str(), &status) != 0)
            return std::nullopt;
        return status;
    }

    bool isSymbolicLink(const std::filesystem::path& location)
    {
        auto status = linkStatus(location);
        return status && S_ISLNK(status->st_mode);
    }

    // The pieces of a relative path from the phone, or 400 when it could leave the folder, name a
    // hidden entry, or is malformed.
    std::vector<std::string_view> checkedPieces(std::string_view relativePath)
    {
        // Control characters first: the length is counted only on valid UTF-8.
        if (relativePath.empty() || relativePath.front() == '/'
            || relativePath.find('\\') != std::string_view::npos || containsControlCharacters(relativePath))
            throw badPath();
        if (characterPrefixLength(relativePath, kMaxRelativePathCharacters) < relativePath.size())
            throw badPath();
        std::vector<std::string_view> pieces;
        for (std::size_t start = 0;;) {
            std::size_t slash = relativePath.find('/', start);
            std::string_view piece
                = relativePath.substr(start, slash == std::string_view::npos ? slash : slash - start);
            if (piece.empty() || piece.front() == '.')
                throw badPath();
            pieces.push_back(piece);
            if (slash == std::string_view::npos)
                return pieces;
            start = slash + 1;
        }
    }

    // Why an entry inside `directory` could not be opened: a link is refused, anything else is not
    // there as far as the phone is concerned.
    RelayHTTPError openFailure(int directory, const std::string& name)
    {
        struct stat status { };
        if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
            return forbiddenFile();
        return fileNotFound();
    }

    bool isClaudeFileName(std::string_view name)
    {
        return std::ranges::find(Workspaces::claudeFileNames, name) != Workspaces::claudeFileNames.end();
    }

    // Each removal is made in the open folder where the walk found the entry, so a folder above it
    // that is swapped for a link meanwhile cannot send the removal anywhere else.
    std::int64_t removeClaudeFilesIn(const FolderTree& tree)
    {
        std::int64_t removed = 0;
        tree.walk([&](const FolderTree::Entry& entry) {
            if (isClaudeFileName(entry.name)) {
                removed += FolderTree::remove(entry.folderFD, entry.name) ? 1 : 0;
                return FolderTree::Step::skip;
            }
            // Only the link itself: a folder swapped in since the link was seen is left as it is.
            if (entry.status && S_ISLNK(entry.status->st_mode)) {
                removed += ::unlinkat(entry.folderFD, entry.name.c_str(), 0) == 0 ? 1 : 0;
                return FolderTree::Step::skip;
            }
            return FolderTree::Step::descend;
        });
        return removed;
    }

    // Newest first, equal times by path, at most `limit`.
    std::vector<std::pair<std::string, Workspaces::Entry>> newestFirst(
        std::vector<std::pair<std::string, Workspaces::Entry>> files, std::size_t limit)
    {
        std::sort(files.begin(), files.end(), [](const auto& lhs, const auto& rhs) {
            if (lhs.second.modified != rhs.second.modified)
                return lhs.second.modified > rhs.second.modified;
            return lhs.first < rhs.first;
        });
        if (files.size() > limit)
            files.resize(limit);
        return files;
    }

    // The store's unique prefix of eight hexadecimal digits and "-".
    bool hasUploadPrefix(std::string_view name)
    {
        return name.size() > 8 && name.find('-') == 8
            && std::all_of(name.begin(), name.begin() + 8,
                [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    }

}

Workspaces::Workspaces(std::filesystem::path root, std::int64_t quota)
    : m_root(std::move(root))
    , m_quota(quota)
{
}

std::filesystem::path Workspaces::folderURL(std::string_view key) const
{
    // Appended as text: an absolute-looking name must not replace the root.
    std::filesystem::path location = m_root;
    location += "/";
    location += RelayIDs::fileSafeKey(key);
    return location;
}

std::filesystem::path Workspaces::folder(std::string_view key) const
{
    auto name = folderName(key);
    if (!name)
        throw misplacedFolder();
    std::filesystem::path location = folderURL(key);
    try {
        ensurePrivateDirectory(m_root);
    } catch (const std::exception&) {
        throw unpreparedFolder();
    }
    // A link or file where the folder belongs is replaced, never followed.
    if (auto status = linkStatus(location); status && !S_ISDIR(status->st_mode)) {
        std::error_code error;
        std::filesystem::remove(location, error);
        if (error)
            throw unpreparedFolder();
    }
    try {
        ensurePrivateDirectory(location);
    } catch (const std::exception&) {
        throw unpreparedFolder();
    }
    // A folder directly in the root as the kernel finds the root now; a link swapped in meanwhile is
    // not a folder here, since the one plain name is looked up without following it.
    FolderTree opened = FolderTree(m_root).child(*name);
    if (!opened.isOpen())
        throw misplacedFolder();
    removeClaudeFilesIn(opened);
    return location;
}

std::optional<std::filesystem::path> Workspaces::existingFolder(std::string_view key) const
{
    if (!folderName(key))
        return std::nullopt;
    std::filesystem::path location = folderURL(key);
    auto status = linkStatus(location);
    if (!status || !S_ISDIR(status->st_mode))
        return std::nullopt;
    return location;
}

bool Workspaces::clear(std::string_view key) const
{
    auto location = existingFolder(key);
    if (!location)
        return false;
    return FolderTree(*location).removeContents();
}

std::filesystem::path Workspaces::resolveReadable(
    std::string_view relativePath, const std::filesystem::path& folder)
{
    std::vector<std::string_view> pieces = checkedPieces(relativePath);
    if (holdsNUL(folder))
        throw fileNotFound();
    std::filesystem::path location = folder;
    for (std::string_view piece : pieces) {
        location /= piece;
        if (isSymbolicLink(location))
            throw forbiddenFile();
    }
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(location, error);
    if (error)
        throw fileNotFound();
    std::filesystem::path resolvedFolder = std::filesystem::weakly_canonical(folder, error);
    if (error || !resolved.native().starts_with(resolvedFolder.native() + "/"))
        throw fileNotFound();
    auto status = linkStatus(resolved);
    if (!status || !S_ISREG(status->st_mode))
        throw fileNotFound();
    return resolved;
}

ReadableFile Workspaces::openReadable(std::string_view relativePath, const std::filesystem::path& folder)
{
    std::vector<std::string_view> pieces = checkedPieces(relativePath);
    if (holdsNUL(folder))
        throw fileNotFound();
    FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0)
        throw fileNotFound();
    for (std::size_t index = 0; index + 1 < pieces.size(); ++index) {
        std::string name(pieces[index]);
        int next = ::openat(directory.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            throw openFailure(directory.get(), name);
        directory.reset(next);
    }
    std::string name(pieces.back());
    // O_NONBLOCK: a FIFO under the name must not stall the caller before it is refused.
    int descriptor = ::openat(directory.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        throw openFailure(directory.get(), name);
    auto file = ReadableFile::adopt(descriptor);
    if (!file)
        throw fileNotFound();
    return std::move(*file);
}

std::int64_t Workspaces::removeClaudeFiles(const std::filesystem::path& folder)
{
    return removeClaudeFilesIn(FolderTree(folder));
}

std::int64_t Workspaces::usage(const std::filesystem::path& folder)
{
    std::int64_t total = 0;
    FolderTree(folder).walk([&](const FolderTree::Entry& entry) {
        if (entry.status && S_ISREG(entry.status->st_mode))
            total += static_cast<std::int64_t>(entry.status->st_size);
        return FolderTree::Step::descend;
    });
    return total;
}

Workspaces::Snapshot Workspaces::snapshot(const std::filesystem::path& folder)
{
    Snapshot files;
    std::int64_t examined = 0;
    FolderTree(folder).walk([&](const FolderTree::Entry& entry) {
        if (++examined > maxScannedNames || entry.name.starts_with('.') || !entry.status)
            return FolderTree::Step::skip;
        if (S_ISREG(entry.status->st_mode)) {
            std::int64_t modified = static_cast<std::int64_t>(entry.status->st_mtim.tv_sec) * 1'000'000'000
                + entry.status->st_mtim.tv_nsec;
            files[entry.relativePath] = Entry { modified, static_cast<std::int64_t>(entry.status->st_size) };
        }
        return FolderTree::Step::descend;
    });
    return files;
}

std::vector<JSON> Workspaces::listFiles(const std::filesystem::path& folder)
{
    Snapshot files = snapshot(folder);
    std::vector<JSON> listed;
    for (const auto& [path, entry] : newestFirst({ files.begin(), files.end() }, maxListedFiles))
        listed.push_back(fileJSON(path, entry.size, entry.modified, FileDetail::full));
    return listed;
}

JSON Workspaces::fileJSON(
    std::string_view relativePath, std::int64_t size, std::int64_t modified, FileDetail detail)
{
    std::string_view name = detail::lastPathPiece(relativePath);
    std::string fileOrigin = origin(relativePath);
    if (fileOrigin == "upload" && hasUploadPrefix(name))
        name.remove_prefix(9);

    JSON::Object members {
        { "fileId", JSON(relativePath) },
        { "name", JSON(name) },
        { "mime", JSON(UploadRules::mimeType(relativePath)) },
        { "size", JSON(static_cast<long long>(size)) },
    };
    if (detail == FileDetail::full) {
        members.emplace("modifiedAt", JSON(static_cast<long long>(modified / 1'000'000)));
        members.emplace("origin", JSON(std::move(fileOrigin)));
    }
    return JSON(std::move(members));
}

std::string Workspaces::origin(std::string_view relativePath)
{
    std::string prefix = std::string(uploadsName) + "/";
    if (!relativePath.starts_with(prefix))
        return "bot";
    std::string_view rest = relativePath.substr(prefix.size());
    if (rest.find('/') != std::string_view::npos || rest.ends_with("-preview.jpg"))
        return "derived";
    return "upload";
}

std::vector<JSON> Workspaces::outputFiles(const Snapshot& before, const Snapshot& after)
{
    std::string uploadsPrefix = std::string(uploadsName) + "/";
    std::vector<std::pair<std::string, Entry>> produced;
    for (const auto& [path, entry] : after) {
        if (path.starts_with(uploadsPrefix))
            continue;
        if (auto earlier = before.find(path); earlier != before.end() && earlier->second == entry)
            continue;
        produced.emplace_back(path, entry);
    }
    std::vector<JSON> files;
    for (const auto& [path, entry] : newestFirst(std::move(produced), maxOutputFiles))
        files.push_back(fileJSON(path, entry.size, 0, FileDetail::bare));
    return files;
}

}
