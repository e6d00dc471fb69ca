#include "tests/support/QRCodeReader.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vellumar::test {

std::optional<std::string> readQRCode(const std::filesystem::path& image)
{
    // --raw prints each symbol's bytes alone, followed by one newline; -Sbinary keeps them as they are
    // instead of guessing a character set.
    auto result = runPeer({ "zbarimg", "--quiet", "--raw", "-Sqrcode.binary", image.string() });
    if (result.exitStatus != 0 || result.output.empty() || result.output.back() != '\n')
        return std::nullopt;
    result.output.pop_back();
    return result.output;
}

}
