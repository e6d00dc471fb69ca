// The big-endian field writers and cursor readers of the mailbox's binary formats (the sealed envelope
// and the attachment file), and a constant-time byte comparison.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace movrane {

using MailboxBytes = std::vector<std::uint8_t>;

namespace MailboxBinary {

    // A cursor over one byte buffer the caller keeps alive. `offset` is an absolute index into the
    // buffer, so a reader can start inside a larger buffer without the buffer being copied or rebased.
    struct Reader {
        explicit Reader(std::span<const std::uint8_t> bytes, std::size_t startIndex = 0)
            : buffer(bytes)
            , offset(static_cast<std::int64_t>(startIndex))
        {
        }
        std::span<const std::uint8_t> buffer;
        std::int64_t offset;
    };

    void appendUInt16(MailboxBytes& out, std::uint16_t value);
    void appendUInt32(MailboxBytes& out, std::uint32_t value);
    void appendUInt64(MailboxBytes& out, std::uint64_t value);
    // A one-byte UTF-8 byte count, then the bytes. Only tags and names (at most 27 bytes) are written
    // this way; over 255 bytes is a programming error and stops the process.
    void appendString(MailboxBytes& out, std::string_view text);

    // Each reader throws MailboxCryptoError malformed on a short read (or a negative count, or a string
    // that is not UTF-8) and then leaves `offset` where it was.
    MailboxBytes readBytes(Reader& reader, std::int64_t count);
    std::uint8_t readByte(Reader& reader);
    std::uint16_t readUInt16(Reader& reader);
    std::uint32_t readUInt32(Reader& reader);
    std::uint64_t readUInt64(Reader& reader);
    std::string readString(Reader& reader);
    // Every byte from `offset` to the end, possibly none; never throws.
    MailboxBytes readRest(Reader& reader);

    // Equality whose time depends only on the lengths: different lengths answer false at once.
    bool constantTimeEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

}

}
