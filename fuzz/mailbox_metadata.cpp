// The wire metadata comes out of an opened envelope, so it is the peer's word: arbitrary JSON must never
// crash the decoder, which refuses with invalidContent or gives a message whose metadata encodes again
// and decodes to the same message.
//
// Input: byte 0 is the body's length (up to the rest's size); the body follows, then the JSON.
#include "MovraneMailbox/Protocol/MailboxCipher.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace movrane;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::size_t bodyLength = std::min<std::size_t>(data[0], size - 1);
    MailboxBytes body(data + 1, data + 1 + bodyLength);
    std::string_view json(reinterpret_cast<const char*>(data + 1 + bodyLength), size - 1 - bodyLength);
    MailboxCipher::Header header { 1, 1, std::string(MailboxPartyTag::mac), MailboxPartyTag::device("d"), 1, {} };
    try {
        auto message = MailboxCipher::decodeMetadata(json, body, header);
        auto again = MailboxCipher::encodeMetadata(message);
        auto carried = message.attachment ? MailboxBytes {} : body;
        check(MailboxCipher::decodeMetadata(again, carried, header) == message);
    } catch (const MailboxCryptoError& error) {
        check(error.kind() == MailboxCryptoError::Kind::invalidContent);
    }
    return 0;
}
