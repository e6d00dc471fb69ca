// The one text form of the mailbox's ids, keys and proofs: RFC 4648 §5 Base64URL, never padded.
#pragma once

#include "MovraneMailbox/Protocol/MailboxBinary.h"

#include <optional>
#include <string>
#include <string_view>

namespace movrane::MailboxBase64URL {

std::string encode(std::span<const std::uint8_t> bytes);
// Accepts the alphabet with "=" tolerated anywhere (it is removed); absent for empty text, any other
// character, or a length that leaves a lone character in the last group. Never throws.
std::optional<MailboxBytes> decode(std::string_view text);
// `count` bytes from the system's secure generator.
MailboxBytes randomBytes(std::size_t count);

}
