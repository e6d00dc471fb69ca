#include "Platform/PrivateFiles.h"

#include "Platform/FileDescriptor.h"
#include "Platform/Random.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <fcntl.h>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace vellumar::platform {

namespace {

    namespace fs = std::filesystem;

    constexpr mode_t kFolderMode = 0700;
    constexpr mode_t kFileMode = 0600;
    constexpr std::size_t kTemporarySuffixBytes = 4;
    constexpr std::size_t kTemporarySuffixDigits = 2 * kTemporarySuffixBytes;
    // IOV_MAX on Linux.
    constexpr std::size_t kPiecesPerWrite = 1024;

    fs::filesystem_error platformError(const char* what, const fs::path& path, int error)
    {
        return fs::filesystem_error(what, path, std::error_code(error, std::system_category()));
    }

    fs::filesystem_error fileWriteError(const fs::path& file, int error)
    {
        return platformError("The file could not be written", file, error);
    }

    // ".<target>.<8 lowercase hex>": `targetOfTemporary` recognises writes killed before their rename
    // by this form.
    std::string temporaryName(const std::string& target)
    {
        constexpr std::string_view digits = "0123456789abcdef";
        std::string name = "." + target + ".";
        for (std::uint8_t byte : secureRandomBytes(kTemporarySuffixBytes)) {
            name.push_back(digits[byte >> 4]);
            name.push_back(digits[byte & 0x0f]);
        }
        return name;
    }

    // 0, or the errno of the step that failed.
    int syncPath(const fs::path& path)
    {
        int descriptor = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (descriptor < 0)
            return errno;
        int error = ::fsync(descriptor) == 0 ? 0 : errno;
        ::close(descriptor);
        return error;
    }

    bool isDirectory(const fs::path& path)
    {
        struct stat status { };
        return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    }

    // Like `mkdir -p -m 700`: only folders this call creates get the mode; existing ones keep theirs.
    void createDirectoryTree(const fs::path& folder)
    {
        if (::mkdir(folder.c_str(), kFolderMode) == 0)
            return;
        int error = errno;
        if (error == ENOENT) {
            fs::path parent = folder.parent_path();
            if (parent.empty() || parent == folder)
                throw platformError("The folder could not be created", folder, error);
            createDirectoryTree(parent);
            if (::mkdir(folder.c_str(), kFolderMode) == 0)
                return;
            error = errno;
        }
        // Someone else may have made it in the meantime; a file or a dangling link in its place is a failure.
        if (error == EEXIST && isDirectory(folder))
            return;
        throw platformError("The folder could not be created", folder, error);
    }

    // "link/" names the directory the link points to, so lstat would never see the link itself.
    fs::path withoutTrailingSeparators(const fs::path& path)
    {
        std::string text = path.string();
        while (text.size() > 1 && text.back() == '/')
            text.pop_back();
        return text;
    }

    // Returns 0, or the errno of the write that failed. The pieces go out in as few calls as the
    // kernel takes, so a file made of many small pieces costs no copy into one buffer.
    int writeAll(int descriptor, std::span<const std::string_view> pieces)
    {
        std::array<iovec, kPiecesPerWrite> batch;
        std::size_t piece = 0;
        std::size_t offset = 0; // bytes written from the start of `pieces[piece]`
        for (;;) {
            // Past the pieces written whole, and empty ones.
            while (piece < pieces.size() && offset >= pieces[piece].size()) {
                offset -= pieces[piece].size();
                ++piece;
            }
            if (piece == pieces.size())
                return 0;
            std::size_t filled = 0;
            for (std::size_t next = piece; next < pieces.size() && filled < batch.size(); ++next) {
                auto bytes = pieces[next].substr(next == piece ? offset : 0);
                if (!bytes.empty())
                    batch[filled++] = { const_cast<char*>(bytes.data()), bytes.size() };
            }
            ssize_t count = ::writev(descriptor, batch.data(), static_cast<int>(filled));
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                return count < 0 ? errno : EIO;
            offset += static_cast<std::size_t>(count);
        }
    }

    int writeAll(int descriptor, std::string_view bytes) { return writeAll(descriptor, { &bytes, 1 }); }

    // Returns 0, or the errno of the read or write that failed.
    int copyAll(int source, int destination)
    {
        char buffer[64 * 1024];
        for (;;) {
            ssize_t count = ::read(source, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0)
                return errno;
            if (count == 0)
                return 0;
            if (int error = writeAll(destination, std::string_view(buffer, static_cast<std::size_t>(count))))
                return error;
        }
    }

    // Fills the file through `descriptor` and closes it. Returns 0, or the first errno met.
    int fillAndClose(int descriptor, const std::function<int(int)>& fill, Durability durability)
    {
        int error = 0;
        // The creation mode passes through the umask; the contract is exactly 0600.
        if (::fchmod(descriptor, kFileMode) != 0)
            error = errno;
        if (error == 0)
            error = fill(descriptor);
        // Without this a crash soon after the rename can leave the target empty on disk. The data and
        // the size are what a reader needs; the folder's flush after the rename carries the rest.
        if (error == 0 && durability == Durability::onDisk && ::fdatasync(descriptor) != 0)
            error = errno;
        if (::close(descriptor) != 0 && error == 0)
            error = errno;
        return error;
    }

    // 0, or the errno of the move. `keep` links instead of renaming, since link(2) never replaces.
    int moveInto(int folderFD, const std::string& temporary, const std::string& name, ExistingFile existing)
    {
        if (existing == ExistingFile::replace)
            return ::renameat(folderFD, temporary.c_str(), folderFD, name.c_str()) == 0 ? 0 : errno;
        int error = ::linkat(folderFD, temporary.c_str(), folderFD, name.c_str(), 0) == 0 ? 0 : errno;
        ::unlinkat(folderFD, temporary.c_str(), 0);
        return error;
    }

    // 0, or the errno of the step that failed.
    int syncFolder(int folderFD)
    {
        FileDescriptor folder(::openat(folderFD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder)
            return errno;
        return ::fsync(folder.get()) == 0 ? 0 : errno;
    }

    // `writeFileAtomically` within the open folder: 0, or the errno of the step that failed.
    int writeInFolder(int folderFD, const std::string& name, std::span<const std::string_view> pieces,
        ExistingFile existing, Durability durability)
    {
        std::string temporary = temporaryName(name);
        int descriptor = ::openat(
            folderFD, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
        // Nothing was created (O_EXCL), so there is nothing to remove; a file of that name is not ours.
        if (descriptor < 0)
            return errno;
        int error = fillAndClose(
            descriptor, [pieces](int output) { return writeAll(output, pieces); }, durability);
        if (error == 0)
            error = moveInto(folderFD, temporary, name, existing);
        if (error != 0) {
            ::unlinkat(folderFD, temporary.c_str(), 0);
            return error;
        }
        // The rename lives in the folder; until the folder reaches the disk a crash can undo it.
        return durability == Durability::onDisk ? syncFolder(folderFD) : 0;
    }

}

PrivateFolder makePrivateDirectory(const fs::path& folder)
{
    // The usual case, on every use: a folder of ours, already narrowed, that the steps below would
    // leave as it is. A link, another owner or another mode takes the full way.
    struct stat status { };
    if (::lstat(withoutTrailingSeparators(folder).c_str(), &status) == 0 && S_ISDIR(status.st_mode)
        && (status.st_mode & 07777) == kFolderMode && status.st_uid == ::geteuid())
        return PrivateFolder::ready;
    createDirectoryTree(folder);
    // Looked at and narrowed only through the folder itself, opened without following a link, so
    // that a link's target is never touched, whoever placed the link.
    FileDescriptor opened(
        ::open(withoutTrailingSeparators(folder).c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // A link, or something else that took the folder's place meanwhile.
    if (!opened && (errno == ENOTDIR || errno == ELOOP))
        return PrivateFolder::insecure;
    if (!opened || ::fstat(opened.get(), &status) != 0)
        throw platformError("The folder could not be made private", folder, errno);
    // Root may narrow anyone's folder, yet that user could still replace what root keeps there.
    if (status.st_uid != ::geteuid())
        throw platformError("The folder could not be made private", folder, EPERM);
    // fchmod refuses an O_PATH descriptor, and opening the folder for reading would fail on a folder
    // of ours at 000 or 0300, which its owner may still narrow. The descriptor's entry in /proc leads
    // to the open folder itself, not through any path that could have changed since.
    std::string itself = "/proc/self/fd/" + std::to_string(opened.get());
    if (::fchmodat(AT_FDCWD, itself.c_str(), kFolderMode, 0) != 0)
        throw platformError("The folder could not be made private", folder, errno);
    return PrivateFolder::ready;
}

void writeFileAtomically(
    std::string_view bytes, const fs::path& file, ExistingFile existing, Durability durability)
{
    writeFileAtomically(std::span(&bytes, 1), file, existing, durability);
}

void writeFileAtomically(std::span<const std::string_view> pieces, const fs::path& file,
    ExistingFile existing, Durability durability)
{
    fs::path folder = file.parent_path();
    if (folder.empty())
        folder = ".";
    FileDescriptor opened(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!opened)
        throw fileWriteError(file, errno);
    if (int error = writeInFolder(opened.get(), file.filename().string(), pieces, existing, durability))
        throw fileWriteError(file, error);
}

void writeFileAtomicallyIn(int folderFD, const std::string& name, std::string_view bytes,
    ExistingFile existing, Durability durability)
{
    if (int error = writeInFolder(folderFD, name, std::span(&bytes, 1), existing, durability))
        throw fileWriteError(name, error);
}

void copyToNewPrivateFile(const fs::path& source, const fs::path& destination)
{
    int input = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (input < 0)
        throw platformError("The file could not be read", source, errno);
    struct stat status { };
    int statError = ::fstat(input, &status) == 0 ? 0 : errno;
    if (statError != 0 || !S_ISREG(status.st_mode)) {
        int error = statError != 0 ? statError : EINVAL;
        ::close(input);
        throw platformError("The file could not be read", source, error);
    }
    int output = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (output < 0) {
        int error = errno;
        ::close(input);
        throw fileWriteError(destination, error);
    }
    int error = fillAndClose(
        output, [input](int copy) { return copyAll(input, copy); }, Durability::onDisk);
    ::close(input);
    if (error != 0) {
        ::unlink(destination.c_str());
        throw fileWriteError(destination, error);
    }
}

std::optional<std::string_view> targetOfTemporary(std::string_view name)
{
    constexpr std::size_t suffixSize = 1 + kTemporarySuffixDigits;
    if (name.size() < 1 + 1 + suffixSize || name.front() != '.' || name[name.size() - suffixSize] != '.')
        return std::nullopt;
    auto digits = name.substr(name.size() - kTemporarySuffixDigits);
    if (!std::all_of(digits.begin(), digits.end(),
            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
        return std::nullopt;
    return name.substr(1, name.size() - 1 - suffixSize);
}

void removeTemporaryLeftovers(const fs::path& folder, const std::function<bool(std::string_view)>& isTarget)
{
    std::error_code error;
    std::vector<fs::path> leftovers;
    // A folder that cannot be listed (missing, not yet created) holds nothing to remove. Collected
    // first: removing entries while the folder is being read may skip others.
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        auto name = entry->path().filename().string();
        auto target = targetOfTemporary(name);
        if (target && isTarget(*target))
            leftovers.push_back(entry->path());
    }
    for (auto& leftover : leftovers)
        ::unlink(leftover.c_str());
}

bool makeMovedItemPrivate(const fs::path& item, int folderFD)
{
    struct stat status { };
    if (::fstatat(folderFD, item.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(status.st_mode))
        return false;
    // AT_SYMLINK_NOFOLLOW refuses a link swapped in since the stat instead of following it.
    const mode_t mode = S_ISDIR(status.st_mode) ? kFolderMode : kFileMode | (status.st_mode & S_IXUSR);
    return ::fchmodat(folderFD, item.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0;
}

void syncToDisk(const fs::path& path)
{
    if (int error = syncPath(path); error != 0)
        throw platformError("The item could not be flushed to disk", path, error);
}

std::vector<fs::path> entriesOlderThan(const fs::path& folder, fs::file_time_type::duration age)
{
    auto oldest = fs::file_time_type::clock::now() - age;
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        std::error_code ignored;
        if (entry->last_write_time(ignored) < oldest && !ignored)
            found.push_back(entry->path());
    }
    return found;
}

}
