// What the reply runner adds to one Claude Code run: the conversation lock, permissions, the settings
// file, prompts, temporary folder, session bookkeeping and clean-up around the process, next to the
// same stand-in process started directly through the process layer.
#include "VellumarMacCore/ClaudeCode/ClaudeProcess.h"
#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "bench/BenchSupport.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

namespace {

namespace fs = std::filesystem;

// Where the stage lives: the temporary folder's disk, or memory, where flushing to disk costs
// nothing, so that what the runner adds besides its durable writes shows on its own.
constexpr const char* kInMemoryFolder = "/dev/shm";

// A stand-in for `claude` that reads its input and answers at once, so the process costs only its
// start.
class Stage {
public:
    explicit Stage(const fs::path& root = fs::temp_directory_path())
    {
        std::string pattern = (root / "vellumar-bench-XXXXXX").string();
        m_folder = ::mkdtemp(pattern.data());
        fs::create_directories(m_folder / "home");
        m_claude = m_folder / "claude";
        std::ofstream(m_claude)
            << "#!/bin/sh\ncat >/dev/null\n"
               "echo '{\"type\":\"system\",\"subtype\":\"init\",\"session_id\":\"bench-session-1\"}'\n"
               "echo '{\"type\":\"result\",\"subtype\":\"success\",\"is_error\":false,\"result\":\"OK.\"}'\n";
        fs::permissions(m_claude, fs::perms::owner_all);
        m_data = std::make_unique<vellumar::RelayData>(
            vellumar::RelayData::Options { .folder = m_folder / "data", .home = m_folder / "home" });
    }
    ~Stage() { fs::remove_all(m_folder); }

    const fs::path& claude() const { return m_claude; }
    vellumar::RelayData& data() { return *m_data; }
    fs::path work() const { return m_folder / "home"; }

private:
    fs::path m_folder;
    fs::path m_claude;
    std::unique_ptr<vellumar::RelayData> m_data;
};

constexpr const char* kPath = "/usr/local/bin:/usr/bin:/bin";

void processAlone(benchmark::State& state, Stage& stage)
{
    vellumar::ClaudeProcess::Launch launch { .executable = stage.claude(),
        .arguments = { "-p", "--output-format", "stream-json", "--verbose" },
        .input = "Hello",
        .directory = stage.work(),
        .environment = { { "PATH", kPath } },
        .timeLimit = 600,
        .stall = {},
        .waiting = [] { return vellumar::ClaudeProcess::Waiting {}; },
        .onEvent = [](const vellumar::RunnerEvent&) {} };
    for (auto _ : state) {
        vellumar::ClaudeProcess process;
        benchmark::DoNotOptimize(process.start(launch));
    }
}

void BM_ProcessAloneBaseline(benchmark::State& state)
{
    Stage stage;
    processAlone(state, stage);
}
BENCHMARK(BM_ProcessAloneBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

void replyRunnerRun(
    benchmark::State& state, Stage& stage, std::optional<vellumar::PermissionSettings> permissions = {})
{
    vellumar::ClaudeReplyRunner runner(stage.data(),
        { .locate = [&] { return std::optional(stage.claude()); },
            .path = [] { return std::string(kPath); },
            .baseEnvironment = { { "HOME", stage.work().string() } },
            .permissionHelper = std::nullopt,
            .decidePermission = {},
            .now = {} });
    vellumar::JobSubmission job;
    job.conversationID = "ios-bench";
    job.botID = "bot-1";
    job.message = "Hello";
    job.permissions = std::move(permissions);
    for (auto _ : state) {
        auto control = std::make_shared<vellumar::JobControl>("j-bench");
        benchmark::DoNotOptimize(runner.run(job, control, {}));
    }
}

void BM_ReplyRunnerRun(benchmark::State& state)
{
    Stage stage;
    replyRunnerRun(state, stage);
}
BENCHMARK(BM_ReplyRunnerRun)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same turn without the cost of its flushes to disk.
void BM_ReplyRunnerRunInMemory(benchmark::State& state)
{
    Stage stage(kInMemoryFolder);
    replyRunnerRun(state, stage);
}
BENCHMARK(BM_ReplyRunnerRunInMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

// A bot given a folder: the folder's checks and the protected places they are measured against.
void BM_ReplyRunnerRunWithFolderInMemory(benchmark::State& state)
{
    Stage stage(kInMemoryFolder);
    fs::create_directories(stage.work() / "project");
    vellumar::PermissionSettings permissions;
    permissions.folders = { { "~/project", true } };
    replyRunnerRun(state, stage, permissions);
}
BENCHMARK(BM_ReplyRunnerRunWithFolderInMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ProcessAloneInMemoryBaseline(benchmark::State& state)
{
    Stage stage(kInMemoryFolder);
    processAlone(state, stage);
}
BENCHMARK(BM_ProcessAloneInMemoryBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

}

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    vellumar::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nwhat the runner adds to the bare start of the same process\n");
    for (const auto& [runner, alone] : { std::pair("BM_ReplyRunnerRun", "BM_ProcessAloneBaseline"),
             std::pair("BM_ReplyRunnerRunInMemory", "BM_ProcessAloneInMemoryBaseline"),
             std::pair("BM_ReplyRunnerRunWithFolderInMemory", "BM_ProcessAloneInMemoryBaseline") }) {
        std::string name = std::string(runner) + "/real_time";
        std::string reference = std::string(alone) + "/real_time";
        auto over = reporter.secondsOver(name, reference);
        auto ratio = reporter.ratio(name, reference);
        if (over && ratio)
            std::printf("  %s: %+.2f ms (x%.2f)\n", runner, *over * 1000, *ratio);
    }
    benchmark::Shutdown();
    return 0;
}
