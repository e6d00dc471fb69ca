#include "MovraneMailbox/Protocol/MailboxBase64URL.h"

#include "Platform/Crypto.h"
#include "Platform/Random.h"

#include <algorithm>

namespace movrane::MailboxBase64URL {

std::string encode(std::span<const std::uint8_t> bytes)
{
    std::string text = vellumar::platform::base64Encode(bytes);
    std::erase(text, '=');
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    return text;
}

std::optional<MailboxBytes> decode(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    std::string standard;
    standard.reserve(text.size() + 3);
    for (char character : text) {
        bool alphabet = (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z')
            || (character >= '0' && character <= '9');
        if (alphabet)
            standard.push_back(character);
        else if (character == '-')
            standard.push_back('+');
        else if (character == '_')
            standard.push_back('/');
        else if (character != '=')
            return std::nullopt;
    }
    while (standard.size() % 4 != 0)
        standard.push_back('=');
    return vellumar::platform::base64Decode(standard);
}

MailboxBytes randomBytes(std::size_t count) { return vellumar::platform::secureRandomBytes(count); }

}
