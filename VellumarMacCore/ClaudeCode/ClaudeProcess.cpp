#include "VellumarMacCore/ClaudeCode/ClaudeProcess.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <new>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace vellumar {

namespace {

    using namespace std::chrono_literals;

    constexpr std::size_t kOutputChunkBytes = 65'536;
    constexpr std::size_t kErrorChunkBytes = 16'384;
    constexpr auto kWatchdogInterval = 1s;
    // What Claude Code gets after SIGTERM to end its command and remove the placeholders its sandbox
    // made, before SIGKILL: it needs 1.1 to 1.9 s, also with two busy loops on two CPUs.
    constexpr auto kCleanUpTime = 5s;
    // How often the watchdog looks whether Claude Code has ended: "sleep 0.1" in its script.
    constexpr auto kGroupEndPollInterval = 100ms;
    constexpr auto kExitKillDelay = 3s;
    // Where the watchdog's copies of the child's output pipes lie before they become its 3 and 4.
    constexpr int kKeptDescriptorsFloor = 10;
    // Far enough to mean "never" for a run, near enough that the deadline arithmetic cannot overflow.
    constexpr double kLongestTimeLimitSeconds = 10.0 * 365 * 24 * 60 * 60;

    constexpr std::array<std::string_view, 6> kFileTools { "Read", "Glob", "Grep", "Write", "Edit",
        "MultiEdit" };

    RelayHTTPError plumbingError() { return RelayHTTPError(500, "internal", "Could not start Claude Code."); }

    RelayHTTPError unavailableError()
    {
        return RelayHTTPError(503, "claude_unavailable", "Claude Code could not be started on the Mac.");
    }

    // Bytes as a text, each maximal ill-formed subsequence read as one U+FFFD.
    std::string decodedWithReplacement(std::string_view bytes)
    {
        if (detail::isValidUTF8(bytes))
            return std::string(bytes);
        std::string text;
        icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), static_cast<std::int32_t>(bytes.size())))
            .toUTF8String(text);
        return text;
    }

    // The bytes of the input's first UTF-8 sequence, so that no character is split between two writes.
    std::size_t firstCharacterLength(std::string_view input)
    {
        std::size_t length = std::min<std::size_t>(1, input.size());
        while (
            length < input.size() && length < 4 && (static_cast<unsigned char>(input[length]) & 0xC0) == 0x80)
            ++length;
        return length;
    }

    // Writes what the non-blocking `fd` takes now; the bytes written. `errno` tells why it stopped short.
    std::size_t writeAvailable(int fd, std::string_view bytes)
    {
        std::size_t written = 0;
        while (written < bytes.size()) {
            ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
            if (count <= 0) {
                if (count == 0)
                    errno = EIO;
                break;
            }
            written += static_cast<std::size_t>(count);
        }
        return written;
    }

    void waitUntilReadable(int fd)
    {
        pollfd watched { fd, POLLIN, 0 };
        while (poll(&watched, 1, -1) < 0 && errno == EINTR) { }
    }

    // Keeps the descriptor clear of 0 to 2, so that the spawn's dup2 onto the standard descriptors
    // cannot overwrite a pipe end before it has been copied. Close-on-exec keeps other threads'
    // children from inheriting the pipe and holding the run open.
    FileDescriptor aboveStandardDescriptors(int fd)
    {
        if (fd > STDERR_FILENO)
            return FileDescriptor(fd);
        FileDescriptor original(fd);
        return FileDescriptor(fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    }

    struct Pipe {
        FileDescriptor read;
        FileDescriptor write;
    };

    std::optional<Pipe> makePipe()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return std::nullopt;
        Pipe pipe { aboveStandardDescriptors(fds[0]), aboveStandardDescriptors(fds[1]) };
        if (!pipe.read || !pipe.write)
            return std::nullopt;
        return pipe;
    }

    // Both arrays end with the null entry that posix_spawn expects; freed on destruction.
    struct SpawnVectors {
        std::vector<char*> arguments;
        std::vector<char*> environment;

        SpawnVectors() = default;
        SpawnVectors(const SpawnVectors&) = delete;
        SpawnVectors& operator=(const SpawnVectors&) = delete;
        ~SpawnVectors() { freeCStringArrays(arguments, environment); }
    };

    char* copiedCString(const std::string& text)
    {
        char* copy = strdup(text.c_str());
        if (!copy)
            throw std::bad_alloc();
        return copy;
    }

    class SpawnAttributes {
    public:
        SpawnAttributes()
        {
            m_actionsValid = posix_spawn_file_actions_init(&m_actions) == 0;
            m_attributesValid = posix_spawnattr_init(&m_attributes) == 0;
        }
        ~SpawnAttributes()
        {
            if (m_actionsValid)
                posix_spawn_file_actions_destroy(&m_actions);
            if (m_attributesValid)
                posix_spawnattr_destroy(&m_attributes);
        }
        SpawnAttributes(const SpawnAttributes&) = delete;
        SpawnAttributes& operator=(const SpawnAttributes&) = delete;

        // The pipes become 0, 1 and 2, and each of `kept` the next descriptor from 3 on; nothing else is
        // inherited; the child joins the process group `group` (0: leads a new one) with every signal at
        // its default action and none blocked. Each of `kept` must lie above the descriptors they land on.
        bool prepare(int input, int output, int errors, const std::filesystem::path& directory, pid_t group,
            std::initializer_list<int> kept = {})
        {
            if (!m_actionsValid || !m_attributesValid)
                return false;
            sigset_t allSignals;
            sigset_t noSignals;
            sigfillset(&allSignals);
            sigemptyset(&noSignals);
            if (posix_spawn_file_actions_adddup2(&m_actions, input, STDIN_FILENO) != 0
                || posix_spawn_file_actions_adddup2(&m_actions, output, STDOUT_FILENO) != 0
                || posix_spawn_file_actions_adddup2(&m_actions, errors, STDERR_FILENO) != 0)
                return false;
            int next = STDERR_FILENO + 1;
            for (int descriptor : kept) {
                if (posix_spawn_file_actions_adddup2(&m_actions, descriptor, next++) != 0)
                    return false;
            }
            return posix_spawn_file_actions_addchdir_np(&m_actions, directory.c_str()) == 0
                && posix_spawn_file_actions_addclosefrom_np(&m_actions, next) == 0
                && posix_spawnattr_setflags(
                       &m_attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK)
                == 0
                && posix_spawnattr_setpgroup(&m_attributes, group) == 0
                && posix_spawnattr_setsigdefault(&m_attributes, &allSignals) == 0
                && posix_spawnattr_setsigmask(&m_attributes, &noSignals) == 0;
        }

        const posix_spawn_file_actions_t* actions() const { return &m_actions; }
        const posix_spawnattr_t* attributes() const { return &m_attributes; }

    private:
        posix_spawn_file_actions_t m_actions;
        posix_spawnattr_t m_attributes;
        bool m_actionsValid { false };
        bool m_attributesValid { false };
    };

    // A reader that has gone must end a write to it with EPIPE instead of ending the application.
    // The signal is blocked in this thread only, and the one that a failed write raises is taken back.
    class BrokenPipeSignalBlocked {
    public:
        BrokenPipeSignalBlocked()
        {
            sigemptyset(&m_brokenPipe);
            sigaddset(&m_brokenPipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &m_brokenPipe, nullptr);
        }
        ~BrokenPipeSignalBlocked()
        {
            const timespec immediately {};
            while (sigtimedwait(&m_brokenPipe, nullptr, &immediately) == SIGPIPE) { }
        }
        BrokenPipeSignalBlocked(const BrokenPipeSignalBlocked&) = delete;
        BrokenPipeSignalBlocked& operator=(const BrokenPipeSignalBlocked&) = delete;

    private:
        sigset_t m_brokenPipe;
    };

    // Leads the child's process group and ends the whole group once this process is gone, however it
    // ends: it waits for the end of a pipe that only this process holds open for writing, which the
    // kernel closes when this process dies. Then it sends the group SIGTERM, so that Claude Code ends
    // its command and removes the placeholders its sandbox made in the user's folders, and SIGKILL once
    // Claude Code has ended or `kCleanUpTime` has passed (a little more on a busy machine). A
    // parent-death signal on the child would end Claude Code alone and leave the helpers it starts in
    // its group (its sandbox's network proxy) running; the sandboxed commands end with Claude Code
    // itself, which holds them on a pipe of its own and has bubblewrap run them with --die-with-parent
    // in a PID namespace. The watchdog exists before the child, which joins its group, so the child
    // never runs unwatched. SIGTERM, which the run sends the group to stop it, leaves the watchdog in
    // place until the group is killed.
    //
    // It also holds the read ends of the child's output pipes and, once this process is gone, reads
    // them away: Claude Code's last writes would otherwise meet no reader, which keeps it (and its
    // commands) alive two seconds longer than after a stop.
    class GroupWatchdog {
    public:
        // Throws what `start` throws when its pipes cannot be made or it cannot be spawned.
        GroupWatchdog(int output, int errors)
        {
            auto lifeline = makePipe();
            FileDescriptor nowhere = lifeline
                ? aboveStandardDescriptors(::open("/dev/null", O_WRONLY | O_CLOEXEC))
                : FileDescriptor();
            // Above 3 and 4, where they land in the watchdog.
            FileDescriptor keptOutput(nowhere ? ::fcntl(output, F_DUPFD_CLOEXEC, kKeptDescriptorsFloor) : -1);
            FileDescriptor keptErrors(
                keptOutput ? ::fcntl(errors, F_DUPFD_CLOEXEC, kKeptDescriptorsFloor) : -1);
            if (!keptErrors)
                throw plumbingError();
            // The first line names the child; a zombie has ended, and its parent may be gone too. The
            // readers ignore SIGTERM, as the script does, and end with the group's SIGKILL.
            const std::string script = "trap '' TERM; read -r child; read -r end\n"
                                       "cat <&3 >/dev/null & cat <&4 >/dev/null & kill -s TERM 0; i=0\n"
                                       "while [ -n \"$child\" ] && [ $i -lt "
                + std::to_string(kCleanUpTime / kGroupEndPollInterval)
                + " ] && grep -q '^State:[^Z]*$' \"/proc/$child/status\" 2>/dev/null; do\n"
                  "  sleep 0.1; i=$((i + 1))\n"
                  "done\n"
                  "kill -s KILL 0\n";
            SpawnAttributes attributes;
            std::array<char*, 4> arguments { const_cast<char*>("sh"), const_cast<char*>("-c"),
                const_cast<char*>(script.c_str()), nullptr };
            std::array<char*, 2> environment { const_cast<char*>("PATH=/usr/bin:/bin"), nullptr };
            if (!attributes.prepare(lifeline->read.get(), nowhere.get(), nowhere.get(), "/", 0,
                    { keptOutput.get(), keptErrors.get() })
                || posix_spawn(&m_pid, "/bin/sh", attributes.actions(), attributes.attributes(),
                       arguments.data(), environment.data())
                    != 0)
                throw unavailableError();
            m_lifeline = std::move(lifeline->write);
        }
        // Ends the watchdog alone, leaving the rest of the group to the run's own signals, and reaps it.
        ~GroupWatchdog()
        {
            ::kill(m_pid, SIGKILL);
            while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) { }
        }
        GroupWatchdog(const GroupWatchdog&) = delete;
        GroupWatchdog& operator=(const GroupWatchdog&) = delete;

        pid_t group() const { return m_pid; }

        // Names the child whose end the watchdog waits for once this process is gone. A watchdog that
        // is gone already cannot be told, and needs not be.
        void watch(pid_t child)
        {
            BrokenPipeSignalBlocked brokenPipeBlocked;
            const std::string line = std::to_string(child) + "\n";
            [[maybe_unused]] auto ignored = ::write(m_lifeline.get(), line.data(), line.size());
        }

    private:
        pid_t m_pid { 0 };
        FileDescriptor m_lifeline; // names the child; its end is the signal
    };

    // The run's threads exist before the child does, so that once it is spawned nothing can fail to
    // start and leave it unsupervised. They wait here until the spawn has either succeeded or failed.
    class StartGate {
    public:
        void open() { settle(State::open); }
        void abandon() { settle(State::abandoned); }
        // True when the run goes ahead.
        bool wait()
        {
            std::unique_lock lock(m_lock);
            m_settled.wait(lock, [this] { return m_state != State::closed; });
            return m_state == State::open;
        }

    private:
        enum class State { closed, open, abandoned };

        void settle(State state)
        {
            {
                std::lock_guard lock(m_lock);
                if (m_state == State::closed)
                    m_state = state;
            }
            m_settled.notify_all();
        }

        std::mutex m_lock;
        std::condition_variable m_settled;
        State m_state { State::closed };
    };

    // Threads behind one gate; whatever has not been joined is abandoned and joined on destruction.
    class GatedThreads {
    public:
        explicit GatedThreads(StartGate& gate)
            : m_gate(gate)
        {
        }
        ~GatedThreads()
        {
            m_gate.abandon();
            joinAll();
        }
        GatedThreads(const GatedThreads&) = delete;
        GatedThreads& operator=(const GatedThreads&) = delete;

        template <typename Job> void add(Job job)
        {
            m_threads.emplace_back([this, job = std::move(job)]() mutable {
                if (m_gate.wait())
                    job();
            });
        }

        void joinAll()
        {
            for (auto& thread : m_threads) {
                if (thread.joinable())
                    thread.join();
            }
        }

    private:
        StartGate& m_gate;
        std::vector<std::thread> m_threads;
    };

    std::chrono::steady_clock::duration durationFromSeconds(double seconds)
    {
        if (!(seconds > 0))
            return std::chrono::steady_clock::duration::zero();
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(std::min(seconds, kLongestTimeLimitSeconds)));
    }

    bool hasPassed(
        ClaudeProcess::WallClock::time_point since, ClaudeProcess::WallClock::time_point now, double limit)
    {
        return std::chrono::duration<double>(now - since).count() >= limit;
    }

    ClaudeProcess::WallClock::time_point laterOf(ClaudeProcess::WallClock::time_point time,
        const std::optional<ClaudeProcess::WallClock::time_point>& other)
    {
        return other ? std::max(time, *other) : time;
    }

    std::int32_t exitCode(int statusWord)
    {
        if (WIFEXITED(statusWord))
            return WEXITSTATUS(statusWord);
        return 128 + WTERMSIG(statusWord);
    }

    // A read that a signal interrupts is retried; 0 means the end or a failure.
    std::size_t readSome(int fd, char* buffer, std::size_t capacity)
    {
        for (;;) {
            ssize_t count = ::read(fd, buffer, capacity);
            if (count >= 0)
                return static_cast<std::size_t>(count);
            if (errno != EINTR)
                return 0;
        }
    }

}

void freeCStringArrays(std::vector<char*>& arguments, std::vector<char*>& environment) noexcept
{
    for (auto* array : { &arguments, &environment }) {
        for (char* string : *array)
            free(string);
        array->clear();
    }
}

std::vector<char*> ClaudeProcess::environmentBlock(const Environment& environment)
{
    std::vector<char*> block;
    block.reserve(environment.size());
    try {
        for (const auto& [key, value] : environment)
            block.push_back(copiedCString(key + "=" + value));
    } catch (...) {
        std::vector<char*> none;
        freeCStringArrays(block, none);
        throw;
    }
    return block;
}

ClaudeProcess::ClaudeProcess()
    : m_parser([] { return WallClock::now(); })
    , m_started(WallClock::now())
{
}

ClaudeProcess::Outcome ClaudeProcess::start(const Launch& launch)
{
    {
        std::lock_guard lock(m_lock);
        assert(m_pid == 0 && "a ClaudeProcess serves one run");
    }
    auto input = makePipe();
    auto output = input ? makePipe() : std::nullopt;
    auto errors = output ? makePipe() : std::nullopt;
    FileDescriptor wake(errors ? eventfd(0, EFD_CLOEXEC) : -1);
    if (!wake)
        throw plumbingError();

    // Declared before the threads, so that it stands down only once they are joined.
    GroupWatchdog watchdog(output->read.get(), errors->read.get());
    pid_t child = 0;
    Deadline timeLimitDeadline;
    StartGate gate;
    // The workers end with the run; the housekeepers are called off once the workers are done.
    GatedThreads workers(gate);
    GatedThreads housekeepers(gate);
    try {
        workers.add([&] { readOutput(output->read.release(), launch); });
        workers.add([&] { readErrors(errors->read.release()); });
        workers.add([&] { waitForExit(child); });
        housekeepers.add([&] { writeInput(input->write.release(), launch.input, wake.get()); });
        housekeepers.add([&] { supervise(launch, timeLimitDeadline); });
    } catch (const std::system_error&) {
        throw unavailableError();
    }

    {
        SpawnVectors vectors;
        try {
            // Reserved first, so that no copy is made that the vector cannot take.
            vectors.arguments.reserve(launch.arguments.size() + 2);
            vectors.arguments.push_back(copiedCString(launch.executable.string()));
            for (const auto& argument : launch.arguments)
                vectors.arguments.push_back(copiedCString(argument));
            vectors.arguments.push_back(nullptr);
            vectors.environment = environmentBlock(launch.environment);
            vectors.environment.push_back(nullptr);
        } catch (const std::bad_alloc&) {
            throw unavailableError();
        }
        SpawnAttributes attributes;
        int spawnError = ENOMEM;
        if (attributes.prepare(input->read.get(), output->write.get(), errors->write.get(), launch.directory,
                watchdog.group())) {
            spawnError = posix_spawn(&child, launch.executable.c_str(), attributes.actions(),
                attributes.attributes(), vectors.arguments.data(), vectors.environment.data());
        }
        input->read.reset();
        output->write.reset();
        errors->write.reset();
        if (spawnError != 0)
            throw unavailableError();
        watchdog.watch(child);
    }

    bool stopRequested;
    {
        std::lock_guard lock(m_lock);
        m_pid = child;
        m_group = watchdog.group();
        stopRequested = m_stopReason.has_value();
    }
    // A stop that came before the child existed gets the same escalation as any other: a child that
    // ignores SIGTERM must not outlive it.
    if (stopRequested) {
        signalGroup(SIGTERM);
        scheduleKill(kCleanUpTime);
    }
    timeLimitDeadline = launch.clock() + durationFromSeconds(launch.timeLimit);
    gate.open();
    // On the caller's thread while the child starts: what it makes outlives the run, and on a thread of
    // its own would be held in a memory pool of that thread's, apart from the run's.
    bool fed = true;
    if (launch.beforeInput) {
        try {
            launch.beforeInput();
        } catch (...) {
            fed = false;
            cancel();
        }
    }
    {
        std::lock_guard lock(m_lock);
        (fed ? m_inputReady : m_inputCalledOff) = true;
        m_started = WallClock::now();
    }
    m_inputDecided.notify_all();

    workers.joinAll();
    {
        std::lock_guard lock(m_lock);
        m_runOver = true;
    }
    m_agendaChanged.notify_all();
    const std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(wake.get(), &one, sizeof one);
    housekeepers.joinAll();
    return finish();
}

void ClaudeProcess::cancel() { stop(StopReason::cancelled()); }

void ClaudeProcess::stop(StopReason reason)
{
    {
        std::lock_guard lock(m_lock);
        if (!m_stopReason)
            m_stopReason = std::move(reason);
        // Before the spawn, `start` signals the group as soon as the child exists; after the exit,
        // the exit's own signals take care of what is left.
        if (m_pid == 0 || m_exited)
            return;
    }
    signalGroup(SIGTERM);
    scheduleKill(kCleanUpTime);
}

void ClaudeProcess::signalGroup(int signalNumber)
{
    pid_t group;
    bool over;
    {
        std::lock_guard lock(m_lock);
        group = m_group;
        over = m_exited && m_outputClosed && m_errorsClosed;
    }
    if (group > 0 && !over)
        killpg(group, signalNumber);
}

void ClaudeProcess::scheduleKill(std::chrono::steady_clock::duration delay)
{
    {
        std::lock_guard lock(m_lock);
        m_killDeadlines.push_back(std::chrono::steady_clock::now() + delay);
    }
    m_agendaChanged.notify_all();
}

std::optional<std::string> ClaudeProcess::checkStall(
    const Waiting& waiting, WallClock::time_point now, const StallLimits& limits)
{
    std::lock_guard lock(m_lock);
    if (waiting.questionPending)
        return std::nullopt;
    if (!m_lastLine) {
        // Claude Code cannot start working before it has its input, however long that takes.
        if (m_inputReady && hasPassed(m_started, now, limits.startup))
            return "startup";
        return std::nullopt;
    }
    const auto& pending = m_parser.pending();
    for (const auto& [id, call] : pending) {
        bool isFileTool = std::find(kFileTools.begin(), kFileTools.end(), call.name) != kFileTools.end();
        if (isFileTool && hasPassed(laterOf(call.since, waiting.resumedAt), now, limits.fileTool))
            return "fileTool";
    }
    if (!pending.empty())
        return std::nullopt;
    if (limits.idle > 0 && hasPassed(laterOf(*m_lastLine, waiting.resumedAt), now, limits.idle))
        return "idle";
    return std::nullopt;
}

void ClaudeProcess::watchdogTick(const Launch& launch)
{
    Waiting waiting;
    if (launch.waiting) {
        try {
            waiting = launch.waiting();
        } catch (...) {
            waiting = {};
        }
    }
    if (auto label = checkStall(waiting, WallClock::now(), launch.stall))
        stop(StopReason::stalled(std::move(*label)));
}

void ClaudeProcess::handleLine(std::string_view bytes, const Launch& launch)
{
    std::string line = decodedWithReplacement(bytes);
    std::vector<RunnerEvent> events;
    bool reportedToolResult = false;
    {
        std::lock_guard lock(m_lock);
        m_lastLine = WallClock::now();
        auto resultsBefore = m_parser.toolResultCount();
        events = m_parser.consume(line);
        reportedToolResult = m_parser.toolResultCount() != resultsBefore && m_inputReady;
    }
    if (launch.onEvent) {
        for (const auto& event : events) {
            try {
                launch.onEvent(event);
            } catch (...) {
                // The job's display is not worth losing the run's output over.
            }
        }
    }
    if (reportedToolResult && launch.afterToolResult) {
        try {
            launch.afterToolResult();
        } catch (...) {
            // Its owner checks once more when the run is over.
        }
    }
}

void ClaudeProcess::writeInput(int fd, std::string_view input, int wakeFd)
{
    FileDescriptor owned(fd);
    BrokenPipeSignalBlocked brokenPipeBlocked;
    // Non-blocking, so that the end of the run can call the writer off a child that never reads.
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
        return;
    // Claude Code gives up on an input that shows nothing within three seconds of its start, however
    // busy the machine, while it waits as long as it takes for the end of one that has begun; and it
    // reads the whole input before the model's first turn. Its first character goes at once, into the
    // empty pipe, so that what must stand before that turn may take as long as it takes.
    std::size_t written = writeAvailable(fd, input.substr(0, firstCharacterLength(input)));
    bool calledOff;
    {
        std::unique_lock lock(m_lock);
        m_inputDecided.wait(lock, [this] { return m_inputReady || m_inputCalledOff; });
        calledOff = m_inputCalledOff;
    }
    // Never closed early then: the end of a begun input would have the model answer its first character.
    if (calledOff) {
        waitUntilReadable(wakeFd);
        return;
    }
    while (written < input.size()) {
        written += writeAvailable(fd, input.substr(written));
        if (written == input.size())
            break;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return;
        std::array<pollfd, 2> watched { { { fd, POLLOUT, 0 }, { wakeFd, POLLIN, 0 } } };
        if (poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR)
            return;
        if (watched[1].revents != 0)
            return;
    }
}

void ClaudeProcess::readOutput(int fd, const Launch& launch)
{
    FileDescriptor owned(fd);
    std::vector<char> chunk(kOutputChunkBytes);
    std::string pending;
    // Where the search for the next line feed resumes: bytes before it are known to hold none.
    std::size_t scanned = 0;
    // The rest of a line that was dropped for its size is no line of its own.
    bool droppingRestOfLine = false;
    while (std::size_t count = readSome(fd, chunk.data(), chunk.size())) {
        std::string_view bytes(chunk.data(), count);
        if (droppingRestOfLine) {
            auto lineFeed = bytes.find('\n');
            if (lineFeed == std::string_view::npos)
                continue;
            bytes.remove_prefix(lineFeed + 1);
            droppingRestOfLine = false;
        }
        pending.append(bytes);
        std::size_t lineStart = 0;
        for (std::size_t lineFeed; (lineFeed = pending.find('\n', scanned)) != std::string::npos;) {
            handleLine(std::string_view(pending).substr(lineStart, lineFeed - lineStart), launch);
            lineStart = scanned = lineFeed + 1;
        }
        pending.erase(0, lineStart);
        scanned = pending.size();
        if (pending.size() > outputLineLimitBytes) {
            {
                std::lock_guard lock(m_lock);
                m_outputTooLarge = true;
            }
            pending.clear();
            scanned = 0;
            droppingRestOfLine = true;
            stop(StopReason::cancelled());
        }
    }
    if (!pending.empty())
        handleLine(pending, launch);
    owned.reset();
    std::lock_guard lock(m_lock);
    m_outputClosed = true;
}

void ClaudeProcess::readErrors(int fd)
{
    FileDescriptor owned(fd);
    std::vector<char> chunk(kErrorChunkBytes);
    while (std::size_t count = readSome(fd, chunk.data(), chunk.size())) {
        std::lock_guard lock(m_lock);
        m_stderrTail.append(chunk.data(), count);
        if (m_stderrTail.size() > stderrTailBytes)
            m_stderrTail.erase(0, m_stderrTail.size() - stderrTailBytes);
    }
    owned.reset();
    std::lock_guard lock(m_lock);
    m_errorsClosed = true;
}

void ClaudeProcess::waitForExit(pid_t child)
{
    int statusWord = 0;
    pid_t waited;
    while ((waited = waitpid(child, &statusWord, 0)) < 0 && errno == EINTR) { }
    {
        std::lock_guard lock(m_lock);
        m_exitStatus = waited == child ? exitCode(statusWord) : waitFailedStatus;
        m_exited = true;
    }
    // Descendants left in the group are ended too, and hard if they still hold an output open.
    signalGroup(SIGTERM);
    scheduleKill(kExitKillDelay);
}

void ClaudeProcess::supervise(const Launch& launch, Deadline timeLimitDeadline)
{
    auto nextTick = std::chrono::steady_clock::now() + kWatchdogInterval;
    bool timeLimitPassed = false;
    std::unique_lock lock(m_lock);
    while (!m_runOver) {
        Deadline next = nextTick;
        if (!timeLimitPassed)
            next = std::min(next, std::chrono::steady_clock::now() + (timeLimitDeadline - launch.clock()));
        for (auto deadline : m_killDeadlines)
            next = std::min(next, deadline);
        m_agendaChanged.wait_until(lock, next);
        if (m_runOver)
            break;

        auto now = std::chrono::steady_clock::now();
        bool killDue
            = std::erase_if(m_killDeadlines, [now](Deadline deadline) { return deadline <= now; }) > 0;
        bool timeLimitDue = !timeLimitPassed && timeLimitDeadline <= launch.clock();
        timeLimitPassed = timeLimitPassed || timeLimitDue;
        bool tickDue = nextTick <= now;
        if (tickDue) {
            nextTick += kWatchdogInterval;
            // A late tick is not made up for with a burst of ticks.
            if (nextTick <= now)
                nextTick = now + kWatchdogInterval;
        }

        lock.unlock();
        if (timeLimitDue)
            stop(StopReason::timeLimit());
        if (killDue)
            signalGroup(SIGKILL);
        if (tickDue)
            watchdogTick(launch);
        lock.lock();
    }
}

ClaudeProcess::Outcome ClaudeProcess::finish()
{
    std::lock_guard lock(m_lock);
    return Outcome {
        .status = m_exitStatus,
        .parser = m_parser,
        .stderrTail = decodedWithReplacement(m_stderrTail),
        .stopReason = m_stopReason,
        .outputTooLarge = m_outputTooLarge,
    };
}

}
