// Supervises one run of the Claude Code command-line tool: spawns it in a process group of its own,
// feeds it the prompt, turns its output lines into progress events and stops it on a time limit, a
// stall or a cancel, leaving nothing of the group running. The group also ends when this process
// does, even by SIGKILL, with the same SIGTERM first and time to clean up as a stop.
#pragma once

#include "VellumarMacCore/ClaudeCode/ClaudeStreamParser.h"
#include "VellumarMacCore/ClaudeCode/RunnerEvent.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vellumar {

// Frees every pointer of both arrays of `strdup`ed C strings (null entries are skipped) and empties them.
void freeCStringArrays(std::vector<char*>& arguments, std::vector<char*>& environment) noexcept;

class ClaudeProcess final {
public:
    using WallClock = std::chrono::system_clock;

    // Seconds each; see `checkStall` for what they measure.
    struct StallLimits {
        double startup { 75 };
        double fileTool { 90 };
        double idle { 600 };
    };

    struct StopReason {
        enum class Kind { stalled, timeLimit, cancelled };

        Kind kind { Kind::cancelled };
        // "startup", "fileTool" or "idle" for `stalled`; empty otherwise.
        std::string label;

        static StopReason stalled(std::string label) { return { Kind::stalled, std::move(label) }; }
        static StopReason timeLimit() { return { Kind::timeLimit, {} }; }
        static StopReason cancelled() { return { Kind::cancelled, {} }; }

        friend bool operator==(const StopReason&, const StopReason&) = default;
    };

    // The `status` of a run whose child could not be waited for. It is no exit code and no
    // "128 + signal" value, so nothing can mistake it for a run that ended well.
    static constexpr std::int32_t waitFailedStatus = -1;

    struct Outcome {
        // The exit status (0 to 255), 128 plus the signal that ended the child, or `waitFailedStatus`.
        std::int32_t status { 0 };
        ClaudeStreamParser parser;
        // The last bytes of standard error, each invalid UTF-8 sequence read as U+FFFD.
        std::string stderrTail;
        // The first reason a stop was requested for; absent when none was.
        std::optional<StopReason> stopReason;
        bool outputTooLarge { false };
    };

    // What the watchdog asks the caller once a second.
    struct Waiting {
        // A question to the user is open: no stall counts while it is.
        bool questionPending { false };
        // When the latest such wait ended; stalls count from here when it is later.
        std::optional<WallClock::time_point> resumedAt;
    };

    // Variable name to value; the child's whole environment.
    using Environment = std::map<std::string, std::string>;

    struct Launch {
        std::filesystem::path executable; // started as it is, without a PATH search
        std::vector<std::string> arguments; // after the program name
        std::string input; // written to standard input, which is then closed
        std::filesystem::path directory; // the child's working folder
        Environment environment;
        double timeLimit { 0 }; // seconds
        // What `timeLimit` is measured on, read at least once a second; a test's, so that the limit comes
        // where the test puts it rather than where the machine's speed does.
        std::function<std::chrono::steady_clock::time_point()> clock = std::chrono::steady_clock::now;
        StallLimits stall;
        // Called from the watchdog thread once a second, never under the process's lock.
        std::function<Waiting()> waiting;
        // Called from the output reader thread for each event, in the order of the lines.
        std::function<void(const RunnerEvent&)> onEvent;
        // Called from the output reader thread after each line that reported a tool's result, once
        // that line's events are handed on, so that what a command left behind is looked at as soon
        // as it has ended. Never before `beforeInput` has returned.
        std::function<void()> afterToolResult;
        // Called on the thread of `start` once the child has started, before its input is written past its
        // first character: what must stand before the model's first turn, and need not before the child
        // starts, is made while it starts, for as long as it takes. When it throws the child never sees
        // the end of its input and is stopped as cancelled.
        std::function<void()> beforeInput;
    };

    static constexpr std::size_t outputLineLimitBytes = 33'554'432;
    static constexpr std::size_t stderrTailBytes = 4'096;

    ClaudeProcess();
    ClaudeProcess(const ClaudeProcess&) = delete;
    ClaudeProcess& operator=(const ClaudeProcess&) = delete;
    // Neither signals the child nor closes anything: `start` has already cleaned up.
    ~ClaudeProcess() = default;

    // Runs the child and blocks the calling thread until it has exited and both of its output pipes
    // have reached their end; every thread of the run has been joined when it returns. Call it once.
    // Throws RelayHTTPError 500 "internal" when the pipes cannot be made and 503 "claude_unavailable"
    // when the child cannot be spawned; after a successful spawn it always returns an Outcome.
    // The callbacks should not throw; an exception from one is dropped (`waiting` then counts as
    // no open question) and the run goes on.
    Outcome start(const Launch& launch);

    // Stops the run as cancelled: SIGTERM to the child's group at once, SIGKILL five seconds later
    // unless the run is over by then. Any thread, any time, also before `start` or after it returned.
    void cancel();

    // One `strdup`ed "key=value" per entry, in the map's order, without a terminating null entry.
    // The caller frees them with `freeCStringArrays`.
    static std::vector<char*> environmentBlock(const Environment& environment);

private:
    using Deadline = std::chrono::steady_clock::time_point;

    void stop(StopReason reason);
    void signalGroup(int signalNumber);
    // Asks the supervisor thread to send SIGKILL to the group after `delay`.
    void scheduleKill(std::chrono::steady_clock::duration delay);
    std::optional<std::string> checkStall(
        const Waiting& waiting, WallClock::time_point now, const StallLimits& limits);
    void watchdogTick(const Launch& launch);
    void handleLine(std::string_view bytes, const Launch& launch);
    void writeInput(int fd, std::string_view input, int wakeFd);
    void readOutput(int fd, const Launch& launch);
    void readErrors(int fd);
    void waitForExit(pid_t child);
    void supervise(const Launch& launch, Deadline timeLimitDeadline);
    Outcome finish();

    std::mutex m_lock;
    pid_t m_pid { 0 };
    // Led by the watchdog that ends it when this process dies; the child is a member.
    pid_t m_group { 0 };
    ClaudeStreamParser m_parser;
    std::string m_stderrTail;
    std::optional<StopReason> m_stopReason;
    bool m_outputTooLarge { false };
    bool m_exited { false };
    bool m_outputClosed { false };
    bool m_errorsClosed { false };
    WallClock::time_point m_started;
    std::optional<WallClock::time_point> m_lastLine;
    std::int32_t m_exitStatus { 0 };

    // The supervisor thread's agenda, guarded by the same lock.
    std::condition_variable m_agendaChanged;
    std::vector<Deadline> m_killDeadlines;
    bool m_runOver { false };
    // Whether `Launch::beforeInput` returned, or threw; the input writer waits for either.
    bool m_inputReady { false };
    bool m_inputCalledOff { false };
    std::condition_variable m_inputDecided;
};

}
