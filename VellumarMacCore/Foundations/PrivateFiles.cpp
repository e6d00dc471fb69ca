#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/TLSIdentityError.h"

#include "Platform/PrivateFiles.h"

#include <cerrno>
#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    constexpr mode_t kFileMode = 0600;

    fs::filesystem_error platformError(const char* what, const fs::path& path, int error)
    {
        return fs::filesystem_error(what, path, std::error_code(error, std::system_category()));
    }

}

void ensurePrivateDirectory(const fs::path& folder)
{
    if (platform::makePrivateDirectory(folder) == platform::PrivateFolder::insecure)
        throw TLSIdentityError(TLSIdentityError::Kind::insecureFolder);
}

void writePrivateFile(std::string_view bytes, const fs::path& file, Durability durability)
{
    writePrivateFile(std::span(&bytes, 1), file, durability);
}

void writePrivateFile(std::span<const std::string_view> pieces, const fs::path& file, Durability durability)
{
    fs::path folder = file.parent_path();
    ensurePrivateDirectory(folder.empty() ? fs::path(".") : folder);
    platform::writeFileAtomically(pieces, file, platform::ExistingFile::replace, durability);
}

void makeFilePrivate(const fs::path& file)
{
    if (::chmod(file.c_str(), kFileMode) != 0)
        throw platformError("The file could not be made private", file, errno);
}

std::string readPrivateFileOrThrow(const fs::path& file, std::size_t limitBytes)
{
    FileDescriptor descriptor(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (descriptor.get() < 0) {
        if (errno == ENOENT)
            return {};
        throw platformError("The file could not be opened", file, errno);
    }
    struct stat status { };
    if (::fstat(descriptor.get(), &status) != 0)
        throw platformError("The file could not be read", file, errno);
    if (!S_ISREG(status.st_mode))
        throw platformError(
            "The file is not a regular file", file, S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    std::string bytes;
    std::string chunk(64 * 1024, '\0');
    ssize_t count = 0;
    while (bytes.size() < limitBytes && (count = ::read(descriptor.get(), chunk.data(), chunk.size())) > 0)
        bytes.append(chunk.data(), static_cast<std::size_t>(count));
    if (count < 0)
        throw platformError("The file could not be read", file, errno);
    return bytes;
}

std::string readPrivateFile(const fs::path& file, std::size_t limitBytes)
{
    try {
        return readPrivateFileOrThrow(file, limitBytes);
    } catch (const fs::filesystem_error&) {
        return {};
    }
}

std::vector<std::string_view> completeLines(std::string_view bytes)
{
    std::vector<std::string_view> lines;
    for (auto end = bytes.find('\n'); end != std::string_view::npos; end = bytes.find('\n')) {
        lines.push_back(bytes.substr(0, end));
        bytes.remove_prefix(end + 1);
    }
    return lines;
}

}
