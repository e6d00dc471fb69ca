// The program's sign of life while any run is live under the records of what runs hold (`LiveRuns`): a
// small file beside them, replaced every few seconds, so that the next start after a kill can tell a
// change made once the runs' commands had ended (the user's own) from one they made.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vellumar {

class LiveRunsHeartbeat {
public:
    // How often the beat is written.
    static constexpr std::chrono::seconds period { 2 };
    // How long after the last beat a killed run's commands may still write: a beat's period, then the
    // five seconds at most that Claude Code's watchdog gives the group once the host is gone before it
    // kills it, sandboxed commands with Claude Code, and as much again for a busy machine, whose beat or
    // watchdog runs late. Measured after a `kill -9` here: a command writing a hook in a loop wrote
    // last 0.03 to 0.13 s after it, also one ignoring SIGTERM and beside two busy loops on its two CPUs,
    // and Claude Code and its commands had all ended after 1.2 to 1.6 s.
    static constexpr std::chrono::seconds margin { 12 };

    // One beat: the wall clock, which the kernel stamps files' status-change times with, and the clock
    // since boot, which no one can set, so that the wall clock set forward since shows. The kernel
    // stamps a file from a coarser copy of the same clock, and a file system may keep coarser times:
    // either makes a change look earlier than the beat it followed, never later, so it is put back.
    struct Beat {
        std::string bootID;
        std::chrono::nanoseconds wallTime { 0 }; // CLOCK_REALTIME
        std::chrono::nanoseconds bootTime { 0 }; // CLOCK_BOOTTIME
    };
    static Beat now();

    // Replaces `file` atomically with `beat`, without waiting for the disk. Throws
    // std::filesystem::filesystem_error.
    static void write(const Beat& beat, const std::filesystem::path& file);
    // Absent when there is none or it is damaged.
    static std::optional<Beat> read(const std::filesystem::path& file);

    // The wall-clock time after which no command of the runs whose last beat `file` holds can have
    // changed a file: the beat plus `margin`, moved on by as much as the wall clock was set forward
    // since, within the same boot. Absent when there is no beat to go by. Reads the disk; never throws
    // but for memory.
    static std::optional<std::chrono::nanoseconds> commandsEndedBy(const std::filesystem::path& file);

    // Writes a beat to `file` now, before returning, and every `period` on a thread of its own until
    // destroyed. A beat that cannot be written removes the file, so that no older beat speaks for
    // this run, and is logged once. Never throws but for memory or a thread that cannot start.
    explicit LiveRunsHeartbeat(std::filesystem::path file);
    // Stops the thread and waits for it (its member, ended first); the file stays.
    ~LiveRunsHeartbeat() = default;
    LiveRunsHeartbeat(const LiveRunsHeartbeat&) = delete;
    LiveRunsHeartbeat& operator=(const LiveRunsHeartbeat&) = delete;

private:
    void beat();

    const std::filesystem::path m_file;
    bool m_failureLogged = false; // touched by one thread at a time
    std::mutex m_lock;
    std::condition_variable_any m_wake;
    std::jthread m_thread;
};

}
