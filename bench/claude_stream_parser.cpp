// What reading Claude Code's output costs beyond decoding it: a run of tool calls, results and
// replies, fed line by line to the stream parser, set against decoding the same lines alone.
#include "bench/BenchSupport.h"
#include "VellumarMacCore/ClaudeCode/ClaudeStreamParser.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using vellumar::ClaudeStreamParser;
using vellumar::JSON;

constexpr const char* kSessionID = "0d3c6f1e-5f0b-4b7b-9a53-2b7e0b3c4d5e";

JSON event(const char* type, JSON::Array content)
{
    return JSON::object({
        { "type", type },
        { "session_id", kSessionID },
        { "message",
            JSON::object({ { "role", type }, { "content", JSON(std::move(content)) },
                { "usage", JSON::object({ { "input_tokens", 1234 }, { "output_tokens", 56 } }) } }) },
    });
}

// 100 rounds of: a sentence, a Bash call, its 4 KB result; then the reply and the result.
std::vector<std::string> transcript()
{
    std::string output;
    while (output.size() < 4096)
        output += "src/file" + std::to_string(output.size()) + ".cpp: 42 lines\n";
    std::vector<std::string> lines {
        JSON::object({ { "type", "system" }, { "subtype", "init" }, { "session_id", kSessionID } }).encoded()
    };
    for (int round = 0; round < 100; ++round) {
        std::string id = "toolu_" + std::to_string(round);
        lines.push_back(event(
            "assistant", { JSON::object({ { "type", "text" }, { "text", "Looking at the sources next." } }) })
                            .encoded());
        lines.push_back(event("assistant",
            { JSON::object({ { "type", "tool_use" }, { "id", id }, { "name", "Bash" },
                { "input", JSON::object({ { "command", "wc -l src/*.cpp --token=abc" } }) } }) })
                            .encoded());
        lines.push_back(event("user",
            { JSON::object({ { "type", "tool_result" }, { "tool_use_id", id }, { "content", output } }) })
                            .encoded());
    }
    lines.push_back(
        event("assistant", { JSON::object({ { "type", "text" }, { "text", "Every file is short." } }) })
            .encoded());
    lines.push_back(JSON::object({ { "type", "result" }, { "subtype", "success" }, { "is_error", false },
                                     { "result", "Every file is short." }, { "session_id", kSessionID } })
                        .encoded());
    return lines;
}

const std::vector<std::string>& lines()
{
    static const std::vector<std::string> made = transcript();
    return made;
}

std::int64_t totalBytes()
{
    std::int64_t bytes = 0;
    for (const std::string& line : lines())
        bytes += static_cast<std::int64_t>(line.size());
    return bytes;
}

void parseRun(benchmark::State& state)
{
    for (auto _ : state) {
        ClaudeStreamParser parser([] { return std::chrono::system_clock::now(); });
        for (const std::string& line : lines())
            benchmark::DoNotOptimize(parser.consume(line));
        benchmark::DoNotOptimize(parser.tools().size());
    }
    state.SetBytesProcessed(state.iterations() * totalBytes());
}

void decodeOnly(benchmark::State& state)
{
    for (auto _ : state) {
        for (const std::string& line : lines())
            benchmark::DoNotOptimize(JSON::decode(line));
    }
    state.SetBytesProcessed(state.iterations() * totalBytes());
}

BENCHMARK(parseRun);
BENCHMARK(decodeOnly);

}

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    vellumar::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (auto ratio = reporter.ratio("parseRun", "decodeOnly"))
        std::printf("\ntime of parsing / time of decoding alone: %.2f\n", *ratio);
    benchmark::Shutdown();
    return 0;
}
