// Small helpers the job tests share for writing request bodies (and `repeated` text).
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "tests/support/FileFixtures.h"

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

}
