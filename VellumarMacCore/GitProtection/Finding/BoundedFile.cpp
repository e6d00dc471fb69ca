#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"

#include <algorithm>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace vellumar::BoundedFile {

namespace {

    // The descriptor of a regular file, or what `outcome` says it is instead.
    struct Opened {
        FileDescriptor descriptor;
        Read::Outcome outcome = Read::Outcome::unread;
        struct stat status { };
    };

    Opened opened(int folderFD, const std::filesystem::path& name, Links links)
    {
        // O_NONBLOCK: a FIFO opens at once rather than waiting for a writer, and is then refused by its type.
        const int flags
            = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (links == Links::refused ? O_NOFOLLOW : 0);
        Opened file { FileDescriptor(::openat(folderFD, name.c_str(), flags)) };
        if (file.descriptor.get() < 0 || ::fstat(file.descriptor.get(), &file.status) != 0)
            return file;
        file.outcome = S_ISREG(file.status.st_mode) ? Read::Outcome::whole : Read::Outcome::notRegular;
        return file;
    }

    // Up to `most` bytes, read into a buffer sized to what the file held when opened rather than to `most`:
    // zeroing a megabyte for each of a thousand small files cost more than reading them. Absent where a
    // read fails.
    std::optional<std::string> readUpTo(const Opened& file, std::size_t most)
    {
        // At least a page: a file of /proc/sys says it holds nothing, and hands out all it holds at the
        // first read alone.
        constexpr std::size_t kPage = 4096;
        const auto atOpen = static_cast<std::size_t>(std::max<off_t>(file.status.st_size, 0));
        std::string bytes(std::min(most, std::max(atOpen + 1, kPage)), '\0');
        std::size_t filled = 0;
        while (true) {
            const ssize_t count = ::read(file.descriptor.get(), bytes.data() + filled, bytes.size() - filled);
            if (count < 0)
                return std::nullopt;
            filled += static_cast<std::size_t>(count);
            // A regular file's read comes short only at its end.
            if (count == 0 || filled < bytes.size() || bytes.size() == most)
                break;
            bytes.resize(std::min(most, bytes.size() * 2));
        }
        bytes.resize(filled);
        return bytes;
    }

}

Read whole(int folderFD, const std::filesystem::path& name, std::size_t limitBytes, Links links)
{
    Opened file = opened(folderFD, name, links);
    Read read { file.outcome, {}, file.status };
    if (file.outcome != Read::Outcome::whole)
        return read;
    if (static_cast<std::size_t>(std::max<off_t>(file.status.st_size, 0)) > limitBytes) {
        read.outcome = Read::Outcome::tooLarge;
        return read;
    }
    auto bytes = readUpTo(file, limitBytes + 1);
    if (!bytes)
        read.outcome = Read::Outcome::unread;
    else if (bytes->size() > limitBytes)
        read.outcome = Read::Outcome::tooLarge;
    else
        read.bytes = std::move(*bytes);
    return read;
}

std::string start(const std::filesystem::path& file, std::size_t sizeBytes)
{
    Opened opened = BoundedFile::opened(AT_FDCWD, file, Links::followed);
    auto bytes = opened.outcome == Read::Outcome::whole ? readUpTo(opened, sizeBytes) : std::nullopt;
    return bytes ? std::move(*bytes) : std::string();
}

}
