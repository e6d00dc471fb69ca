#include "Platform/Random.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/random.h>

namespace vellumar::platform {

std::vector<std::uint8_t> secureRandomBytes(std::size_t count)
{
    std::vector<std::uint8_t> bytes(count, 0);
    std::size_t filled = 0;
    while (filled < count) {
        ssize_t got = getrandom(bytes.data() + filled, count - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            std::perror("getrandom");
            std::abort();
        }
        filled += static_cast<std::size_t>(got);
    }
    return bytes;
}

std::string lowercaseHex(std::span<const std::uint8_t> bytes)
{
    constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0f]);
    }
    return text;
}

std::string secureRandomHex(std::size_t byteCount) { return lowercaseHex(secureRandomBytes(byteCount)); }

}
