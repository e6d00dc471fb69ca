// A phone played by python3-websockets runs terminals over the real TLS listener: what it sees, how the
// shell ends when the phone goes, and what floods in either direction do.
#include "VellumarMacCore/Terminal/TerminalBridge.h"

#include "Platform/ProcessSession.h"
#include "tests/Terminal/TerminalRelay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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

TEST(TerminalBridge, ReadyComesFirstThenOutputAtTheNewSizeThenTheExitAndANormalClose)
{
    const struct {
        const char* command;
        std::vector<std::string> printed;
        const char* exit;
    } cases[] = {
        { "stty size; echo h''i; exit 0", { "\r\n50 120\r\n", "\r\nhi\r\n" },
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
