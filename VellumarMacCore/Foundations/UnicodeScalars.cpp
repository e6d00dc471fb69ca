#include "VellumarMacCore/Foundations/UnicodeScalars.h"

namespace vellumar::detail {

std::int32_t nextScalar(std::string_view text, std::size_t& index)
{
    auto lead = static_cast<unsigned char>(text[index++]);
    if (lead < 0x80)
        return lead;
    int trailing = 0;
    std::int32_t scalar = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        scalar = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        scalar = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        scalar = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return kMalformedScalar;
    }
    for (int n = 0; n < trailing; ++n) {
        if (index == text.size())
            return kMalformedScalar;
        auto next = static_cast<unsigned char>(text[index]);
        if (next < low || next > high)
            return kMalformedScalar;
        low = 0x80;
        high = 0xBF;
        scalar = (scalar << 6) | (next & 0x3F);
        ++index;
    }
    return scalar;
}

}
