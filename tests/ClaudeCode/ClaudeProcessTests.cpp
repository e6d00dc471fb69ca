// The supervisor against small stand-ins for `claude` (shell and python3 scripts written into a
// temporary folder, hence the "WithFakeClaude" names), each built to provoke one behaviour that the
// real CLI cannot be made to show on demand. Runs of the real CLI are in ClaudeInvocationRealCLITests.
#include "VellumarMacCore/ClaudeCode/ClaudeProcess.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/ClaudeCode/ParserSummary.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>
#include <unistd.h>

using namespace vellumar;

namespace {

using namespace std::chrono_literals;
using StopReason = ClaudeProcess::StopReason;
using Events = std::vector<RunnerEvent>;

constexpr std::string_view kInitLine
    = R"({"type":"system","subtype":"init","session_id":"fake-session-0001"})";

std::string toolCallLine(std::string_view name)
{
    return R"({"type":"assistant","message":{"content":[{"type":"tool_use","id":"toolu_1","name":")"
        + std::string(name) + R"(","input":{"file_path":"/tmp/x","command":"true"}}]}})";
}

std::size_t entriesIn(const std::filesystem::path& folder)
{
    return std::distance(std::filesystem::directory_iterator(folder), {});
}

// Polls until `condition` holds, for 30 s at most; whether it held.
bool eventually(const std::function<bool()>& condition)
{
    for (auto deadline = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < deadline;
         std::this_thread::yield()) {
        if (condition())
            return true;
    }
    return false;
}

// Gone means no process, or a zombie that nobody reaps in this container: it runs no code either way.
bool processIsGone(const std::filesystem::path& pidFile)
{
    // As a shell's `echo` writes it.
    std::string pid = test::readFile(pidFile);
    return !pid.empty() && test::processEndsWithin(30, std::stoi(pid));
}

// Threads and descriptors of this process.
std::pair<std::size_t, std::size_t> processEntries()
{
    return { entriesIn("/proc/self/task"), entriesIn("/proc/self/fd") };
}

bool endedBySignal(std::int32_t status) { return status == 128 + SIGTERM || status == 128 + SIGKILL; }

class ClaudeProcessTest : public ::testing::Test {
protected:
    // No run may leave a thread or a descriptor behind. A joined thread's entry can outlive the join
    // for a moment, so the counts are compared once they settle.
    void SetUp() override
    {
        // ThreadSanitizer starts a helper thread of its own beside the process's first other thread; one
        // started and ended here has the helper counted before the run rather than against it.
        pid_t first = 0;
        std::thread([&] { first = gettid(); }).join();
        eventually([&] { return !std::filesystem::exists("/proc/self/task/" + std::to_string(first)); });
        m_before = processEntries();
    }
    void TearDown() override
    {
        eventually([&] { return processEntries() == m_before; });
        EXPECT_EQ(processEntries(), m_before);
    }

    // A fake `claude` in the test's folder, which is also the child's working folder.
    std::filesystem::path fake(const std::string& body, const std::string& name = "claude")
    {
        test::writeExecutable(path(name), (body.starts_with("#!") ? "" : "#!/bin/sh\n") + body + "\n");
        return path(name);
    }
    std::filesystem::path pythonFake(const std::string& body)
    {
        return fake("#!/usr/bin/python3\nimport os, sys, signal, time\n" + body);
    }

    // Starts `claude` under a host process, which is killed with SIGKILL once the fake has written its
    // pid to "leader" (and what it started in its group to "helper"); both must be gone afterwards.
    void killHostOf(const std::filesystem::path& claude)
    {
        test::InteractivePeer host({ VELLUMAR_CLAUDE_PROCESS_HOST, m_folder.path().string(), "",
            "PATH=/usr/bin:/bin", "--", claude.string() });
        ASSERT_TRUE(eventually([&] { return test::readFile(path("leader")).ends_with('\n'); }));
        host.kill();
        EXPECT_EQ(host.wait(), 128 + SIGKILL);
        EXPECT_TRUE(processIsGone(path("leader")));
        EXPECT_TRUE(processIsGone(path("helper")));
    }

    ClaudeProcess::Launch launch(std::filesystem::path executable)
    {
        return { .executable = std::move(executable),
            .directory = m_folder.path(),
            .environment = { { "PATH", "/usr/bin:/bin" } },
            .timeLimit = 120,
            .stall = { 120, 120, 120 },
            .onEvent = [this](const RunnerEvent& event) { m_events.push_back(event); } };
    }

    // Runs to the end; a run that outlives `bound` fails the test and is cancelled, so that a fault
    // which keeps a child alive cannot hang the suite.
    static ClaudeProcess::Outcome run(
        ClaudeProcess& process, const ClaudeProcess::Launch& launch, std::chrono::seconds bound = 60s)
    {
        auto outcome = std::async(std::launch::async, [&] { return process.start(launch); });
        if (outcome.wait_for(bound) != std::future_status::ready) {
            ADD_FAILURE() << "the run outlived " << bound.count() << " s";
            process.cancel();
        }
        return outcome.get();
    }

    std::filesystem::path path(const std::string& name) const { return m_folder / name; }

    test::TemporaryFolder m_folder;
    // Appended to on the reader thread only; read after `start` has joined it.
    Events m_events;
    std::pair<std::size_t, std::size_t> m_before;
};

TEST_F(ClaudeProcessTest, ChildThatCannotStartFailsWithFakeClaude)
{
    const RelayHTTPError unavailable(
        503, "claude_unavailable", "Claude Code could not be started on the Mac.");
    for (auto [executable, directory] : { std::pair(path("no-such-claude"), m_folder.path()),
             std::pair(fake("exit 0"), path("no-such-folder")) }) {
        auto unstartable = launch(executable);
        unstartable.directory = directory;
        ClaudeProcess process;
        EXPECT_EQ(test::thrown<RelayHTTPError>([&] { process.start(unstartable); }), unavailable);
    }
}

TEST_F(ClaudeProcessTest, PromptAndLinesOfEveryEndingAndSizeArriveWholeWithFakeClaude)
{
    // CRLF, blank and non-JSON lines; a line of 200,000 bytes, which the pipe splits; no final line
    // feed. The fake reads the megabyte prompt slowly, so it has to wait in the pipe while output
    // flows, and answers its digest.
    std::string prompt;
    for (std::size_t i = 0; prompt.size() < (1u << 20); ++i)
        prompt += "line " + std::to_string(i) + " \xE2\x82\xAC\n";
    std::string text;
    for (int i = 0; i < 200'000; ++i)
        text.push_back(static_cast<char>('a' + i % 26));
    test::writeBytes(path("output"),
        std::string(kInitLine) + "\r\n\nnot json\n" + toolCallLine("Bash") + "\n"
            + R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"toolu_1"}]}})"
            + "\n" + R"({"type":"assistant","message":{"content":[{"type":"text","text":")" + text
            + "\"}]}}\n" + R"({"type":"result","subtype":"success","result":"DIGEST"})" + "\n"
            + R"({"type":"system","subtype":"compact_boundary"})");
    auto reading = launch(pythonFake(R"(
import hashlib
digest = hashlib.sha256()
while chunk := sys.stdin.buffer.read1(4096):
    digest.update(chunk)
    os.write(1, b"\n")
os.write(1, open("output", "rb").read().replace(b"DIGEST", digest.hexdigest().encode()))
)"));
    reading.input = prompt;
    ClaudeProcess process;
    auto outcome = run(process, reading);

    EXPECT_EQ(outcome.status, 0) << outcome.stderrTail;
    EXPECT_EQ(test::parserSummary(m_events, outcome.parser),
        "preparing tool(Bash) thinking writing compacting | n=6 session=fake-session-0001 final="
            + test::runPeer({ "sha256sum" }, prompt).output.substr(0, 64)
            + "/ok/success tool=toolu_1/Bash/command/true/ok/{\"command\":\"true\",\"file_path\":\"/tmp/x\"} "
              "compacted text="
            + text + " waiting=" + text);
}

TEST_F(ClaudeProcessTest, LineOfTheLimitIsKeptAndALongerOneDroppedAndCancelsTheRunWithFakeClaude)
{
    // The first line is exactly the limit, and stays that long a moment before its line feed. The
    // second is one byte too long; the fake waits for the SIGTERM that the overflow causes and only
    // then finishes the long line with what would be an event on its own, and adds one real line.
    ClaudeProcess process;
    auto outcome = run(process, launch(pythonFake(R"(
import fcntl, termios, struct
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
head, tail = b'{"type":"result","subtype":"success","result":"', b'"}'
os.write(1, head + b"x" * (33554432 - len(head) - len(tail)) + tail)
while struct.unpack("i", fcntl.ioctl(1, termios.FIONREAD, b"\0\0\0\0"))[0] > 0:
    time.sleep(0.01)
os.write(1, b"\n")
data = b"x" * 33554433
while data:
    data = data[os.write(1, data):]
signal.sigwait({signal.SIGTERM})
os.write(1, b'{"type":"system","subtype":"init"}\n{"type":"system","subtype":"compact_boundary"}\n')
)")));

    EXPECT_TRUE(outcome.outputTooLarge);
    EXPECT_EQ(outcome.stopReason, StopReason::cancelled());
    EXPECT_EQ(outcome.status, 0) << outcome.stderrTail;
    // Less the 47 bytes before the text and the 2 after it.
    ASSERT_TRUE(outcome.parser.final());
    EXPECT_EQ(outcome.parser.final()->text, std::string(ClaudeProcess::outputLineLimitBytes - 47 - 2, 'x'));
    // The rest of the dropped line is not taken for a line; the next complete one still counts.
    EXPECT_EQ(m_events, Events { RunnerEvent::compacting() });
    EXPECT_EQ(outcome.parser.eventCount(), 2);
}

TEST_F(ClaudeProcessTest, StallLimitsStopTheRunOnlyWhenNothingExcusesTheSilenceWithFakeClaude)
{
    using Waiting = ClaudeProcess::Waiting;
    auto after = [](std::string_view line) { return "echo '" + std::string(line) + "'\nexec sleep 100"; };
    auto never = [] { return Waiting {}; };
    auto questionOpen = [] { return Waiting { .questionPending = true, .resumedAt = {} }; };
    auto answeredJustNow
        = [] { return Waiting { .questionPending = false, .resumedAt = ClaudeProcess::WallClock::now() }; };
    struct Case {
        const char* name;
        std::string script;
        ClaudeProcess::StallLimits stall;
        std::function<ClaudeProcess::Waiting()> waiting;
        std::optional<StopReason> expected;
    };
    // Every limit that must not fire is far beyond the short ones that decide the case.
    const std::vector<Case> cases {
        { "no line at all", "exec sleep 100", { 1, 100, 100 }, never, StopReason::stalled("startup") },
        { "silence after a line", after(kInitLine), { 100, 100, 1 }, never, StopReason::stalled("idle") },
        { "file tool without result", after(toolCallLine("Read")), { 100, 1, 100 }, never,
            StopReason::stalled("fileTool") },
        { "question open", "exec sleep 100", { 1, 1, 1 }, questionOpen, StopReason::timeLimit() },
        { "idle counts from a later answer", after(kInitLine), { 100, 100, 1 }, answeredJustNow,
            StopReason::timeLimit() },
        { "empty lines count as activity", "for i in 1 2 3 4 5 6 7 8 9 10; do echo; sleep 0.2; done",
            { 2, 2, 2 }, never, std::nullopt },
    };
    // The runs go at once, once all are written (a script still open for writing in a child that
    // another run forked meanwhile cannot be started); each is given a prompt it never reads, which
    // its end must call off.
    std::vector<ClaudeProcess::Launch> launches;
    for (std::size_t index = 0; index < cases.size(); ++index) {
        launches.push_back(launch(fake(cases[index].script, "claude-" + std::to_string(index))));
        launches.back().stall = cases[index].stall;
        launches.back().timeLimit = 6;
        // Where no time limit is expected its clock stands still: a slow start must not end the run first.
        if (cases[index].expected != StopReason::timeLimit())
            launches.back().clock = [] { return std::chrono::steady_clock::time_point(); };
        launches.back().waiting = cases[index].waiting;
        launches.back().onEvent = nullptr;
        launches.back().input = std::string(200'000, 'i');
    }
    std::vector<std::future<ClaudeProcess::Outcome>> outcomes;
    for (const auto& stalling : launches) {
        outcomes.push_back(std::async(std::launch::async, [&stalling] {
            ClaudeProcess process;
            return run(process, stalling);
        }));
    }
    for (std::size_t index = 0; index < cases.size(); ++index) {
        SCOPED_TRACE(cases[index].name);
        auto outcome = outcomes[index].get();
        EXPECT_EQ(outcome.stopReason, cases[index].expected);
        EXPECT_EQ(outcome.status, cases[index].expected ? 128 + SIGTERM : 0);
    }
}

TEST_F(ClaudeProcessTest, StoppedChildThatIgnoresSIGTERMIsKilledAndTheFirstReasonWinsWithFakeClaude)
{
    // The time limit's SIGTERM makes the fake print a line; the cancel that the line prompts comes
    // second and changes the reason no more than the fake, which ignores every later SIGTERM. The limit's
    // clock stands still until the fake has blocked SIGTERM, however long its start takes.
    auto stubborn = launch(pythonFake(R"(
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
open("pid", "w").write(str(os.getpid()))
signal.sigwait({signal.SIGTERM})
print('{"type":"system","subtype":"init"}', flush=True)
while True:
    time.sleep(100)
)"));
    stubborn.timeLimit = 1;
    stubborn.clock = [&] {
        return std::chrono::steady_clock::time_point(std::filesystem::exists(path("pid")) ? 1h : 0h);
    };
    ClaudeProcess process;
    stubborn.onEvent = [&](const RunnerEvent&) { process.cancel(); };
    auto outcome = run(process, stubborn);

    EXPECT_EQ(outcome.stopReason, StopReason::timeLimit());
    EXPECT_EQ(outcome.status, 128 + SIGKILL);
    EXPECT_TRUE(processIsGone(path("pid")));
}

TEST_F(ClaudeProcessTest, CancelBeforeStartStopsTheChildOnceItExistsWithFakeClaude)
{
    ClaudeProcess process;
    process.cancel();
    auto outcome = run(process, launch(fake("exec sleep 100")), 30s);

    EXPECT_EQ(outcome.stopReason, StopReason::cancelled());
    EXPECT_TRUE(endedBySignal(outcome.status)) << outcome.status;
}

// What must stand before the model's first turn is made while the child starts, for as long as it takes: the
// child is running when it is made and has only the first character of its input until after, and a tool
// result it reports before then is not handed on. One that cannot be made stops the child before it sees the
// end of its input.
TEST_F(ClaudeProcessTest, InputWaitsForWhatMustStandBeforeItWithFakeClaude)
{
    const std::string resultLine
        = R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"toolu_1"}]}})";
    for (bool made : { true, false }) {
        SCOPED_TRACE(made ? "made" : "cannot be made");
        std::filesystem::remove(path("read"));
        std::filesystem::remove(path("ended"));
        auto starting = launch(fake("echo '" + toolCallLine("Bash") + "'\necho '" + resultLine
            + "'\ntouch started\ncat > read\ntouch ended\necho '" + resultLine + "'"));
        starting.input = "\u00e9t\u00e9 prompt";
        std::atomic<int> events = 0;
        std::atomic<bool> ready = false;
        std::atomic<int> resultsHandedOn = 0;
        std::atomic<int> resultsBeforeReady = 0;
        starting.onEvent = [&](const RunnerEvent&) { ++events; };
        starting.afterToolResult = [&] {
            ++resultsHandedOn;
            resultsBeforeReady += !ready;
        };
        starting.beforeInput = [&] {
            EXPECT_TRUE(eventually([&] { return std::filesystem::exists(path("started")) && events >= 2; }));
            EXPECT_TRUE(eventually([&] { return test::readFile(path("read")) == "\u00e9"; }));
            EXPECT_FALSE(std::filesystem::exists(path("ended")));
            if (!made)
                throw std::runtime_error("cannot be made");
            ready = true;
        };
        ClaudeProcess process;
        auto outcome = run(process, starting);

        EXPECT_EQ(resultsBeforeReady, 0);
        if (made) {
            EXPECT_EQ(outcome.status, 0) << outcome.stderrTail;
            EXPECT_EQ(outcome.stopReason, std::nullopt);
            EXPECT_EQ(test::readFile(path("read")), "\u00e9t\u00e9 prompt");
            EXPECT_EQ(resultsHandedOn, 1);
        } else {
            EXPECT_EQ(outcome.stopReason, StopReason::cancelled());
            EXPECT_FALSE(std::filesystem::exists(path("ended")));
            EXPECT_EQ(resultsHandedOn, 0);
        }
    }
}

TEST_F(ClaudeProcessTest, CancelFromManyThreadsWhileRunningWithFakeClaude)
{
    auto running = launch(fake("echo '" + std::string(kInitLine) + "'\nexec sleep 100"));
    ClaudeProcess process;
    std::atomic<bool> over = false;
    std::vector<std::jthread> cancellers;
    for (int i = 0; i < 8; ++i) {
        cancellers.emplace_back([&] {
            while (!over)
                process.cancel();
        });
    }
    auto outcome = run(process, running);
    over = true;
    cancellers.clear();
    process.cancel(); // after the run, too

    EXPECT_EQ(outcome.stopReason, StopReason::cancelled());
    EXPECT_TRUE(endedBySignal(outcome.status)) << outcome.status;
}

TEST_F(ClaudeProcessTest, DescendantHoldingOnlyStandardErrorIsKilledAfterTheLeaderExitsWithFakeClaude)
{
    // The descendant ignores SIGTERM and outlives the leader, holding the error pipe open.
    auto leader
        = launch(fake("(trap '' TERM; touch ready; exec sleep 100) >/dev/null &\necho $! > descendant\n"
                      "while [ ! -e ready ]; do sleep 0.01; done\nexit 4"));
    ClaudeProcess process;
    auto outcome = run(process, leader);

    EXPECT_EQ(outcome.status, 4);
    EXPECT_EQ(outcome.stopReason, std::nullopt);
    EXPECT_TRUE(processIsGone(path("descendant")));
}

TEST_F(ClaudeProcessTest, TheWholeGroupEndsWithAKilledHostWithFakeClaude)
{
    // The helper stands for what Claude Code starts in its group, as the proxy of its sandbox: a
    // parent-death signal would end the fake alone.
    killHostOf(fake("sleep 100 &\necho $! > helper\necho $$ > leader\nexec sleep 100"));
}

// Claude Code removes the placeholders its sandbox made in the user's folders on SIGTERM: a killed
// host's group gets it, and SIGKILL only after Claude Code has ended or its time is up. What it writes
// as it ends is read, as a live host would.
TEST_F(ClaudeProcessTest, AKilledHostsGroupGetsSIGTERMAndTimeToCleanUpBeforeSIGKILLWithFakeClaude)
{
    struct Case {
        const char* name;
        const char* onTerm;
        bool cleansUp;
    };
    const Case cases[] = {
        { "cleaning up for a second",
            "signal.signal(signal.SIGTERM, lambda *_: (time.sleep(1), open('cleaned', 'w'), os._exit(143)))",
            true },
        { "ignoring SIGTERM", "signal.signal(signal.SIGTERM, signal.SIG_IGN)", false },
        // More than a pipe holds, so that someone must read it.
        { "writing its last output",
            "signal.signal(signal.SIGTERM, lambda *_: (sys.stdout.write('x' * 100000), sys.stdout.flush(), "
            "sys.stderr.write('ended\\n'), sys.stderr.flush(), open('cleaned', 'w'), os._exit(143)))",
            true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        for (const char* name : { "leader", "cleaned" })
            std::filesystem::remove(path(name));
        killHostOf(pythonFake(std::string(testCase.onTerm) + "\nimport subprocess\n"
            + "open('helper', 'w').write('%d\\n' % subprocess.Popen(['sleep', '100']).pid)\n"
            + "open('leader', 'w').write('%d\\n' % os.getpid())\n" + "while True:\n    time.sleep(0.1)"));
        EXPECT_EQ(std::filesystem::exists(path("cleaned")), testCase.cleansUp);
    }
}

TEST_F(ClaudeProcessTest, ChildGetsOnlyItsPipesAndNoneOfOurSignalSettingsWithFakeClaude)
{
    // Inheritable on purpose: no descriptor, ignored signal or blocked signal of ours may reach the child.
    int stray = open("/dev/null", O_RDONLY);
    sigset_t usr2;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &usr2, &previousMask);
    auto previousUsr1 = signal(SIGUSR1, SIG_IGN);

    auto reporting = launch(pythonFake(R"(
fds = [fd for fd in range(0, 1024) if os.path.exists("/proc/self/fd/%d" % fd)]
status = dict(line.split(":\t", 1) for line in open("/proc/self/status").read().splitlines() if ":\t" in line)
report = [
    "fds=" + ",".join(map(str, fds)),
    "in a group of its own=" + str(os.getpgid(0) != os.getpgid(os.getppid())),
    "usr1 ignored=" + str(int(status["SigIgn"], 16) & 1 << (signal.SIGUSR1 - 1) != 0),
    "usr2 blocked=" + str(int(status["SigBlk"], 16) & 1 << (signal.SIGUSR2 - 1) != 0),
]
open("report", "w").write("\n".join(report) + "\n")
)"));
    ClaudeProcess process;
    auto outcome = run(process, reporting);
    signal(SIGUSR1, previousUsr1);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    close(stray);

    EXPECT_EQ(outcome.status, 0) << outcome.stderrTail;
    EXPECT_EQ(test::readFile(path("report")),
        "fds=0,1,2\nin a group of its own=True\nusr1 ignored=False\nusr2 blocked=False\n");
}

TEST_F(ClaudeProcessTest, ChildClosingItsInputEarlyDoesNotRaiseSIGPIPEWithFakeClaude)
{
    // The prompt is far larger than the pipe; the fake closes its input after one byte, while the
    // writer still has most of the prompt to go, and stays a moment so the write meets a closed pipe.
    auto closing = launch(fake("head -c 1 >/dev/null\nexec 0<&-\nsleep 1\nexit 7"));
    closing.input = std::string(4 << 20, 'p');
    ClaudeProcess process;
    // Reaching the check at all is the point: SIGPIPE's default action would have ended the test.
    EXPECT_EQ(run(process, closing).status, 7);
}

TEST_F(ClaudeProcessTest, FailedWaitIsNoSuccessWithFakeClaude)
{
    // With SIGCHLD ignored the kernel reaps the child itself, so waiting for it fails with ECHILD.
    auto previous = signal(SIGCHLD, SIG_IGN);
    ClaudeProcess process;
    auto outcome = run(process, launch(fake("exit 0")));
    signal(SIGCHLD, previous);

    EXPECT_EQ(outcome.status, ClaudeProcess::waitFailedStatus);
}

}
