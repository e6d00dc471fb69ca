#include "VellumarMacCore/Reply/ReplyAttachments.h"

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/ConversationData/UploadRules.h"
#include "VellumarMacCore/ConversationData/Workspaces.h"
#include "VellumarMacCore/Foundations/CleanText.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/FolderTree.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "VellumarMacCore/Permissions/SecretItems.h"
#include "VellumarMacCore/Permissions/UnixSocketLines.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    constexpr std::size_t kMaxPathCharacters = 1024;
    // No path of 1024 characters comes near this many bytes; longer texts are not even measured.
    constexpr std::size_t kMaxPathBytes = 65'536;
    constexpr std::size_t kCopyBufferBytes = 1'048'576;
    constexpr std::size_t kNameTagBytes = 4;
    constexpr std::size_t kFolderNameLength = 2 * kNameTagBytes;
    // Earlier copies of one file name that survive a reply, besides the ones it attached.
    constexpr std::size_t kKeptEarlierCopies = 3;
    constexpr std::string_view kPartPrefix = ".part-";

    constexpr std::string_view kInvalidPath = "the path is not valid";
    constexpr std::string_view kProtectedPlace = "it is in a protected place (keys or credentials)";
    constexpr std::string_view kUnreadablePlace
        = "this bot cannot read that place (allow it under \"Mac folders\" in the bot settings)";
    constexpr std::string_view kNotFound = "the file was not found";
    constexpr std::string_view kNotAFile = "it is not a file";
    constexpr std::string_view kWorkFolderFull = "the work folder is full (delete files you no longer need)";
    constexpr std::string_view kUnreadable = "it could not be read";
    constexpr std::string_view kChanged = "it changed while being attached";
    constexpr std::string_view kGrewTooLarge = "it is too large";
    constexpr std::string_view kNotCopied = "it could not be copied to the work folder";

    std::string tooLargeReason()
    {
        return std::string(kGrewTooLarge) + " (up to " + std::to_string(attachmentSizeCap / (1024 * 1024))
            + " MB)";
    }

    std::string_view trimmed(std::string_view text, std::string_view characters)
    {
        auto first = text.find_first_not_of(characters);
        if (first == std::string_view::npos)
            return {};
        auto last = text.find_last_not_of(characters);
        return text.substr(first, last - first + 1);
    }

    std::string displayName(std::string_view path)
    {
        return UploadRules::cleanFileName(trimmed(trimmed(path, " \t"), "/"));
    }

    std::string randomName() { return RelayIDs::randomHex(kNameTagBytes); }

    bool isFolderName(std::string_view name)
    {
        return name.size() == kFolderNameLength && std::all_of(name.begin(), name.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c));
        });
    }

    // A work folder the kernel cannot resolve (`workReal` absent) holds nothing.
    bool isInWorkFolder(const fs::path& real, const std::optional<fs::path>& workReal)
    {
        return workReal && isPathInside(real, *workReal);
    }

    bool isSecretPlaceHit(const fs::path& standardized, const fs::path& real,
        const std::optional<fs::path>& workReal, const ResolvedPermissions& permissions,
        const PermissionResolver& resolver)
    {
        for (const auto& id : SecretItems::ids()) {
            if (permissions.secretMode(id))
                continue;
            // The work folder lies in the data folder, yet a bot may send what it made there.
            if (id == "relay" && isInWorkFolder(real, workReal))
                continue;
            for (const auto& place : resolver.secretPaths(id)) {
                if (isPathInside(standardized, place) || isPathInside(real, place))
                    return true;
            }
        }
        return false;
    }

    bool isReadablePlace(
        const fs::path& real, const std::optional<fs::path>& workReal, const ResolvedPermissions& permissions)
    {
        if (isInWorkFolder(real, workReal))
            return true;
        for (const auto& folder : permissions.folders) {
            if (isPathInside(real, folder.path))
                return true;
        }
        for (const auto& secret : permissions.secrets) {
            for (const auto& dir : secret.dirs) {
                if (isPathInside(real, dir))
                    return true;
            }
            for (const auto& file : secret.files) {
                if (standardizedPath(real) == standardizedPath(file))
                    return true;
            }
        }
        return false;
    }

    // Streams the source into the open temporary file; the number of bytes read, or nullopt when a
    // read or write failed. Stops as soon as more than `limit` bytes were read.
    std::optional<std::int64_t> copyBytes(int source, int target, std::int64_t limit)
    {
        std::vector<char> buffer(kCopyBufferBytes);
        std::int64_t total = 0;
        while (true) {
            ssize_t count = ::read(source, buffer.data(), buffer.size());
            if (count < 0) {
                if (errno == EINTR)
                    continue;
                return std::nullopt;
            }
            if (count == 0)
                return total;
            total += count;
            if (total > limit)
                return total;
            if (!writeAll(target, std::string_view(buffer.data(), static_cast<std::size_t>(count))))
                return std::nullopt;
        }
    }

    std::int64_t modifiedTime(const std::optional<struct stat>& status)
    {
        if (!status)
            return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(status->st_mtim.tv_sec) * 1'000'000'000 + status->st_mtim.tv_nsec;
    }

}

fs::path checkAttachAccess(std::string_view path, const fs::path& workFolder,
    const ResolvedPermissions& permissions, const PermissionResolver& resolver)
{
    std::string_view text = trimmed(path, " \t");
    // The byte count bounds the text before it is measured in characters.
    if (text.empty() || text.size() > kMaxPathBytes
        || (text.size() > kMaxPathCharacters && characterCount(text) > kMaxPathCharacters)
        || containsControlCharacters(text))
        throw AttachRefused(std::string(kInvalidPath));

    fs::path location;
    if (text == "~" || text.starts_with("~/"))
        location = resolver.home / fs::path(text.substr(std::min<std::size_t>(2, text.size())));
    else if (text.starts_with('/'))
        location = fs::path(text);
    else
        location = resolver.home / fs::path(text);

    fs::path standardized = standardizedPath(location);
    auto resolved = resolvingSymlinks(standardized);
    // What the kernel cannot resolve cannot be read either.
    if (!resolved)
        throw AttachRefused(std::string(kUnreadablePlace));
    fs::path real = std::move(*resolved);
    auto workReal = resolvingSymlinks(workFolder);

    if (isSecretPlaceHit(standardized, real, workReal, permissions, resolver))
        throw AttachRefused(std::string(kProtectedPlace));
    if (!isReadablePlace(real, workReal, permissions))
        throw AttachRefused(std::string(kUnreadablePlace));
    return real;
}

JSON copyAttachment(const fs::path& source, const fs::path& workFolder, std::int64_t remaining)
{
    struct stat checked { };
    if (::lstat(source.c_str(), &checked) != 0)
        throw AttachRefused(std::string(kNotFound));
    if (!S_ISREG(checked.st_mode))
        throw AttachRefused(std::string(kNotAFile));

    std::int64_t size = checked.st_size;
    std::int64_t limit = std::min(remaining, attachmentSizeCap);
    if (size > attachmentSizeCap)
        throw AttachRefused(tooLargeReason());
    if (size > remaining)
        throw AttachRefused(std::string(kWorkFolderFull));

    // Non-blocking, so that a FIFO swapped in after the check cannot hold the reply. On kernels without
    // openat2 the device and inode comparison below finds a folder swapped on the way.
    FileDescriptor input(openWithoutLinks(source, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (input.get() < 0)
        throw AttachRefused(std::string(errno == ELOOP ? kChanged : kUnreadable));
    // A parent folder swapped between the check and the open leads to another file here.
    struct stat opened { };
    if (::fstat(input.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != checked.st_dev
        || opened.st_ino != checked.st_ino)
        throw AttachRefused(std::string(kChanged));

    // Made and filled through open folders: a folder of the work folder swapped for a link meanwhile
    // leads neither the copy nor its removal anywhere else.
    FolderTree attached = FolderTree(workFolder).privateChild(std::string(Workspaces::attachedName));
    std::string folderName = randomName();
    FolderTree folder = attached.privateChild(folderName);
    if (!folder.isOpen())
        throw AttachRefused(std::string(kNotCopied));

    std::string name = UploadRules::cleanFileName(source.filename().string());
    std::string part = std::string(kPartPrefix) + randomName();
    FileDescriptor output(::openat(
        folder.descriptor(), part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    std::optional<std::int64_t> total = output ? copyBytes(input.get(), output.get(), limit) : std::nullopt;
    bool copied = total && *total <= limit && output.close()
        && ::renameat(folder.descriptor(), part.c_str(), folder.descriptor(), name.c_str()) == 0;
    if (!copied) {
        output.close();
        FolderTree::remove(attached.descriptor(), folderName);
        throw AttachRefused(std::string(total && *total > limit ? kGrewTooLarge : kNotCopied));
    }

    std::string fileID = std::string(Workspaces::attachedName) + "/" + folderName + "/" + name;
    JSON::Object entry = *Workspaces::fileJSON(fileID, *total, 0, Workspaces::FileDetail::bare).objectValue();
    entry.emplace("origin", JSON(Workspaces::origin(fileID)));
    return JSON(std::move(entry));
}

void pruneAttached(const fs::path& workFolder, const std::vector<std::string>& keep)
{
    const std::string prefix = std::string(Workspaces::attachedName) + "/";
    std::set<std::string, std::less<>> keptFolders;
    for (const auto& id : keep) {
        if (!id.starts_with(prefix))
            continue;
        std::string_view rest = std::string_view(id).substr(prefix.size());
        keptFolders.emplace(rest.substr(0, rest.find('/')));
    }

    struct Copy {
        std::int64_t modified;
        std::string folderName;
    };
    std::map<std::string, std::vector<Copy>> copiesByName;
    // Walked and pruned through open folders: a run may have swapped a folder for a link.
    FolderTree attached(workFolder / Workspaces::attachedName);
    attached.walk([&](const FolderTree::Entry& entry) {
        auto slash = entry.relativePath.find('/');
        if (slash != std::string::npos) {
            copiesByName[entry.name].push_back(
                { modifiedTime(entry.status), entry.relativePath.substr(0, slash) });
            return FolderTree::Step::skip;
        }
        return isFolderName(entry.name) && !keptFolders.contains(entry.name) ? FolderTree::Step::descend
                                                                             : FolderTree::Step::skip;
    });

    for (auto& [name, copies] : copiesByName) {
        if (copies.size() <= kKeptEarlierCopies)
            continue;
        std::stable_sort(copies.begin(), copies.end(),
            [](const Copy& lhs, const Copy& rhs) { return lhs.modified > rhs.modified; });
        for (std::size_t index = kKeptEarlierCopies; index < copies.size(); ++index) {
            std::string relative = prefix + copies[index].folderName + "/" + name;
            if (std::find(keep.begin(), keep.end(), relative) != keep.end())
                continue;
            if (FolderTree folder = attached.child(copies[index].folderName); folder.isOpen())
                FolderTree::remove(folder.descriptor(), name);
            // Only once empty.
            ::unlinkat(attached.descriptor(), copies[index].folderName.c_str(), AT_REMOVEDIR);
        }
    }
}

AttachResult attach(const std::vector<std::string>& paths, const fs::path& workFolder,
    const ResolvedPermissions& permissions, const RelayData& data)
{
    AttachResult result;
    for (const auto& path : paths) {
        std::string name = displayName(path);
        try {
            fs::path real = checkAttachAccess(path, workFolder, permissions, data.resolver);
            std::int64_t remaining = data.workspaces.quota() - Workspaces::usage(workFolder);
            result.attached.push_back(copyAttachment(real, workFolder, remaining));
        } catch (const AttachRefused& refusal) {
            result.refused.push_back(name + ": " + refusal.reason);
        } catch (...) {
            result.refused.push_back(name + ": " + std::string(kNotCopied));
        }
    }
    if (result.attached.empty())
        return result;
    std::vector<std::string> keep;
    for (const auto& entry : result.attached) {
        if (const JSON* id = entry.subscript("fileId"); id && id->stringValue())
            keep.push_back(*id->stringValue());
    }
    pruneAttached(workFolder, keep);
    return result;
}

}
