// Arbitrary text must never crash the Base64URL decoder, and whatever it accepts must encode back to
// the same text less its "=" signs; arbitrary bytes must never crash the field readers, which either
// read a field or leave the offset where it was.
//
// Input: byte 0 picks a sequence of readers (two bits a reader); the rest is the buffer, and also the
// text given to the decoder.
#include "MovraneMailbox/Protocol/MailboxBase64URL.h"
#include "MovraneMailbox/Protocol/MailboxBinary.h"
#include "MovraneMailbox/Protocol/MailboxCryptoError.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace movrane;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkDecoder(std::string_view text)
{
    auto decoded = MailboxBase64URL::decode(text);
    if (!decoded)
        return;
    std::string unpadded(text);
    std::erase(unpadded, '=');
    auto encoded = MailboxBase64URL::encode(*decoded);
    // Bits past the last whole byte are ignored, so only the whole-byte prefix must match.
    check(encoded.size() == unpadded.size());
    check(MailboxBase64URL::decode(encoded) == decoded);
}

void readOne(MailboxBinary::Reader& reader, int which)
{
    switch (which) {
    case 0:
        MailboxBinary::readUInt16(reader);
        break;
    case 1:
        MailboxBinary::readUInt64(reader);
        break;
    case 2:
        MailboxBinary::readString(reader);
        break;
    default:
        MailboxBinary::readBytes(reader, reader.offset % 7);
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::span<const std::uint8_t> buffer(data + 1, size - 1);
    checkDecoder(std::string_view(reinterpret_cast<const char*>(buffer.data()), buffer.size()));
    MailboxBinary::Reader reader(buffer);
    for (int step = 0; step < 4; ++step) {
        auto before = reader.offset;
        try {
            readOne(reader, (data[0] >> (2 * step)) & 3);
            check(reader.offset >= before && reader.offset <= static_cast<std::int64_t>(buffer.size()));
        } catch (const MailboxCryptoError& error) {
            check(error.kind() == MailboxCryptoError::Kind::malformed && reader.offset == before);
        }
    }
    check(MailboxBinary::readRest(reader).size() <= buffer.size() && reader.offset == static_cast<std::int64_t>(buffer.size()));
    return 0;
}
