// Small helpers the job tests share for writing request bodies.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace vellumar::test {

// The JSON document of `text`; a test failure and null when it does not decode.
inline JSON decoded(std::string_view text)
{
    auto value = JSON::decode(text);
    if (!value) {
        ADD_FAILURE() << "not JSON: " << text;
        return JSON();
    }
    return std::move(*value);
}

inline std::string repeated(std::string_view piece, std::size_t count)
{
    std::string text;
    text.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i)
        text += piece;
    return text;
}

}
