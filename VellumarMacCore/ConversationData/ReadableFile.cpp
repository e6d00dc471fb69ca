#include "VellumarMacCore/ConversationData/ReadableFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vellumar {

namespace {

    ReadableFile::Failure::Kind kindOfOpenError(int error)
    {
        switch (error) {
        // ENOTDIR: a component of the path is a file, so nothing can be stored under it.
        case ENOENT:
        case ENOTDIR:
            return ReadableFile::Failure::Kind::missing;
        // O_NOFOLLOW met a link; ENXIO is a socket, or a device without its driver.
        case ELOOP:
        case ENXIO:
            return ReadableFile::Failure::Kind::notRegularFile;
        default:
            return ReadableFile::Failure::Kind::unavailable;
        }
    }

}

std::optional<ReadableFile> ReadableFile::open(const std::filesystem::path& file)
{
    auto opened = openOrFailure(file);
    if (auto* readable = std::get_if<ReadableFile>(&opened))
        return std::move(*readable);
    return std::nullopt;
}

std::variant<ReadableFile, ReadableFile::Failure> ReadableFile::openOrFailure(
    const std::filesystem::path& file)
{
    // open(2) would stop at the NUL and read some other file.
    if (file.native().find('\0') != std::string::npos)
        return Failure { Failure::Kind::missing, ENOENT };
    // O_NONBLOCK keeps a FIFO planted under the name from stalling the open; it changes nothing
    // for the regular files that are kept.
    int descriptor = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        int error = errno;
        return Failure { kindOfOpenError(error), error };
    }
    return adoptOrFailure(descriptor);
}

std::optional<ReadableFile> ReadableFile::adopt(int descriptor)
{
    auto adopted = adoptOrFailure(descriptor);
    if (auto* readable = std::get_if<ReadableFile>(&adopted))
        return std::move(*readable);
    return std::nullopt;
}

std::variant<ReadableFile, ReadableFile::Failure> ReadableFile::adoptOrFailure(int descriptor)
{
    struct stat status { };
    if (fstat(descriptor, &status) != 0) {
        int error = errno;
        ::close(descriptor);
        return Failure { Failure::Kind::unavailable, error };
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return Failure { Failure::Kind::notRegularFile, 0 };
    }
    return ReadableFile(descriptor, static_cast<std::int64_t>(status.st_size));
}

ReadableFile::ReadableFile(int descriptor, std::int64_t sizeBytes) noexcept
    : m_descriptor(descriptor)
    , m_sizeBytes(sizeBytes)
{
}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept
    : m_descriptor(std::exchange(other.m_descriptor, -1))
    , m_sizeBytes(other.m_sizeBytes)
{
}

ReadableFile& ReadableFile::operator=(ReadableFile&& other) noexcept
{
    if (this != &other) {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
        m_descriptor = std::exchange(other.m_descriptor, -1);
        m_sizeBytes = other.m_sizeBytes;
    }
    return *this;
}

ReadableFile::~ReadableFile()
{
    // A failed close of a file only read loses nothing.
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

std::optional<std::size_t> ReadableFile::read(std::span<char> buffer)
{
    for (;;) {
        ssize_t count = ::read(m_descriptor, buffer.data(), buffer.size());
        if (count >= 0)
            return static_cast<std::size_t>(count);
        if (errno != EINTR)
            return std::nullopt;
    }
}

}
