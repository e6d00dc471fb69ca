// Decoding and encoding speed of JSON values on the documents the system handles most: one
// Claude Code stream-JSON line of a few KB and a 1 MB stored file. RapidJSON (validating UTF-8 and
// reading numbers at full precision, as ours does), simdjson and nlohmann::json read and write the
// same bytes in the same run, and the ratios to each are printed at the end.
#include "bench/BenchSupport.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

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

void encodeOurs(benchmark::State& state)
{
    const std::string& document = documentFor(static_cast<int>(state.range(0)));
    JSON value = *JSON::decode(document);
    for (auto _ : state)
        benchmark::DoNotOptimize(value.encoded());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

void decodeNlohmann(benchmark::State& state)
{
    const std::string& document = documentFor(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(nlohmann::json::parse(document, nullptr, false));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

void encodeNlohmann(benchmark::State& state)
{
    const std::string& document = documentFor(static_cast<int>(state.range(0)));
    nlohmann::json value = nlohmann::json::parse(document);
    for (auto _ : state)
        benchmark::DoNotOptimize(value.dump());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

constexpr unsigned kRapidJSONFlags
    = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag;

void decodeRapidJSON(benchmark::State& state)
{
    const std::string& document = documentFor(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        rapidjson::Document value;
        value.Parse<kRapidJSONFlags>(document.data(), document.size());
        benchmark::DoNotOptimize(value.HasParseError());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

void encodeRapidJSON(benchmark::State& state)
{
    const std::string& document = documentFor(static_cast<int>(state.range(0)));
    rapidjson::Document value;
    value.Parse<kRapidJSONFlags>(document.data(), document.size());
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        value.Accept(writer);
        // Into a std::string, as ours and nlohmann's hand their bytes over.
        benchmark::DoNotOptimize(std::string(buffer.GetString(), buffer.GetSize()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

void decodeSimdjson(benchmark::State& state)
{
    const std::string& document = documentFor(static_cast<int>(state.range(0)));
    simdjson::padded_string padded(document);
    // One parser reused across documents, as simdjson is meant to be used.
    simdjson::dom::parser parser;
    for (auto _ : state)
        benchmark::DoNotOptimize(parser.parse(padded).error());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

void encodeSimdjson(benchmark::State& state)
{
    const std::string& document = documentFor(static_cast<int>(state.range(0)));
    simdjson::dom::parser parser;
    simdjson::dom::element value = parser.parse(document);
    for (auto _ : state)
        benchmark::DoNotOptimize(simdjson::to_string(value));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
}

// Range 0 is the stream line, 1 the megabyte document.
BENCHMARK(decodeOurs)->Arg(0)->Arg(1);
BENCHMARK(decodeRapidJSON)->Arg(0)->Arg(1);
BENCHMARK(decodeSimdjson)->Arg(0)->Arg(1);
BENCHMARK(decodeNlohmann)->Arg(0)->Arg(1);
BENCHMARK(encodeOurs)->Arg(0)->Arg(1);
BENCHMARK(encodeRapidJSON)->Arg(0)->Arg(1);
BENCHMARK(encodeSimdjson)->Arg(0)->Arg(1);
BENCHMARK(encodeNlohmann)->Arg(0)->Arg(1);

}

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    vellumar::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\ntime of ours / time of the peer (below 1 means ours is faster)\n");
    for (const char* peer : { "RapidJSON", "Simdjson", "Nlohmann" }) {
        for (const char* operation : { "decode", "encode" }) {
            for (const char* size : { "0", "1" }) {
                auto ratio = reporter.ratio(
                    std::string(operation) + "Ours/" + size, std::string(operation) + peer + "/" + size);
                if (ratio)
                    std::printf("  %s %s %s: %.2f\n", peer, operation,
                        size[0] == '0' ? "stream line" : "1 MB document", *ratio);
            }
        }
    }
    benchmark::Shutdown();
    return 0;
}
