#include "VellumarMacCore/Foundations/CommandRunner.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/ProcessProgress.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vellumar {

namespace {

    using Clock = std::chrono::steady_clock;

    // Anything past this is treated as "no practical limit" so the deadline arithmetic cannot overflow.
    constexpr double kLongestTimeLimitSeconds = 1e9;
    constexpr std::size_t kReadChunkBytes = 64 * 1024;

    [[noreturn]] void throwLaunchError(const std::filesystem::path& executable, int error)
    {
        throw CommandLaunchError(executable, std::error_code(error, std::system_category()));
    }

    class SpawnFileActions {
    public:
        SpawnFileActions() { posix_spawn_file_actions_init(&m_actions); }
        ~SpawnFileActions() { posix_spawn_file_actions_destroy(&m_actions); }
        SpawnFileActions(const SpawnFileActions&) = delete;
        SpawnFileActions& operator=(const SpawnFileActions&) = delete;
        posix_spawn_file_actions_t* get() noexcept { return &m_actions; }

    private:
        posix_spawn_file_actions_t m_actions;
    };

    class SpawnAttributes {
    public:
        SpawnAttributes() { posix_spawnattr_init(&m_attributes); }
        ~SpawnAttributes() { posix_spawnattr_destroy(&m_attributes); }
        SpawnAttributes(const SpawnAttributes&) = delete;
        SpawnAttributes& operator=(const SpawnAttributes&) = delete;
        posix_spawnattr_t* get() noexcept { return &m_attributes; }

    private:
        posix_spawnattr_t m_attributes;
    };

    // Owns a started child until it has been reaped; if the caller leaves early (an exception), the
    // child is killed and reaped so that no zombie or stray process outlives the call.
    class Child {
    public:
        explicit Child(pid_t pid) noexcept
            : m_pid(pid)
        {
        }
        ~Child()
        {
            if (m_reaped)
                return;
            kill(m_pid, SIGKILL);
            int ignored = 0;
            while (waitpid(m_pid, &ignored, 0) < 0 && errno == EINTR) { }
        }
        Child(const Child&) = delete;
        Child& operator=(const Child&) = delete;

        pid_t pid() const noexcept { return m_pid; }
        bool reaped() const noexcept { return m_reaped; }
        std::int32_t status() const noexcept { return m_status; }

        // Collects the child's status if it has ended; never blocks.
        void tryReap()
        {
            int waitStatus = 0;
            pid_t result;
            do {
                result = waitpid(m_pid, &waitStatus, WNOHANG);
            } while (result < 0 && errno == EINTR);
            if (result != m_pid)
                return;
            m_reaped = true;
            m_status = WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : WEXITSTATUS(waitStatus);
        }

    private:
        pid_t m_pid;
        bool m_reaped = false;
        std::int32_t m_status = 0;
    };

    // Drains the read end of the child's standard output, keeping at most the output limit.
    class OutputReader {
    public:
        explicit OutputReader(int descriptor) noexcept
            : m_descriptor(descriptor)
        {
        }

        bool reachedEnd() const noexcept { return m_reachedEnd; }

        // Reads what is available after poll reported the descriptor ready.
        void readAvailable()
        {
            char chunk[kReadChunkBytes];
            ssize_t count;
            do {
                count = read(m_descriptor.get(), chunk, sizeof chunk);
            } while (count < 0 && errno == EINTR);
            if (count <= 0) {
                m_reachedEnd = true;
                m_descriptor.reset();
                return;
            }
            auto size = static_cast<std::size_t>(count);
            if (m_overflowed || m_output.size() + size > kCommandOutputLimitBytes) {
                m_overflowed = true;
                m_output.clear();
                return;
            }
            m_output.append(chunk, size);
        }

        int descriptor() const noexcept { return m_descriptor.get(); }

        // The whole output, or empty when it was cut short or never reached end of file.
        std::string take() { return m_reachedEnd && !m_overflowed ? std::move(m_output) : std::string {}; }

    private:
        FileDescriptor m_descriptor;
        std::string m_output;
        bool m_reachedEnd = false;
        bool m_overflowed = false;
    };

    Clock::duration durationOf(double seconds)
    {
        if (!(seconds > 0))
            seconds = 0;
        seconds = std::min(seconds, kLongestTimeLimitSeconds);
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    // Milliseconds for poll until the deadline, rounded up so poll never wakes just before it.
    int pollTimeout(std::optional<Clock::time_point> deadline)
    {
        if (!deadline)
            return -1;
        auto remaining = *deadline - Clock::now();
        if (remaining <= Clock::duration::zero())
            return 0;
        auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
        return static_cast<int>(std::min<std::int64_t>(milliseconds, INT_MAX));
    }

    // Waits until the output or the child (when given) has something to report or the deadline passes.
    void waitForEvents(OutputReader& reader, int childDescriptor, std::optional<Clock::time_point> deadline)
    {
        pollfd watched[2];
        nfds_t count = 0;
        if (!reader.reachedEnd())
            watched[count++] = { reader.descriptor(), POLLIN, 0 };
        if (childDescriptor >= 0)
            watched[count++] = { childDescriptor, POLLIN, 0 };
        if (poll(watched, count, pollTimeout(deadline)) <= 0)
            return;
        if (!reader.reachedEnd() && watched[0].revents != 0)
            reader.readAvailable();
    }

    // Debian 12's <sys/pidfd.h> declares pidfd_open without C linkage, so it cannot be called from C++.
    int openProcessDescriptor(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

    bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

    std::vector<std::string> environmentEntries(
        const std::filesystem::path& executable, const CommandEnvironment& environment)
    {
        std::vector<std::string> entries;
        entries.reserve(environment.size());
        for (const auto& [name, value] : environment) {
            if (name.empty() || name.find('=') != std::string::npos || holdsNul(name) || holdsNul(value))
                throwLaunchError(executable, EINVAL);
            entries.push_back(name + "=" + value);
        }
        return entries;
    }

    std::vector<char*> nullTerminated(std::vector<std::string>& texts)
    {
        std::vector<char*> pointers;
        pointers.reserve(texts.size() + 1);
        for (auto& text : texts)
            pointers.push_back(text.data());
        pointers.push_back(nullptr);
        return pointers;
    }

    pid_t spawn(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
        const CommandOptions& options, int outputDescriptor)
    {
        std::vector<std::string> argumentTexts { executable.string() };
        argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
        bool unpassable = std::any_of(argumentTexts.begin(), argumentTexts.end(), holdsNul)
            || (options.workingFolder && holdsNul(options.workingFolder->native()));
        if (unpassable)
            throwLaunchError(executable, EINVAL);
        std::vector<std::string> environmentTexts;
        if (options.environment)
            environmentTexts = environmentEntries(executable, *options.environment);

        SpawnFileActions actions;
        posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(actions.get(), outputDescriptor, STDOUT_FILENO);
        posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
        if (options.workingFolder)
            posix_spawn_file_actions_addchdir_np(actions.get(), options.workingFolder->c_str());

        // The child starts with a clean signal state: the caller's thread may block signals (which
        // would make SIGTERM useless) and this process ignores SIGPIPE.
        SpawnAttributes attributes;
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigset_t emptyMask;
        sigemptyset(&emptyMask);
        posix_spawnattr_setsigdefault(attributes.get(), &defaults);
        posix_spawnattr_setsigmask(attributes.get(), &emptyMask);
        posix_spawnattr_setflags(attributes.get(),
            POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | (options.ownSession ? POSIX_SPAWN_SETSID : 0));

        auto argv = nullTerminated(argumentTexts);
        auto envp = nullTerminated(environmentTexts);
        pid_t pid = 0;
        int error = posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(), argv.data(),
            options.environment ? envp.data() : environ);
        if (error != 0)
            throwLaunchError(executable, error);
        return pid;
    }

}

CommandLaunchError::CommandLaunchError(std::filesystem::path executable, std::error_code error)
    : m_executable(std::move(executable))
    , m_error(error)
    , m_message("Could not start " + m_executable.string() + ": " + error.message())
{
}

CommandEnvironment currentEnvironment()
{
    CommandEnvironment environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        auto separator = text.find('=');
        if (separator != 0 && separator != std::string_view::npos)
            environment.emplace(text.substr(0, separator), text.substr(separator + 1));
    }
    return environment;
}

void ignoreSIGPIPE()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current = {};
        // A handler the application installed itself is left alone.
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            signal(SIGPIPE, SIG_IGN);
    });
}

CommandResult runCommand(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
    const CommandOptions& options)
{
    ignoreSIGPIPE();

    int pipeDescriptors[2];
    if (pipe2(pipeDescriptors, O_CLOEXEC) != 0)
        throwLaunchError(executable, errno);
    OutputReader reader(pipeDescriptors[0]);
    FileDescriptor writeEnd(pipeDescriptors[1]);

    Child child(spawn(executable, arguments, options, writeEnd.get()));
    writeEnd.reset();
    // A pidfd lets one poll wait for both the child's end and its output, so no thread is needed and
    // nothing is left running when the call returns.
    FileDescriptor childDescriptor(openProcessDescriptor(child.pid()));
    if (childDescriptor.get() < 0)
        throwLaunchError(executable, errno);

    CommandResult result;
    enum class Stage { running, terminating, killed };
    Stage stage = Stage::running;
    std::optional<Clock::time_point> deadline = Clock::now() + durationOf(options.timeLimitSeconds);
    // While it runs, whether it got on is looked at once in each stall limit.
    std::optional<Clock::time_point> stallCheck;
    std::optional<ProcessProgress::Sample> lastSample;
    if (options.stallLimitSeconds > 0) {
        stallCheck = Clock::now() + durationOf(options.stallLimitSeconds);
        lastSample = ProcessProgress::of(child.pid());
    }
    for (;;) {
        child.tryReap();
        if (child.reaped())
            break;
        if (stage == Stage::running && stallCheck && Clock::now() >= *stallCheck) {
            auto sample = ProcessProgress::of(child.pid());
            const bool stalled = !ProcessProgress::madeProgress(lastSample, sample);
            lastSample = sample;
            stallCheck = Clock::now() + durationOf(options.stallLimitSeconds);
            if (stalled)
                deadline = Clock::now();
        }
        if (deadline && Clock::now() >= *deadline) {
            if (stage == Stage::running) {
                result.timedOut = true;
                kill(child.pid(), SIGTERM);
                stage = Stage::terminating;
                deadline = Clock::now() + durationOf(kCommandEscalationDelaySeconds);
            } else {
                kill(child.pid(), SIGKILL);
                stage = Stage::killed;
                deadline.reset();
            }
            continue;
        }
        waitForEvents(reader, childDescriptor.get(),
            stage == Stage::running && stallCheck ? std::min(*stallCheck, *deadline) : deadline);
    }

    auto readerDeadline = Clock::now() + durationOf(kCommandReaderGraceSeconds);
    while (!reader.reachedEnd() && Clock::now() < readerDeadline)
        waitForEvents(reader, -1, readerDeadline);

    result.status = child.status();
    result.output = reader.take();
    return result;
}

}
