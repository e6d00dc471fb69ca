// Long texts pinned by the SHA-256 digest of their UTF-8 bytes, so that a changed character anywhere
// shows up without keeping a second copy of the text in the test. The test's target must link the
// platform library.
#pragma once

#include "Platform/Crypto.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace vellumar::test {

// Checks that the text's digest begins with `digest` (at least 16 hex digits); a failure shows the text
// and its whole digest.
inline void expectPinned(std::string_view text, std::string_view digest)
{
    std::string actual;
    for (auto byte : platform::sha256(text)) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        actual += pair;
    }
    EXPECT_TRUE(digest.size() >= 16 && actual.starts_with(digest)) << "digest " << actual << " of:\n" << text;
}

}
