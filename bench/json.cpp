// Decoding and encoding speed of JSON values on the documents the system handles most: one
// Claude Code stream-JSON line of a few KB and a 1 MB stored file. nlohmann::json reads and
// writes the same bytes in the same run, and the ratios to it are printed at the end.
#include "bench/BenchSupport.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <string>

namespace {

using vellumar::JSON;

std::string streamLine()
{
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "Line " + std::to_string(i)
            + " of the reply, with \"quotes\", a path /tmp/work/a.txt and caf\u00e9.\n";
    JSON line = JSON::object({
        { "type", "assistant" },
        { "session_id", "0d3c6f1e-5f0b-4b7b-9a53-2b7e0b3c4d5e" },
        { "message",
            JSON::object({
                { "id", "msg_01" },
                { "role", "assistant" },
                { "model", "claude" },
                { "content",
                    JSON::array({
                        JSON::object({ { "type", "text" }, { "text", text } }),
                        JSON::object({ { "type", "tool_use" }, { "id", "toolu_01" }, { "name", "Write" },
                            { "input",
                                JSON::object(
                                    { { "file_path", "/tmp/work/a.txt" }, { "content", text } }) } }),
                    }) },
                { "usage", JSON::object({ { "input_tokens", 1234 }, { "output_tokens", 567 } }) },
            }) },
    });
    return line.encoded();
}

std::string megabyteDocument()
{
    JSON::Array entries;
    for (std::size_t i = 0, size = 0; size < 1'000'000; ++i) {
        entries.push_back(JSON::object({
            { "id", "m-" + std::to_string(100000 + i) },
            { "text", "Remembered fact number " + std::to_string(i) + ": the user prefers short replies." },
            { "createdAt", 1'700'000'000'000ULL + i },
            { "score", JSON::number(static_cast<double>(i) * 0.37) },
            { "tags", JSON::array({ "memory", "phone", i % 2 == 0 }) },
        }));
        size += entries.back().encoded().size() + 1;
    }
    return JSON(entries).encoded();
}

const std::string& documentFor(int which)
{
    static const std::string line = streamLine();
    static const std::string megabyte = megabyteDocument();
    return which == 0 ? line : megabyte;
}

void decodeOurs(benchmark::State& state)
{
    const std::string& document = documentFor(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(JSON::decode(document));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

void decodeReference(benchmark::State& state)
{
    const std::string& document = documentFor(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(nlohmann::json::parse(document, nullptr, false));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

void encodeOurs(benchmark::State& state)
{
    const std::string& document = documentFor(static_cast<int>(state.range(0)));
    JSON value = *JSON::decode(document);
    for (auto _ : state)
        benchmark::DoNotOptimize(value.encoded());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

void encodeReference(benchmark::State& state)
{
    const std::string& document = documentFor(static_cast<int>(state.range(0)));
    nlohmann::json value = nlohmann::json::parse(document);
    for (auto _ : state)
        benchmark::DoNotOptimize(value.dump());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

// Range 0 is the stream line, 1 the megabyte document.
BENCHMARK(decodeOurs)->Arg(0)->Arg(1);
BENCHMARK(decodeReference)->Arg(0)->Arg(1);
BENCHMARK(encodeOurs)->Arg(0)->Arg(1);
BENCHMARK(encodeReference)->Arg(0)->Arg(1);

// Keeps each run's time per iteration so that ours can be set against the reference.

}

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    vellumar::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\ntime of ours / time of nlohmann::json (below 1 means ours is faster)\n");
    for (const char* operation : { "decode", "encode" }) {
        for (const char* size : { "0", "1" }) {
            auto ratio = reporter.ratio(
                std::string(operation) + "Ours/" + size, std::string(operation) + "Reference/" + size);
            if (ratio)
                std::printf(
                    "  %s %s: %.2f\n", operation, size[0] == '0' ? "stream line" : "1 MB document", *ratio);
        }
    }
    benchmark::Shutdown();
    return 0;
}
