#include "VellumarMacCore/Terminal/PTYProcess.h"
#include "VellumarMacCore/Terminal/ShellLaunch.h"

#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <map>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace vellumar;

namespace {

constexpr auto kPatience = std::chrono::seconds(20);

ShellLaunch command(const std::string& script)
{
    return { "/bin/sh", { "sh", "-c", script }, { { "PATH", "/usr/bin:/bin" } }, "/" };
}

// Reads the terminal until `text` shows up or the wait runs out; returns everything read.
std::string readUntil(int master, const std::string& text)
{
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (output.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd readable { master, POLLIN, 0 };
        if (poll(&readable, 1, 100) <= 0)
            continue;
        char chunk[4096];
        const ssize_t count = read(master, chunk, sizeof chunk);
        if (count <= 0)
            break; // EIO: every slave is closed
        output.append(chunk, static_cast<std::size_t>(count));
    }
    return output;
}

// Waits on a process descriptor, which turns readable when the process ends, then reaps it.
std::optional<ShellExit> waitForEnd(PTYProcess& process)
{
    const int handle = static_cast<int>(syscall(SYS_pidfd_open, process.pid(), 0));
    EXPECT_GE(handle, 0);
    pollfd ended { handle, POLLIN, 0 };
    poll(&ended, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count()));
    close(handle);
    return process.waitForExit();
}

std::vector<std::string> descriptorsOf(const std::string& process)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + process + "/fd"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Fields 5 and 6 of /proc/PID/stat (after the parenthesised name): process group and session.
std::pair<long, long> groupAndSession(pid_t pid)
{
    std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string state;
    long parent = 0, group = 0, session = 0;
    fields >> state >> parent >> group >> session;
    return { group, session };
}

TEST(PTYProcess, ShellRunsAloneOnItsOwnTerminalAndSession)
{
    int bait[2];
    ASSERT_EQ(pipe(bait), 0); // inheritable descriptors of this process that must not reach the shell

    auto process = PTYProcess::spawn(command("stty size; exec sleep 30"), TerminalSize::standard);
    EXPECT_EQ(process->waitForExit(), std::nullopt);
    EXPECT_NE(readUntil(process->master(), "24 80\r\n").find("24 80\r\n"), std::string::npos);
    const std::string pid = std::to_string(process->pid());
    EXPECT_EQ(descriptorsOf(pid), (std::vector<std::string> { "0", "1", "2" }));
    const auto terminal = std::filesystem::read_symlink("/proc/" + pid + "/fd/0");
    EXPECT_EQ(terminal.parent_path(), "/dev/pts");
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + pid + "/fd/2"), terminal);
    EXPECT_EQ(groupAndSession(process->pid()), std::make_pair(long(process->pid()), long(process->pid())));
    EXPECT_NE(fcntl(process->master(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(process->master(), F_GETFD) & FD_CLOEXEC, 0);

    // Hanging up the terminal signals its controlling session.
    close(process->master());
    EXPECT_EQ(waitForEnd(*process), (ShellExit { std::nullopt, SIGHUP }));
    close(bait[0]);
    close(bait[1]);
}

TEST(PTYProcess, SizesReachTheTerminalAndEndsAreReported)
{
    const struct {
        const char* script;
        TerminalSize size;
        const char* printed;
        ShellExit exit;
    } cases[] = {
        { "stty size; exit 3", { 1000, 500 }, "500 1000\r\n", { 3, std::nullopt } },
        { "stty size; kill -KILL $$", { 1, 1 }, "1 1\r\n", { std::nullopt, SIGKILL } },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.script);
        auto process = PTYProcess::spawn(command(row.script), row.size);
        EXPECT_NE(readUntil(process->master(), row.printed).find(row.printed), std::string::npos);
        EXPECT_EQ(waitForEnd(*process), row.exit);
        close(process->master());
    }
}

TEST(PTYProcess, MissingProgramFailsWithNoChildAndNothingOpen)
{
    const auto before = descriptorsOf("self");
    ShellLaunch launch = command("");
    launch.executable = "/nonexistent/shell";
    try {
        PTYProcess::spawn(launch, TerminalSize::standard);
        ADD_FAILURE() << "spawned";
    } catch (const PTYProcess::Failure& failure) {
        EXPECT_EQ(failure, PTYProcess::Failure(PTYProcess::Failure::Kind::spawn, ENOENT));
    }
    EXPECT_EQ(descriptorsOf("self"), before);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(PTYProcess, ChildSeesOnlyTheLaunchEnvironmentInNameOrder)
{
    const ShellLaunch::Environment mac = { { "PATH", "/usr/bin:/bin" }, { "SECRET_TOKEN", "s" },
        { "HOME", "/elsewhere" }, { "SHELL", "/bin/false" }, { "LC_ALL", "C" }, { "TMPDIR", "/tmp" } };
    ShellLaunch launch = ShellLaunch::loginShell(mac, { "en", "US" });
    launch.executable = "/usr/bin/env";
    launch.arguments = { "env" };
    std::string printed;
    for (const auto& [name, value] : launch.environment)
        printed += name + "=" + value + "\r\n";
    auto process = PTYProcess::spawn(launch, TerminalSize::standard);
    EXPECT_EQ(readUntil(process->master(), printed), printed);
    EXPECT_EQ(waitForEnd(*process), (ShellExit { 0, std::nullopt }));
    close(process->master());
    EXPECT_EQ(printed.find("SECRET_TOKEN"), std::string::npos);
}

TEST(TerminalSize, OnlyBothCountsWithinBoundsMakeASize)
{
    const struct {
        std::optional<std::int64_t> columns, rows;
        bool valid;
    } cases[] = {
        { 1, 1, true }, { 1000, 500, true }, { 80, 24, true }, { 0, 24, false }, { 80, 0, false },
        { 1001, 24, false }, { 80, 501, false }, { std::nullopt, 24, false }, { 80, std::nullopt, false },
        { -1, 24, false }, { 4'294'967'376, 24, false }, // 80 once cut to 32 bits
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(
            std::to_string(row.columns.value_or(-99)) + "x" + std::to_string(row.rows.value_or(-99)));
        EXPECT_EQ(TerminalSize::make(row.columns, row.rows).has_value(), row.valid);
    }
}

TEST(ShellLaunch, LoginShellTakesOnlyWhatItMayFromTheMac)
{
    test::TemporaryFolder folder;
    test::writeExecutable(folder / "fish", "#!/bin/sh\n");
    const std::string fallback = access("/bin/zsh", X_OK) == 0 ? "/bin/zsh" : "/bin/sh";
    const std::string fish = (folder / "fish").string();
    const ShellLaunch::Locale english { "en", "US" };
    const std::string lang = ShellLaunch::localeName(english);
    const struct {
        const char* name;
        ShellLaunch::Environment mac;
        std::string shell;
        ShellLaunch::Environment expected; // beside the fixed names
    } cases[] = {
        { "executable shell, nothing inherited", {}, fish,
            { { "PATH", "/usr/bin:/bin:/usr/sbin:/sbin" }, { "LANG", lang } } },
        { "shell that is not executable", { { "SHELL", fish } }, (folder / "missing").string(),
            { { "PATH", "/usr/bin:/bin:/usr/sbin:/sbin" }, { "LANG", lang } } },
        { "empty shell", {}, "", { { "PATH", "/usr/bin:/bin:/usr/sbin:/sbin" }, { "LANG", lang } } },
        { "inherited names, empty LANG kept",
            { { "PATH", "/p" }, { "LANG", "" }, { "SSH_AUTH_SOCK", "/s" }, { "HOME", "/x" },
                { "EDITOR", "vi" } },
            fish, { { "PATH", "/p" }, { "LANG", "" }, { "SSH_AUTH_SOCK", "/s" } } },
        { "LC_ALL beside a computed LANG", { { "LC_ALL", "C" } }, fish,
            { { "PATH", "/usr/bin:/bin:/usr/sbin:/sbin" }, { "LC_ALL", "C" }, { "LANG", lang } } },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const ShellLaunch launch = ShellLaunch::loginShell(row.mac, english, { "/home/u", "u", row.shell });
        const std::string shell = row.shell == fish ? fish : fallback;
        ShellLaunch::Environment expected = row.expected;
        expected.insert({ { "HOME", "/home/u" }, { "USER", "u" }, { "LOGNAME", "u" }, { "SHELL", shell },
            { "TERM", "xterm-256color" }, { "COLORTERM", "truecolor" }, { "TERM_PROGRAM", "Vellumar" } });
        const std::string argument0 = "-" + std::filesystem::path(shell).filename().string();
        EXPECT_EQ(launch, (ShellLaunch { shell, { argument0 }, expected, "/home/u" }));
    }
}

TEST(ShellLaunch, LocaleNameFallsBackToAmericanEnglishThenToTheBuiltInOne)
{
    const std::set<std::string> usual { "de_DE.UTF-8", "en_US.UTF-8", "C.UTF-8" };
    const std::set<std::string> builtInOnly { "C.UTF-8" };
    const struct {
        ShellLaunch::Locale locale;
        const std::set<std::string>& installed;
        std::string name;
    } cases[] = {
        { { "de", "DE" }, usual, "de_DE.UTF-8" },
        { { "en", std::nullopt }, usual, "en_US.UTF-8" },
        { { std::nullopt, "DE" }, usual, "en_US.UTF-8" },
        { { "xx", "XX" }, usual, "en_US.UTF-8" },
        { { "d\xC3\xA9", "DE" }, usual, "en_US.UTF-8" },
        { { "az", "../IR" }, usual, "en_US.UTF-8" },
        { { "de", "DE" }, builtInOnly, "C.UTF-8" },
        { { "en", "US" }, {}, "C.UTF-8" },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(
            row.name + " " + row.locale.languageCode.value_or("-") + "_" + row.locale.region.value_or("-"));
        std::vector<std::string> asked;
        EXPECT_EQ(ShellLaunch::localeName(row.locale,
                      [&](const std::string& name) {
                          asked.push_back(name);
                          return row.installed.contains(name);
                      }),
            row.name);
        for (const auto& name : asked)
            EXPECT_EQ(name.find('/'), std::string::npos) << name;
    }
}

// Whatever the user's locale and whichever locales this system has, the shell's programs get a LANG
// they can load, so text beyond ASCII reaches the terminal intact.
TEST(PTYProcess, LoginShellsProgramsRunInUTF8)
{
    for (const ShellLaunch::Locale& locale :
        { ShellLaunch::Locale { "xx", "XX" }, ShellLaunch::Locale { "en", "US" } }) {
        SCOPED_TRACE(*locale.languageCode);
        ShellLaunch launch = ShellLaunch::loginShell({}, locale, { "/", "u", "/bin/sh" });
        launch.executable = "/usr/bin/locale";
        launch.arguments = { "locale", "charmap" };
        auto process = PTYProcess::spawn(launch, TerminalSize::standard);
        auto printed = readUntil(process->master(), "\r\n");
        EXPECT_EQ(printed, "UTF-8\r\n") << "LANG=" << launch.environment.at("LANG");
        EXPECT_EQ(waitForEnd(*process), (ShellExit { 0, std::nullopt }));
        close(process->master());
    }
}

TEST(PTYProcess, ShellStartsWithEverySignalAtItsDefaultAndNoneBlocked)
{
    // What a relay process typically carries: SIGPIPE ignored (sockets report EPIPE instead), and a
    // signal blocked on the thread that starts the shell.
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);

    ShellLaunch launch = command("");
    launch.executable = "/bin/grep";
    launch.arguments = { "grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status" };
    auto process = PTYProcess::spawn(launch, TerminalSize::standard);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    sigaction(SIGPIPE, &previous, nullptr);

    // The C library keeps the signals below SIGRTMIN for itself and hands them to every child it
    // spawns as ignored; no program using it can name them.
    std::uint64_t reserved = 0;
    for (int signal = 32; signal < SIGRTMIN; ++signal)
        reserved |= std::uint64_t(1) << (signal - 1);
    std::istringstream lines(readUntil(process->master(), "SigIgn:\t0000000000000000\r\n"));
    std::map<std::string, std::uint64_t> masks;
    for (std::string name, value; lines >> name >> value;)
        masks[name] = std::stoull(value, nullptr, 16) & ~reserved;
    EXPECT_EQ(masks, (std::map<std::string, std::uint64_t> { { "SigBlk:", 0 }, { "SigIgn:", 0 } }));
    EXPECT_EQ(waitForEnd(*process), (ShellExit { 0, std::nullopt }));
    close(process->master());
}

}
