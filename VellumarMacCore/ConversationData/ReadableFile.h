// A regular file opened for reading without following a symbolic link in its last component, so
// that what was checked is what is read even when the name is swapped for a link meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

namespace vellumar {

class ReadableFile {
public:
    // Absent when the file is missing, is a symbolic link or is anything but a regular file, and for
    // a path holding NUL.
    // FIFOs and devices are refused without blocking.
    static std::optional<ReadableFile> open(const std::filesystem::path& file);
    // Takes ownership of an open descriptor and keeps it only when it refers to a regular file;
    // otherwise closes it and answers absent.
    static std::optional<ReadableFile> adopt(int descriptor);

    ReadableFile(ReadableFile&& other) noexcept;
    ReadableFile& operator=(ReadableFile&& other) noexcept;
    ReadableFile(const ReadableFile&) = delete;
    ReadableFile& operator=(const ReadableFile&) = delete;
    ~ReadableFile();

    // The descriptor stays owned by this object and is closed with it.
    int descriptor() const noexcept { return m_descriptor; }
    // The size when the file was opened.
    std::int64_t sizeBytes() const noexcept { return m_sizeBytes; }

    // Up to `buffer.size()` bytes from the current offset; 0 at the end, absent on a read error.
    std::optional<std::size_t> read(std::span<char> buffer);

private:
    ReadableFile(int descriptor, std::int64_t sizeBytes) noexcept;

    int m_descriptor;
    std::int64_t m_sizeBytes;
};

}
