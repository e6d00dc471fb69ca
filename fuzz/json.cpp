// Decoding arbitrary bytes must never crash; whatever decodes must survive a re-encode round trip.
#include "VellumarMacCore/Foundations/JSON.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto value = vellumar::JSON::decode(bytes);
    if (!value)
        return 0;
    std::string canonical = value->encoded();
    auto again = vellumar::JSON::decode(canonical);
    if (!again || again->encoded() != canonical)
        std::abort();
    return 0;
}
