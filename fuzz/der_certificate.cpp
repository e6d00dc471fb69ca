// Reading arbitrary bytes as a certificate must never crash or read outside them; every element
// found must lie inside its bounds, and a public key found must be an element of the input.
#include "VellumarMacCore/Relay/DER.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> bytes(data, size);
    for (std::size_t start = 0; start < size; ++start) {
        auto element = vellumar::DER::readElement(bytes, start, size);
        if (element
            && (element->range.begin != start || element->contents.begin < start + 2
                || element->contents.begin > element->contents.end
                || element->range.end != element->contents.end || element->range.end > size))
            std::abort();
    }
    auto key = vellumar::DER::subjectPublicKeyInfo(bytes);
    if (key && std::search(bytes.begin(), bytes.end(), key->begin(), key->end()) == bytes.end())
        std::abort();
    return 0;
}
