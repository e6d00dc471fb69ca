// What curl printed for one request made with `-w "\n%{http_code}"`: the body, and the status code on
// the last line. Header-only, for suites that link the JSON library.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "tests/support/TestSupport.h"

#include <string>

namespace vellumar::test {

struct CurlAnswer {
    int status = 0;
    // Null when the body is not JSON.
    JSON body;
    std::string text;
};

inline CurlAnswer curlAnswerOf(const PeerResult& result)
{
    auto cut = result.output.rfind('\n');
    if (result.exitStatus != 0 || cut == std::string::npos)
        return { .text = "curl failed: " + result.output };
    auto text = result.output.substr(0, cut);
    return { .status = std::stoi(result.output.substr(cut + 1)),
        .body = JSON::decode(text).value_or(JSON()),
        .text = text };
}

}
