// What `claude --version`, `claude auth status --json` and a login shell print is outside input:
// reading it must never crash, and a version that is read back must be the output's first word.
#include "VellumarMacCore/ClaudeCode/ClaudeCodeStatus.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"
#include "VellumarMacCore/Foundations/Whitespace.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool isBlankAt(std::string_view text, bool atStart)
{
    auto length = static_cast<std::int32_t>(text.size());
    UChar32 scalar;
    if (atStart) {
        std::int32_t offset = 0;
        U8_NEXT(text.data(), offset, length, scalar);
    } else {
        std::int32_t offset = length;
        U8_PREV(text.data(), 0, offset, scalar);
    }
    return u_isblank(scalar);
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    using vellumar::ClaudeCodeStatus;

    if (auto version = ClaudeCodeStatus::versionText(bytes)) {
        if (!ClaudeCodeStatus::parseVersion(*version) || bytes.find(*version) == std::string_view::npos)
            std::abort();
        ClaudeCodeStatus status {
            .path = "/usr/bin/claude", .version = version, .login = ClaudeCodeStatus::Login::loggedIn
        };
        (void)status.isReady();
    }
    for (std::int32_t exitStatus : { 0, 1, 2 })
        (void)ClaudeCodeStatus::loginFromAuthStatus(bytes, exitStatus);

    if (vellumar::detail::isValidUTF8(bytes)) {
        auto trimmed = vellumar::trimmingBlanks(bytes);
        if (trimmed.data() < bytes.data() || trimmed.data() + trimmed.size() > bytes.data() + bytes.size())
            std::abort();
        if (!trimmed.empty() && (isBlankAt(trimmed, true) || isBlankAt(trimmed, false)))
            std::abort();
    }
    return 0;
}
