// The supervisor is exercised against small stand-ins for `claude` (shell and python3 scripts
// written into a temporary folder, hence the "WithFakeClaude" names), each built to provoke one
// behaviour that the real CLI cannot be made to show on demand: odd exits, huge lines, stalls,
// ignored signals, descendants that hold the pipes open.
#include "VellumarMacCore/ClaudeCode/ClaudeProcess.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "tests/support/ScriptedModel.h"
#include "tests/support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace vellumar;

namespace {

using namespace std::chrono_literals;
using test::TemporaryFolder;
using ::testing::ElementsAre;

using StopReason = ClaudeProcess::StopReason;

constexpr std::string_view kInitLine
    = R"({"type":"system","subtype":"init","session_id":"fake-session-0001"})";
constexpr std::string_view kCompactLine = R"({"type":"system","subtype":"compact_boundary"})";

std::string toolCallLine(std::string_view name)
{
    return R"({"type":"assistant","message":{"content":[{"type":"tool_use","id":"toolu_1","name":")"
        + std::string(name) + R"(","input":{"file_path":"/tmp/x","command":"true"}}]}})";
}

std::size_t entriesIn(const std::filesystem::path& folder)
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
}

// Gone means no process, or a zombie that nobody reaps in this container: it runs no code either
// way. A killed process closes its descriptors before it turns into a zombie, so the state is polled.
bool processIsGone(pid_t pid)
{
    auto isGone = [pid] {
        if (kill(pid, 0) != 0)
            return errno == ESRCH;
        std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
        auto state = stat.rfind(") ");
        return state != std::string::npos && stat.compare(state + 2, 1, "Z") == 0;
    };
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!isGone()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

pid_t pidFromFile(const std::filesystem::path& file)
{
    return static_cast<pid_t>(std::stol(test::readFile(file)));
}

class ClaudeProcessTest : public ::testing::Test {
protected:
    // A fake `claude` in the test's folder; the folder is also the child's working folder.
    std::filesystem::path fake(const std::string& script, const std::string& name = "claude")
    {
        auto path = m_folder / name;
        std::ofstream(path) << script;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }

    std::filesystem::path shellFake(const std::string& body) { return fake("#!/bin/sh\n" + body + "\n"); }
    std::filesystem::path pythonFake(const std::string& body)
    {
        return fake("#!/usr/bin/python3\nimport os, sys, signal, time\n" + body + "\n");
    }

    ClaudeProcess::Launch launch(std::filesystem::path executable)
    {
        return {
            .executable = std::move(executable),
            .arguments = {},
            .input = {},
            .directory = m_folder.path(),
            .environment = { { "PATH", "/usr/bin:/bin" } },
            .timeLimit = 120,
            .stall = { .startup = 120, .fileTool = 120, .idle = 120 },
            .waiting = nullptr,
            .onEvent = [this](const RunnerEvent& event) { m_events.push_back(event); },
        };
    }

    std::filesystem::path path(const std::string& name) const { return m_folder / name; }

    TemporaryFolder m_folder;
    // Appended to on the reader thread only; read after `start` has joined it.
    std::vector<RunnerEvent> m_events;
};

TEST(ClaudeProcess, EnvironmentBlockHoldsOneHeapCopyPerEntryInMapOrder)
{
    struct Case {
        const char* name;
        ClaudeProcess::Environment environment;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases {
        { "empty", {}, {} },
        { "map order", { { "PATH", "/usr/bin" }, { "HOME", "/root" } }, { "HOME=/root", "PATH=/usr/bin" } },
        { "equals sign in value", { { "A", "b=c" } }, { "A=b=c" } },
        { "empty value", { { "EMPTY", "" } }, { "EMPTY=" } },
        { "UTF-8", { { "NAME", "Zo\xC3\xAB" } }, { "NAME=Zo\xC3\xAB" } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto block = ClaudeProcess::environmentBlock(testCase.environment);
        std::vector<std::string> texts(block.begin(), block.end());
        EXPECT_EQ(texts, testCase.expected);
        std::vector<char*> noArguments;
        freeCStringArrays(noArguments, block);
        EXPECT_TRUE(block.empty());
    }
}

TEST_F(ClaudeProcessTest, ExitCodeFollowsHowTheChildEndedWithFakeClaude)
{
    struct Case {
        const char* script;
        std::int32_t status;
    };
    for (const auto& testCase : std::vector<Case> { { "exit 0", 0 }, { "exit 3", 3 }, { "exit 255", 255 },
             { "kill -KILL $$", 137 }, { "kill -TERM $$", 143 } }) {
        SCOPED_TRACE(testCase.script);
        ClaudeProcess process;
        auto outcome = process.start(launch(shellFake(testCase.script)));
        EXPECT_EQ(outcome.status, testCase.status);
        EXPECT_FALSE(outcome.stopReason);
        EXPECT_FALSE(outcome.outputTooLarge);
    }
}

TEST_F(ClaudeProcessTest, UnstartableChildFailsWith503AndStartsNothingWithFakeClaude)
{
    auto notExecutable = path("not-executable");
    std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
    struct Case {
        const char* name;
        std::filesystem::path executable;
        std::filesystem::path directory;
    };
    const std::vector<Case> cases {
        { "missing executable", path("no-such-claude"), m_folder.path() },
        { "not executable", notExecutable, m_folder.path() },
        { "missing working folder", shellFake("exit 0"), path("no-such-folder") },
    };
    auto threadsBefore = entriesIn("/proc/self/task");
    auto descriptorsBefore = entriesIn("/proc/self/fd");
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::atomic<int> watchdogTicks = 0;
        auto run = launch(testCase.executable);
        run.directory = testCase.directory;
        run.timeLimit = 0; // a time-limit timer that started would stop at once
        run.waiting = [&] {
            ++watchdogTicks;
            return ClaudeProcess::Waiting {};
        };
        ClaudeProcess process;
        try {
            process.start(run);
            ADD_FAILURE() << "start did not fail";
        } catch (const RelayHTTPError& error) {
            EXPECT_EQ(error,
                RelayHTTPError(503, "claude_unavailable", "Claude Code could not be started on the Mac."));
        }
        process.cancel(); // harmless after a failed start
        EXPECT_EQ(watchdogTicks, 0);
    }
    EXPECT_EQ(entriesIn("/proc/self/task"), threadsBefore);
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptorsBefore);
}

TEST_F(ClaudeProcessTest, PipesThatCannotBeMadeFailWith500AndLeakNoDescriptorWithFakeClaude)
{
    auto executable = shellFake("exit 0");
    auto descriptorsBefore = entriesIn("/proc/self/fd");
    int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);

    rlimit original {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    // Room for a pipe or two, never for all three.
    rlimit tight = original;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree + 3);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::optional<RelayHTTPError> failure;
    try {
        ClaudeProcess().start(launch(executable));
    } catch (const RelayHTTPError& error) {
        failure = error;
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);

    ASSERT_TRUE(failure);
    EXPECT_EQ(*failure, RelayHTTPError(500, "internal", "Could not start Claude Code."));
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptorsBefore);
}

TEST_F(ClaudeProcessTest, EventsArriveInTheOrderOfTheLinesWithFakeClaude)
{
    // CRLF, blank and non-JSON lines in between; the last line has no line feed.
    std::string output = std::string(kInitLine) + "\r\n\n" + "not json\n" + toolCallLine("Bash") + "\n"
        + R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"toolu_1"}]}})" + "\n"
        + std::string(kCompactLine);
    std::ofstream(path("output")) << output;
    ClaudeProcess process;
    auto outcome = process.start(launch(shellFake("cat output")));

    EXPECT_THAT(m_events,
        ElementsAre(RunnerEvent::preparing(), RunnerEvent::tool("Bash"), RunnerEvent::thinking(),
            RunnerEvent::compacting()));
    EXPECT_EQ(outcome.parser.eventCount(), 4);
    EXPECT_EQ(outcome.parser.sessionID(), "fake-session-0001");
    EXPECT_TRUE(outcome.parser.compacted());
    ASSERT_EQ(outcome.parser.tools().size(), 1u);
    EXPECT_EQ(outcome.parser.tools()[0].status, "ok");
    EXPECT_EQ(outcome.status, 0);
}

TEST_F(ClaudeProcessTest, LineOf200000BytesInFourWritesIsOneLineWithFakeClaude)
{
    auto run = launch(pythonFake(R"(
text = "".join(chr(ord("a") + i % 26) for i in range(199900))
line = ('{"type":"assistant","message":{"content":[{"type":"text","text":"%s"}]}}\n' % text).encode()
quarter = len(line) // 4
for part in (line[:quarter], line[quarter:2 * quarter], line[2 * quarter:3 * quarter], line[3 * quarter:]):
    os.write(1, part)
    time.sleep(0.05)
)"));
    ClaudeProcess process;
    auto outcome = process.start(run);

    std::string expected;
    for (int i = 0; i < 199900; ++i)
        expected.push_back(static_cast<char>('a' + i % 26));
    EXPECT_EQ(outcome.parser.lastAssistantText(), expected);
    EXPECT_THAT(m_events, ElementsAre(RunnerEvent::writing()));
    EXPECT_FALSE(outcome.outputTooLarge);
}

TEST_F(ClaudeProcessTest, LineOfExactlyTheLimitIsAcceptedWithFakeClaude)
{
    auto run = launch(pythonFake(R"(
head, tail = b'{"type":"result","subtype":"success","result":"', b'"}'
filler = 33554432 - len(head) - len(tail)
os.write(1, head + b"x" * filler + tail)
time.sleep(0.2)
os.write(1, b"\n")
)"));
    ClaudeProcess process;
    auto outcome = process.start(run);

    EXPECT_FALSE(outcome.outputTooLarge);
    EXPECT_FALSE(outcome.stopReason);
    ASSERT_TRUE(outcome.parser.final());
    // Less the 47 bytes before the text and the 2 after it.
    EXPECT_EQ(outcome.parser.final()->text, std::string(ClaudeProcess::outputLineLimitBytes - 47 - 2, 'x'));
    EXPECT_EQ(outcome.status, 0);
}

TEST_F(ClaudeProcessTest, LineOverTheLimitIsDroppedAndCancelsTheRunWithFakeClaude)
{
    // The fake writes one byte too many, then waits for the SIGTERM that the overflow causes. Only
    // then does it finish the long line with what would be an event on its own, and add one real line.
    auto run = launch(pythonFake(R"(
def finish(signum, frame):
    os.write(1, b'{"type":"system","subtype":"init"}\n{"type":"system","subtype":"compact_boundary"}\n')
    os._exit(0)
signal.signal(signal.SIGTERM, finish)
data = b"x" * 33554433
while data:
    data = data[os.write(1, data):]
while True:
    signal.pause()
)"));
    ClaudeProcess process;
    auto outcome = process.start(run);

    EXPECT_TRUE(outcome.outputTooLarge);
    EXPECT_EQ(outcome.stopReason, StopReason::cancelled());
    EXPECT_EQ(outcome.status, 0);
    // The rest of the dropped line is not taken for a line; the next complete one still counts.
    EXPECT_THAT(m_events, ElementsAre(RunnerEvent::compacting()));
    EXPECT_EQ(outcome.parser.eventCount(), 1);
}

TEST_F(ClaudeProcessTest, StandardErrorKeepsItsLast4096BytesWithFakeClaude)
{
    // 10,000 bytes in which the tail's first byte falls inside the three bytes of a euro sign.
    auto run = launch(pythonFake(R"(
data = b"a" * 5903 + "\u20ac".encode() + b"b" * 4094
assert len(data) == 10000
for start in range(0, len(data), 1000):
    os.write(2, data[start:start + 1000])
)"));
    ClaudeProcess process;
    auto outcome = process.start(run);

    // The two orphaned continuation bytes are each one U+FFFD.
    EXPECT_EQ(outcome.stderrTail, "\xEF\xBF\xBD\xEF\xBF\xBD" + std::string(4094, 'b'));
}

TEST_F(ClaudeProcessTest, StallLimitsStopTheRunOnlyWhenNothingExcusesTheSilenceWithFakeClaude)
{
    auto sleepAfter
        = [](std::string_view line) { return "echo '" + std::string(line) + "'\nexec sleep 100"; };
    auto never = [] { return ClaudeProcess::Waiting {}; };
    auto questionOpen
        = [] { return ClaudeProcess::Waiting { .questionPending = true, .resumedAt = std::nullopt }; };
    auto answeredJustNow = [] {
        return ClaudeProcess::Waiting { .questionPending = false,
            .resumedAt = ClaudeProcess::WallClock::now() };
    };
    auto answeredLongAgo = [] {
        return ClaudeProcess::Waiting { .questionPending = false,
            .resumedAt = ClaudeProcess::WallClock::time_point {} };
    };
    struct Case {
        const char* name;
        std::string script;
        ClaudeProcess::StallLimits stall;
        std::function<ClaudeProcess::Waiting()> waiting;
        StopReason expected;
    };
    // Every limit that must not fire is far beyond the short ones that decide the case.
    const std::vector<Case> cases {
        { "no line at all", "exec sleep 100", { .startup = 1, .fileTool = 100, .idle = 100 }, never,
            StopReason::stalled("startup") },
        { "startup 0 stops at the first tick", "exec sleep 100",
            { .startup = 0, .fileTool = 100, .idle = 100 }, never, StopReason::stalled("startup") },
        { "silence after a line", sleepAfter(kInitLine), { .startup = 100, .fileTool = 100, .idle = 1 },
            never, StopReason::stalled("idle") },
        { "file tool without result", sleepAfter(toolCallLine("Read")),
            { .startup = 100, .fileTool = 1, .idle = 100 }, never, StopReason::stalled("fileTool") },
        { "shell command without result", sleepAfter(toolCallLine("Bash")),
            { .startup = 1, .fileTool = 1, .idle = 1 }, never, StopReason::timeLimit() },
        { "question open before any line", "exec sleep 100", { .startup = 1, .fileTool = 1, .idle = 1 },
            questionOpen, StopReason::timeLimit() },
        { "question open during a file tool", sleepAfter(toolCallLine("Read")),
            { .startup = 1, .fileTool = 1, .idle = 1 }, questionOpen, StopReason::timeLimit() },
        { "idle counts from a later answer", sleepAfter(kInitLine),
            { .startup = 100, .fileTool = 100, .idle = 1 }, answeredJustNow, StopReason::timeLimit() },
        { "file tool counts from a later answer", sleepAfter(toolCallLine("Grep")),
            { .startup = 100, .fileTool = 1, .idle = 100 }, answeredJustNow, StopReason::timeLimit() },
        { "an earlier answer does not excuse silence", sleepAfter(kInitLine),
            { .startup = 100, .fileTool = 100, .idle = 1 }, answeredLongAgo, StopReason::stalled("idle") },
        { "idle 0 turns the idle stall off", sleepAfter(kInitLine),
            { .startup = 100, .fileTool = 100, .idle = 0 }, never, StopReason::timeLimit() },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto run = launch(shellFake(testCase.script));
        run.stall = testCase.stall;
        run.timeLimit = 3;
        run.waiting = testCase.waiting;
        ClaudeProcess process;
        auto outcome = process.start(run);
        EXPECT_EQ(outcome.stopReason, testCase.expected);
        EXPECT_EQ(outcome.status, 128 + SIGTERM);
    }
}

TEST_F(ClaudeProcessTest, EmptyLinesCountAsActivityWithFakeClaude)
{
    auto run = launch(shellFake("for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do echo; sleep 0.2; done"));
    run.stall = { .startup = 2, .fileTool = 2, .idle = 2 };
    ClaudeProcess process;
    auto outcome = process.start(run);

    EXPECT_FALSE(outcome.stopReason);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.parser.eventCount(), 0);
}

TEST_F(ClaudeProcessTest, CancelledChildThatIgnoresSIGTERMIsKilledWithFakeClaude)
{
    auto run = launch(pythonFake(R"(
signal.signal(signal.SIGTERM, signal.SIG_IGN)
open("pid", "w").write(str(os.getpid()))
print('{"type":"system","subtype":"init"}', flush=True)
while True:
    time.sleep(100)
)"));
    ClaudeProcess process;
    run.onEvent = [&](const RunnerEvent&) { process.cancel(); };
    auto began = std::chrono::steady_clock::now();
    auto outcome = process.start(run);
    auto took = std::chrono::steady_clock::now() - began;

    EXPECT_EQ(outcome.stopReason, StopReason::cancelled());
    EXPECT_EQ(outcome.status, 128 + SIGKILL);
    EXPECT_TRUE(processIsGone(pidFromFile(path("pid"))));
    EXPECT_GE(took, 5s); // SIGTERM was ignored, so only the delayed SIGKILL can have ended it
    EXPECT_LT(took, 60s);
}

TEST_F(ClaudeProcessTest, CancelBeforeStartStopsTheChildOnceItExistsWithFakeClaude)
{
    auto run = launch(shellFake("exec sleep 100"));
    ClaudeProcess process;
    process.cancel();
    auto outcome = process.start(run);

    EXPECT_EQ(outcome.stopReason, StopReason::cancelled());
    EXPECT_THAT(outcome.status, ::testing::AnyOf(128 + SIGTERM, 128 + SIGKILL));
}

TEST_F(ClaudeProcessTest, FirstStopReasonWinsWithFakeClaude)
{
    // The time limit's SIGTERM makes the fake print a line; the cancel that the line prompts comes
    // second and changes nothing. The second SIGTERM ends the fake.
    auto run = launch(pythonFake(R"(
terms = 0
def onTerm(signum, frame):
    global terms
    terms += 1
    if terms == 1:
        print('{"type":"system","subtype":"init"}', flush=True)
    else:
        os._exit(9)
signal.signal(signal.SIGTERM, onTerm)
while True:
    signal.pause()
)"));
    run.timeLimit = 1;
    ClaudeProcess process;
    run.onEvent = [&](const RunnerEvent&) { process.cancel(); };
    auto outcome = process.start(run);

    EXPECT_EQ(outcome.stopReason, StopReason::timeLimit());
    EXPECT_EQ(outcome.status, 9);
}

TEST_F(ClaudeProcessTest, CancelFromManyThreadsWhileRunningWithFakeClaude)
{
    auto run = launch(shellFake("echo '" + std::string(kInitLine) + "'\nexec sleep 100"));
    ClaudeProcess process;
    std::atomic<bool> over = false;
    std::vector<std::thread> cancellers;
    for (int i = 0; i < 8; ++i) {
        cancellers.emplace_back([&] {
            while (!over)
                process.cancel();
        });
    }
    auto outcome = process.start(run);
    over = true;
    for (auto& thread : cancellers)
        thread.join();
    process.cancel(); // after the run, too

    EXPECT_EQ(outcome.stopReason, StopReason::cancelled());
    EXPECT_THAT(outcome.status, ::testing::AnyOf(128 + SIGTERM, 128 + SIGKILL));
}

TEST_F(ClaudeProcessTest, DescendantHoldingAnOutputIsKilledAfterTheLeaderExitsWithFakeClaude)
{
    struct Case {
        const char* name;
        const char* redirect;
        // The descendant's line reaches us only through standard output.
        std::optional<StopReason> stopReason;
    };
    const std::vector<Case> cases {
        { "standard output", "2>/dev/null", StopReason::cancelled() },
        { "standard error", ">/dev/null", std::nullopt },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::filesystem::remove(path("ready"));
        // The descendant ignores SIGTERM (the leader waits until it does), waits until the leader has
        // been reaped, and then prints a line that makes the test cancel: after the exit, that only
        // records the reason.
        auto run = launch(shellFake(
            std::string("(trap '' TERM; touch ready; while kill -0 $$ 2>/dev/null; do sleep 0.05; done; ")
            + "echo '" + std::string(kInitLine) + "'; exec sleep 100) " + testCase.redirect
            + " &\necho $! > descendant\nwhile [ ! -e ready ]; do sleep 0.01; done\nexit 4"));
        ClaudeProcess process;
        run.onEvent = [&](const RunnerEvent&) { process.cancel(); };
        auto began = std::chrono::steady_clock::now();
        auto outcome = process.start(run);
        auto took = std::chrono::steady_clock::now() - began;

        EXPECT_EQ(outcome.status, 4);
        EXPECT_EQ(outcome.stopReason, testCase.stopReason);
        EXPECT_TRUE(processIsGone(pidFromFile(path("descendant"))));
        EXPECT_GE(took, 3s);
        EXPECT_LT(took, 60s);
    }
}

TEST_F(ClaudeProcessTest, ChildGetsOnlyItsPipesItsFolderAndItsEnvironmentWithFakeClaude)
{
    // Inheritable on purpose: no descriptor, ignored signal or blocked signal of ours may reach the
    // child.
    int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);
    sigset_t usr2;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &usr2, &previousMask);
    auto previousUsr1 = signal(SIGUSR1, SIG_IGN);

    auto run = launch(pythonFake(R"(
def is_open(fd):
    try:
        os.fstat(fd)
        return True
    except OSError:
        return False
fds = [fd for fd in range(0, 1024) if is_open(fd)]
status = dict(line.split(":\t", 1) for line in open("/proc/self/status").read().splitlines() if ":\t" in line)
usr1, usr2 = 1 << (signal.SIGUSR1 - 1), 1 << (signal.SIGUSR2 - 1)
report = [
    "fds=" + ",".join(map(str, fds)),
    "leads its group=" + str(os.getpgid(0) == os.getpid()),
    "cwd=" + os.getcwd(),
    "env=" + ";".join("%s=%s" % item for item in sorted(os.environ.items())),
    "argv=" + "|".join(sys.argv[1:]),
    "usr1 ignored=" + str(int(status["SigIgn"], 16) & usr1 != 0),
    "usr2 blocked=" + str(int(status["SigBlk"], 16) & usr2 != 0),
]
open("report", "w").write("\n".join(report) + "\n")
)"));
    run.arguments = { "-p", "two words", "" };
    run.environment = { { "PATH", "/usr/bin:/bin" }, { "LANG", "C.UTF-8" }, { "EMPTY", "" } };
    ClaudeProcess process;
    auto outcome = process.start(run);

    signal(SIGUSR1, previousUsr1);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    close(stray);

    EXPECT_EQ(outcome.status, 0) << outcome.stderrTail;
    EXPECT_EQ(test::readFile(path("report")),
        "fds=0,1,2\n"
        "leads its group=True\n"
        "cwd="
            + m_folder.path().string()
            + "\n"
              "env=EMPTY=;LANG=C.UTF-8;PATH=/usr/bin:/bin\n"
              "argv=-p|two words|\n"
              "usr1 ignored=False\n"
              "usr2 blocked=False\n");
}

TEST_F(ClaudeProcessTest, MegabytePromptArrivesWholeWithFakeClaude)
{
    std::string prompt;
    prompt.reserve(1 << 20);
    for (std::size_t i = 0; prompt.size() < (1u << 20); ++i)
        prompt += "line " + std::to_string(i) + " \xE2\x82\xAC\n";
    auto expected = test::runPeer({ "sha256sum" }, prompt).output.substr(0, 64);

    // The fake reads slowly, so the prompt has to wait in the pipe while output flows.
    auto run = launch(pythonFake(R"(
import hashlib
digest = hashlib.sha256()
while True:
    chunk = sys.stdin.buffer.read1(4096)
    if not chunk:
        break
    digest.update(chunk)
    os.write(1, b"\n")
print('{"type":"result","subtype":"success","result":"%s"}' % digest.hexdigest(), flush=True)
)"));
    run.input = prompt;
    ClaudeProcess process;
    auto outcome = process.start(run);

    ASSERT_TRUE(outcome.parser.final());
    EXPECT_EQ(outcome.parser.final()->text, expected);
}

TEST_F(ClaudeProcessTest, ChildClosingItsInputEarlyDoesNotRaiseSIGPIPEWithFakeClaude)
{
    // The prompt is far larger than the pipe; the fake closes its input after one byte, while the
    // writer still has most of the prompt to go, and stays a moment so the write meets a closed pipe.
    auto run = launch(shellFake("head -c 1 >/dev/null\nexec 0<&-\nsleep 1\nexit 7"));
    run.input = std::string(4 << 20, 'p');
    ClaudeProcess process;
    auto outcome = process.start(run);

    // Reaching this line at all is the point: SIGPIPE's default action would have ended the test.
    EXPECT_EQ(outcome.status, 7);
}

TEST_F(ClaudeProcessTest, FailedWaitIsNoSuccessWithFakeClaude)
{
    // With SIGCHLD ignored the kernel reaps the child itself, so waiting for it fails with ECHILD.
    auto previous = signal(SIGCHLD, SIG_IGN);
    ClaudeProcess process;
    auto outcome = process.start(launch(shellFake("exit 0")));
    signal(SIGCHLD, previous);

    EXPECT_EQ(outcome.status, ClaudeProcess::waitFailedStatus);
    EXPECT_NE(outcome.status, 0);
}

TEST_F(ClaudeProcessTest, RunLeavesNoDescriptorOrThreadBehindWithFakeClaude)
{
    auto threadsBefore = entriesIn("/proc/self/task");
    auto descriptorsBefore = entriesIn("/proc/self/fd");
    for (const char* script : { "exit 0", "cat >/dev/null", "exec sleep 100" }) {
        SCOPED_TRACE(script);
        auto run = launch(shellFake(script));
        run.input = std::string(200'000, 'i');
        run.timeLimit = 1;
        ClaudeProcess process;
        process.start(run);
    }
    EXPECT_EQ(entriesIn("/proc/self/task"), threadsBefore);
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptorsBefore);
}

TEST_F(ClaudeProcessTest, RealClaudeCodeRunYieldsReplySessionAndUsage)
{
    auto claude = test::realClaudeExecutable();
    ASSERT_TRUE(std::filesystem::exists(claude)) << "run scripts/setup to install the test peers";
    test::ScriptedModel model(path("model"), R"([{"text": "Hello from the scripted model."}])");
    std::filesystem::create_directory(path("work"));

    auto run = launch(claude);
    run.directory = path("work");
    // What a headless run needs offline; the flags keep the CLI to the tools of a reply run.
    run.arguments = { "-p", "--output-format", "stream-json", "--verbose", "--restricted", "--tools",
        "Read Glob Grep Write Edit Bash", "--strict-mcp-config", "--permission-mode", "manual",
        "--permission-prompts", "none", "--disable-slash-commands", "--system-prompt-snapshot", "off" };
    run.environment = model.claudeEnvironment(path("home"));
    run.input = "Say hello.";
    ClaudeProcess process;
    auto outcome = process.start(run);

    ASSERT_EQ(outcome.status, 0) << outcome.stderrTail;
    EXPECT_FALSE(outcome.stopReason);
    ASSERT_TRUE(outcome.parser.final());
    EXPECT_EQ(outcome.parser.final()->text, "Hello from the scripted model.");
    EXPECT_FALSE(outcome.parser.final()->isError);
    ASSERT_TRUE(outcome.parser.sessionID());
    EXPECT_TRUE(isValidSessionID(*outcome.parser.sessionID()));
    // The endpoint's message_start announced 12 input tokens and 1 output token.
    EXPECT_EQ(outcome.parser.contextTokens(), 13);
    EXPECT_GT(outcome.parser.contextWindow().value_or(0), 0);
    EXPECT_EQ(outcome.parser.lastAssistantText(), "Hello from the scripted model.");
    ASSERT_FALSE(m_events.empty());
    EXPECT_EQ(m_events.front(), RunnerEvent::preparing());
    EXPECT_THAT(m_events, ::testing::Contains(RunnerEvent::writing()));
}

}
