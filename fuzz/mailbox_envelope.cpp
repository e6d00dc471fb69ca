// Envelopes from the store are outside input: arbitrary bytes must never crash the header parser or
// the opener, which either parse and open or refuse with MailboxCryptoError; a parsed header always
// has valid party tags and a 65-byte key.
//
// Input: byte 0 picks the record name (a valid one or a long foreign one); the rest is the envelope.
// The keys are fixed, so the corpus's sealed envelopes open and mutations reach every later check.
#include "MovraneMailbox/Protocol/MailboxCipher.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace movrane;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

MailboxIdentity fixedIdentity(std::uint8_t fill)
{
    MailboxBytes scalar(32, fill);
    return MailboxIdentity::fromRawRepresentation(scalar);
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    static const MailboxIdentity mac = fixedIdentity(0x11);
    static const MailboxIdentity device = fixedIdentity(0x22);
    static const std::string deviceTag = MailboxPartyTag::device("fuzz");
    std::span<const std::uint8_t> envelope(data + 1, size - 1);
    std::string record = data[0] % 2 ? std::string(300, '\xC3') : "e-" + std::string(22, 'r');
    try {
        auto parsed = MailboxCipher::parseHeader(envelope);
        check(MailboxPartyTag::isValid(parsed.header.from) && MailboxPartyTag::isValid(parsed.header.to));
        check(parsed.encapsulatedKey.size() == 65 && parsed.ciphertext.size() >= 20);
    } catch (const MailboxCryptoError&) {
    }
    try {
        auto message = MailboxCipher::open(envelope, record, "pair-" + std::string(22, 'z'), device, deviceTag,
            mac.publicKey(), MailboxPartyTag::mac, MailboxCipher::Now(std::chrono::milliseconds(1'700'000'000'000)));
        check(MailboxMessageID::isValid(message.id));
    } catch (const MailboxCryptoError&) {
    }
    return 0;
}
