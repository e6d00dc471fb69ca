// Claude Code's standard output is outside input: any bytes, split into lines, must leave the
// parser within its limits and never crash it.
#include "VellumarMacCore/ClaudeCode/ClaudeStreamParser.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using vellumar::ClaudeStreamParser;
    using vellumar::RunnerEvent;

    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    ClaudeStreamParser parser([] { return std::chrono::system_clock::time_point {}; });
    while (!bytes.empty()) {
        std::size_t end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end);
        bytes = end == std::string_view::npos ? std::string_view() : bytes.substr(end + 1);
        std::int64_t countBefore = parser.eventCount();
        for (const RunnerEvent& event : parser.consume(line)) {
            if (event.kind == RunnerEvent::Kind::attaching)
                std::abort();
        }
        // A line is one event at most.
        if (parser.eventCount() - countBefore > 1)
            std::abort();
    }
    if (parser.tools().size() > ClaudeStreamParser::maxTools
        || parser.denials().size() > ClaudeStreamParser::maxDenials)
        std::abort();
    for (const auto& tool : parser.tools()) {
        if (tool.status != "stopped" && tool.status != "ok" && tool.status != "error")
            std::abort();
    }
    if (auto context = parser.contextJSON(); context && !parser.contextTokens())
        std::abort();
    ClaudeStreamParser copy = parser;
    (void)copy;
    return 0;
}
