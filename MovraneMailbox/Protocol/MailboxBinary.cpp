#include "MovraneMailbox/Protocol/MailboxBinary.h"

#include "MovraneMailbox/Protocol/MailboxCryptoError.h"
#include "Platform/Crypto.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include <algorithm>
#include <cstdlib>

namespace movrane::MailboxBinary {

namespace {

    template <typename Integer>
    void appendBigEndian(MailboxBytes& out, Integer value)
    {
        for (int shift = 8 * (static_cast<int>(sizeof(Integer)) - 1); shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(value >> shift));
    }

    // Checks the length before touching a byte, so a failed read leaves the offset as it was.
    std::span<const std::uint8_t> take(Reader& reader, std::int64_t count)
    {
        auto end = static_cast<std::int64_t>(reader.buffer.size());
        if (count < 0 || reader.offset < 0 || reader.offset > end || end - reader.offset < count)
            throw MailboxCryptoError(MailboxCryptoError::Kind::malformed);
        auto piece = reader.buffer.subspan(static_cast<std::size_t>(reader.offset), static_cast<std::size_t>(count));
        reader.offset += count;
        return piece;
    }

    template <typename Integer>
    Integer readBigEndian(Reader& reader)
    {
        Integer value = 0;
        for (std::uint8_t byte : take(reader, sizeof(Integer)))
            value = static_cast<Integer>((value << 8) | byte);
        return value;
    }

}

void appendUInt16(MailboxBytes& out, std::uint16_t value) { appendBigEndian(out, value); }
void appendUInt32(MailboxBytes& out, std::uint32_t value) { appendBigEndian(out, value); }
void appendUInt64(MailboxBytes& out, std::uint64_t value) { appendBigEndian(out, value); }

void appendString(MailboxBytes& out, std::string_view text)
{
    if (text.size() > 255)
        std::abort();
    out.push_back(static_cast<std::uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

MailboxBytes readBytes(Reader& reader, std::int64_t count)
{
    auto piece = take(reader, count);
    return { piece.begin(), piece.end() };
}

std::uint8_t readByte(Reader& reader) { return take(reader, 1)[0]; }
std::uint16_t readUInt16(Reader& reader) { return readBigEndian<std::uint16_t>(reader); }
std::uint32_t readUInt32(Reader& reader) { return readBigEndian<std::uint32_t>(reader); }
std::uint64_t readUInt64(Reader& reader) { return readBigEndian<std::uint64_t>(reader); }

std::string readString(Reader& reader)
{
    auto start = reader.offset;
    std::uint8_t length = readByte(reader);
    try {
        auto piece = take(reader, length);
        std::string text(piece.begin(), piece.end());
        if (!vellumar::detail::isValidUTF8(text))
            throw MailboxCryptoError(MailboxCryptoError::Kind::malformed);
        return text;
    } catch (const MailboxCryptoError&) {
        reader.offset = start;
        throw;
    }
}

MailboxBytes readRest(Reader& reader)
{
    auto end = static_cast<std::int64_t>(reader.buffer.size());
    if (reader.offset < 0 || reader.offset >= end) {
        reader.offset = std::max(reader.offset, end);
        return {};
    }
    return readBytes(reader, end - reader.offset);
}

bool constantTimeEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    return vellumar::platform::constantTimeEqual(a, b);
}

}
