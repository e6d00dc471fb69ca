// Every name the mailbox writes into the store or an envelope: message ids, record names, zone names
// and party tags. Random ids are 16 secure random bytes in Base64URL (22 characters); nothing about the
// user is ever stored in the clear, the device tag being a truncated hash of the device id.
#pragma once

#include <string>
#include <string_view>

namespace movrane {

namespace MailboxMessageID {
    std::string make();
    // Exactly 22 characters of the Base64URL alphabet ("=" excluded).
    bool isValid(std::string_view text);
}

namespace MailboxRecordName {
    inline constexpr std::string_view envelopePrefix = "e-";
    // "e-" and a new random id.
    std::string envelope();
    // "e-" and a valid id, or exactly "presence".
    bool isValid(std::string_view text);
}

// Names of the mailbox's temporary files: a version 4 UUID from the secure generator in its standard
// upper-case hyphenated form ("8-4-4-4-12" hexadecimal digits).
namespace MailboxUUID {
    std::string make();
}

namespace MailboxZoneName {
    inline constexpr std::string_view prefix = "pair-";
    std::string make();
    bool isValid(std::string_view text);
}

namespace MailboxPartyTag {
    inline constexpr std::string_view mac = "mac";
    // "dev-" and the first 16 bytes of SHA-256("vellumar-mailbox-device-v1" 00 deviceID) in Base64URL:
    // the same on both ends for one device id.
    std::string device(std::string_view deviceID);
    // Exactly "mac", or "dev-" and 22 alphabet characters (the form only: any such text is valid).
    bool isValid(std::string_view text);
}

}
