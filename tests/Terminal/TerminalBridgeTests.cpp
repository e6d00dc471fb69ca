// A phone played by python3-websockets runs terminals over the real TLS listener: what it sees, how the
// shell ends when the phone goes, and what floods in either direction do. Where the input limit lies
// to the byte is shown with raw frames against a terminal that takes no more input.
#include "VellumarMacCore/Terminal/TerminalBridge.h"

#include "Platform/FileDescriptor.h"
#include "Platform/ProcessSession.h"
#include "VellumarMacCore/Foundations/WebSocketHandshake.h"
#include "tests/Terminal/RawWebSocketClient.h"
#include "tests/Terminal/TerminalRelay.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace vellumar;
using namespace std::chrono_literals;

namespace {

std::string textOf(const JSON& report, std::string_view key)
{
    const JSON* member = report.subscript(key);
    return member && member->stringValue() ? *member->stringValue() : member ? member->encoded() : "absent";
}

JSON closeOf(std::int64_t code, std::string_view reason)
{
    return JSON::object({ { "code", JSON(static_cast<long long>(code)) }, { "reason", JSON(reason) } });
}

// Whether `marker` showed in what the terminal printed within the test's patience.
bool printed(int master, std::string_view marker)
{
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (seen.find(marker) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd readable { master, POLLIN, 0 };
        char bytes[256];
        if (::poll(&readable, 1, 100) <= 0)
            continue;
        const ssize_t count = ::read(master, bytes, sizeof bytes);
        if (count <= 0 && errno != EAGAIN && errno != EINTR)
            return false;
        seen.append(bytes, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    }
    return seen.find(marker) != std::string::npos;
}

// Writes into the terminal's input until it takes no more. Linux's line discipline moves what a write
// left in its intake to the reader's buffer on a worker of its own, which frees the intake again: the
// input is full for good only once that buffer holds its 4,095 bytes and the intake is full behind it.
bool fillInput(int master)
{
    char slavePath[64];
    if (::ptsname_r(master, slavePath, sizeof slavePath) != 0)
        return false;
    const platform::FileDescriptor slave(::open(slavePath, O_RDONLY | O_NOCTTY | O_CLOEXEC));
    const std::string bytes(4096, 'x');
    const auto fill = [&] {
        while (::write(master, bytes.data(), bytes.size()) > 0) { }
        return errno == EAGAIN;
    };
    int held = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    bool filled = fill();
    while (filled && ::ioctl(slave.get(), FIONREAD, &held) == 0 && held < 4095
        && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    return filled && held >= 4095 && fill();
}

// A shell whose terminal takes no more input before the phone comes: every byte the phone sends then
// waits in the bridge. It never reads, and prints "resized" at each resize, so that a resize sent last
// shows what the bridge did with the input before it.
class FullTerminal {
public:
    FullTerminal()
        : m_shell(PTYProcess::spawn({ "/bin/sh",
                                        { "sh", "-c",
                                            "stty -icanon -echo; trap 'echo resized' WINCH; echo armed; "
                                            "while :; do sleep 600 & wait; done" },
                                        { { "PATH", "/usr/bin:/bin" } }, m_folder.path().string() },
            TerminalSize::standard))
        , m_full(printed(m_shell->master(), "armed") && fillInput(m_shell->master()))
    {
    }
    // The listener goes first: its socket's end hangs up the shell, and the bridge ends with it.
    ~FullTerminal()
    {
        m_server.listener.reset();
        if (!m_shell)
            EXPECT_TRUE(m_ended->waitOpen(60s));
        else
            endUnbridged();
    }
    FullTerminal(const FullTerminal&) = delete;
    FullTerminal& operator=(const FullTerminal&) = delete;

    bool isFull() const { return m_full; }
    std::uint16_t port() const { return m_server.port; }

private:
    HTTPResponse upgrade(const HTTPRequest& request)
    {
        return HTTPResponse::webSocketAccept(WebSocketHandshake::validate(request),
            [this](std::shared_ptr<WebSocketConnection> socket) {
                m_bridge = TerminalBridge::make(
                    std::move(socket), std::move(m_shell), [ended = m_ended] { ended->open(); });
                m_bridge->start();
            },
            {});
    }
    void endUnbridged()
    {
        platform::signalSession(m_shell->pid(), SIGKILL);
        ::close(m_shell->master());
        while (::waitpid(m_shell->pid(), nullptr, 0) == -1 && errno == EINTR) { }
    }

    test::TemporaryFolder m_folder;
    std::unique_ptr<PTYProcess> m_shell;
    bool m_full;
    std::shared_ptr<test::Gate> m_ended = std::make_shared<test::Gate>();
    std::shared_ptr<TerminalBridge> m_bridge;
    test::RelayServer m_server { [this](const HTTPRequest& request) { return upgrade(request); }, {}, {},
        { .webSocket = relayWebSocketFactory() } };
};

TEST(TerminalBridge, ReadyComesFirstThenOutputAtTheNewSizeThenTheExitAndANormalClose)
{
    const struct {
        const char* command;
        std::vector<std::string> printed;
        const char* exit;
    } cases[] = {
        // The shell's prompt may come after the typed line's echo, on the line of the size.
        { "stty size; echo h''i; exit 0", { "50 120\r\n", "\r\nhi\r\n" },
            R"({"status":0,"type":"exit"})" },
        { "kill -KILL $$", {}, R"({"signal":9,"type":"exit"})" },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.command);
        test::TerminalRelay relay;
        const JSON report = relay.phone("session", { row.command });
        EXPECT_EQ(textOf(report, "first"), R"({"type":"ready"})");
        const std::string output = textOf(report, "output");
        for (const auto& printed : row.printed)
            EXPECT_NE(output.find(printed), std::string::npos) << output;
        EXPECT_EQ(test::reported(report, "after"), JSON::array({ row.exit }).encoded());
        EXPECT_EQ(test::reported(report, "close"), closeOf(1000, "").encoded());
        EXPECT_TRUE(relay.waitForCount(0));
    }
}

TEST(TerminalBridge, PhoneLeavingKillsAShellIgnoringHangUpAndItsForegroundJobAboutThreeSecondsLater)
{
    test::TerminalRelay relay;
    const JSON report = relay.phone("hangup");
    const auto pid = report.subscript("pid") ? report.subscript("pid")->intValue() : std::nullopt;
    ASSERT_TRUE(pid) << report.encoded();
    const auto* leavingAt = report.subscript("leavingAt");
    ASSERT_TRUE(leavingAt && leavingAt->numberValue()) << report.encoded();
    EXPECT_EQ(textOf(report, "close"), R"({"code":1000})");

    ASSERT_TRUE(relay.waitForCount(0));
    // A lower bound only: the hang-up was ignored, so only the kill that follows it ended the shell. The
    // phone tells when it left on the monotonic clock, which steady_clock reads too.
    const std::chrono::duration<double> left(*leavingAt->numberValue());
    const auto sinceLeaving = std::chrono::steady_clock::now().time_since_epoch() - left;
    EXPECT_GE(sinceLeaving, 2500ms);
    EXPECT_LT(sinceLeaving, 60s) << "the phone's clock is not the test's";
    // A killed process is gone once the kernel has torn it down, a moment after the signal.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    auto members = platform::sessionMembers(static_cast<pid_t>(*pid));
    while (!members.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
        members = platform::sessionMembers(static_cast<pid_t>(*pid));
    }
    EXPECT_EQ(members, std::vector<pid_t> {});
}

TEST(TerminalBridge, InputWaitingBeyondOneMebibyteClosesWith1009AndEndsTheShell)
{
    test::TerminalRelay relay;
    const JSON report = relay.phone("input-flood");
    EXPECT_EQ(test::reported(report, "close"), closeOf(1009, "Too much input at once.").encoded())
        << report.encoded();
    EXPECT_TRUE(relay.waitForCount(0));
}

TEST(TerminalBridge, ExactlyOneMebibyteOfInputMayWaitAndOneByteMoreClosesWith1009)
{
    const struct {
        const char* name;
        std::vector<std::size_t> messages;
        bool closes;
    } cases[] = {
        { "one message of exactly 1 MiB", { 1'048'576 }, false },
        { "two messages making exactly 1 MiB", { 1'048'575, 1 }, false },
        { "one byte more", { 1'048'576, 1 }, true },
    };
    static_assert(TerminalBridge::kMaxPendingInputBytes == 1'048'576);
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        FullTerminal terminal;
        ASSERT_TRUE(terminal.isFull());
        test::RawWebSocketClient phone(terminal.port());
        EXPECT_EQ(
            phone.nextFrame(), (WebSocketFrame { true, WebSocketOpcode::text, TerminalBridge::readyText() }));
        for (std::size_t size : row.messages)
            phone.sendFrame(WebSocketOpcode::binary, std::string(size, 'a'));
        phone.sendFrame(WebSocketOpcode::text, R"({"type":"resize","cols":100,"rows":30})");

        std::string output;
        std::optional<WebSocketFrame> frame;
        while ((frame = phone.nextFrame()) && frame->opcode == WebSocketOpcode::binary) {
            output += frame->payload;
            if (output.find("resized") != std::string::npos)
                break;
        }
        const std::string last = frame ? "opcode " + std::to_string(static_cast<int>(frame->opcode))
                + " with " + testing::PrintToString(frame->payload)
                                       : "the end of the stream";
        if (row.closes)
            EXPECT_TRUE(frame == WebSocketFrame::close(1009, "Too much input at once.")) << last;
        else
            EXPECT_NE(output.find("resized"), std::string::npos) << "the output was followed by " << last;
    }
}

TEST(TerminalBridge, SlowPhoneKeepsTheOutputWaitingInTheSocketBoundedThroughA50MBFlood)
{
    test::TerminalRelay relay;
    auto phone = std::async(std::launch::async, [&] { return relay.phone("output-flood"); });
    // What the socket holds is sampled while the flood runs; without back-pressure it would reach
    // tens of megabytes while the phone is not reading.
    std::int64_t most = 0;
    while (phone.wait_for(1ms) != std::future_status::ready) {
        for (const auto& socket : relay.sockets())
            most = std::max(most, socket->unsentBytes());
    }
    const JSON report = phone.get();
    EXPECT_EQ(textOf(report, "zeros"), "50000000") << report.encoded().substr(0, 2000);
    EXPECT_EQ(test::reported(report, "texts"), JSON::array({ R"({"status":0,"type":"exit"})" }).encoded());
    EXPECT_EQ(test::reported(report, "close"), closeOf(1000, "").encoded());
    // Reading pauses at 256 KiB waiting; one more read and the frames' heads may be on top of that.
    EXPECT_LE(most, TerminalBridge::kPauseReadingBytes + std::int64_t(TerminalBridge::kReadBytes) + 64);
    EXPECT_GT(most, 0);
}

TEST(TerminalBridge, ResizeMessagesOutsideTheRulesAreIgnored)
{
    const std::string fits = R"({"type":"resize","cols":80,"rows":24})";
    const struct {
        std::string text;
        std::optional<TerminalSize> size;
    } cases[] = {
        { R"({"rows":50,"type":"resize","cols":120.0})", TerminalSize { 120, 50 } },
        { R"({"type":"resize","cols":1000,"rows":500,"extra":[1]})", TerminalSize { 1000, 500 } },
        { R"({"type":"resize","cols":0,"rows":24})", std::nullopt },
        { R"({"type":"resize","cols":1001,"rows":24})", std::nullopt },
        { R"({"type":"resize","cols":80,"rows":501})", std::nullopt },
        { R"({"type":"resize","cols":80})", std::nullopt },
        { R"({"type":"resize","cols":"80","rows":"24"})", std::nullopt },
        { R"({"type":"resize","cols":80.5,"rows":24})", std::nullopt },
        { R"({"type":"Resize","cols":80,"rows":24})", std::nullopt },
        { R"({"cols":80,"rows":24})", std::nullopt },
        { R"([{"type":"resize","cols":80,"rows":24}])", std::nullopt },
        { R"({"type":"resize","cols":80,"rows":24)", std::nullopt },
        { fits + std::string(4096 - fits.size(), ' '), TerminalSize { 80, 24 } },
        { fits + std::string(4097 - fits.size(), ' '), std::nullopt },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.text.substr(0, 60) + " (" + std::to_string(row.text.size()) + " bytes)");
        EXPECT_EQ(TerminalBridge::decodeResize(row.text), row.size);
    }
}

TEST(TerminalBridge, ExitReportNamesTheStatusOrTheSignal)
{
    EXPECT_EQ(TerminalBridge::exitReport({ 0, std::nullopt }), R"({"status":0,"type":"exit"})");
    EXPECT_EQ(TerminalBridge::exitReport({ 255, std::nullopt }), R"({"status":255,"type":"exit"})");
    EXPECT_EQ(TerminalBridge::exitReport({ std::nullopt, 9 }), R"({"signal":9,"type":"exit"})");
}

}
