// A regular file opened for reading without following a symbolic link in its last component, so
// that what was checked is what is read even when the name is swapped for a link meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <variant>

namespace vellumar {

class ReadableFile {
public:
    // Why `openOrFailure` gave no file.
    struct Failure {
        enum class Kind {
            // Nothing at that name (nor can there be, when a folder of the path is a file), or a
            // path holding NUL.
            missing,
            // A symbolic link, folder, FIFO, device or socket: no retry can read it.
            notRegularFile,
            // The file may be there but cannot be opened now: no permission, no descriptors or memory
            // left, an I/O error. A later try may succeed.
            unavailable,
        };
        Kind kind;
        // The errno of the call that failed; 0 when the item was opened but is not a regular file.
        int error;
    };

    // Absent when the file is missing, is a symbolic link or is anything but a regular file, when it
    // cannot be opened, and for a path holding NUL.
    // FIFOs and devices are refused without blocking.
    static std::optional<ReadableFile> open(const std::filesystem::path& file);
    // As `open`, telling why no file was opened.
    static std::variant<ReadableFile, Failure> openOrFailure(const std::filesystem::path& file);
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
    static std::variant<ReadableFile, Failure> adoptOrFailure(int descriptor);

    int m_descriptor;
    std::int64_t m_sizeBytes;
};

}
