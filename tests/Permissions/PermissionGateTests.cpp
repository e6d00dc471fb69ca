// The gate against a client written apart from it: tests/peers/permission_gate_client.py.
#include "VellumarMacCore/Permissions/PermissionGate.h"

#include "VellumarMacCore/Permissions/UnixSocketLines.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <memory>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

const std::string kRefusal = "{\"behavior\":\"deny\",\"message\":\"This needs a confirmation that could "
                             "not be given here, so it was refused.\"}";

JSON anyDecision(const JSON&) { return JSON::object({}); }

std::string clientScript() { return (test::sourceDir() / "tests/peers/permission_gate_client.py").string(); }

// What the python client received on one connection (sending `input` in the "send" mode) before the
// gate closed it.
std::string receivedFrom(const std::string& socketPath, const std::string& input, const char* mode = "send")
{
    test::PeerResult result = test::runPeer({ "python3", clientScript(), socketPath, mode }, input);
    auto report = JSON::decode(result.output);
    if (!report || !report->subscript("received"))
        return "unreadable report: " + result.output;
    return *report->subscript("received")->stringValue();
}

// A socket connected from this process, so that the test knows when its connect has completed (the
// gate lets connections in in the order they were made); -errno when the connect fails.
int connected(const std::string& socketPath)
{
    auto address = unixSocketAddress(socketPath);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&*address), unixSocketAddressLength) == 0) {
        setSocketTimeouts(fd, 60);
        return fd;
    }
    const int error = errno;
    close(fd);
    return -error;
}

std::string connectOutcome(const std::string& path)
{
    const int fd = connected(path);
    if (fd >= 0)
        close(fd);
    return std::to_string(fd < 0 ? -fd : 0);
}

[[maybe_unused]] const bool connectRegistered = test::registerUnprivilegedCheck("connect", connectOutcome);

// The reply to a request {"n": N}, large enough to need several writes.
JSON heldReply(std::int64_t number)
{
    return JSON::object({ { "behavior", "allow" }, { "n", number }, { "pad", std::string(300000, 'x') } });
}

// The line the python client prints for the reply to N.
std::string heldReport(const std::string& number)
{
    return number + " " + std::to_string(heldReply(std::stoi(number)).encoded().size()) + " json";
}

// Holds each request {"n": N} under the name N until the test releases it.
PermissionGate::Decide heldDecision(std::shared_ptr<test::HeldCalls> held)
{
    return [held](const JSON& request) {
        std::int64_t number = request.subscript("n")->intValue().value_or(-1);
        held->hold(std::to_string(number));
        return heldReply(number);
    };
}

}

TEST(PermissionGate, AnswersOneRequestPerConnectionAndRefusesWhatItCannotDecide)
{
    auto held = std::make_shared<test::HeldCalls>();
    const std::string asked = R"({"input":{},"tool_use_id":"t1"})", throwing = R"({"throw":1})";
    held->release(asked);
    held->release(throwing);
    PermissionGate gate([held](const JSON& request) {
        held->hold(request.encoded());
        if (request.subscript("throw"))
            throw std::runtime_error("no decision");
        return JSON::object({ { "behavior", "allow" }, { "updatedInput", JSON::object({ { "a/b", 1 } }) } });
    });
    const std::string refused = kRefusal + "\n";
    // One request per connection: a second line is never read.
    for (const auto& [input, reply] : std::vector<std::pair<std::string, std::string>> {
             { "{\"tool_use_id\":\"t1\",\"input\":{}}\n{\"n\":2}\n",
                 "{\"behavior\":\"allow\",\"updatedInput\":{\"a/b\":1}}\n" },
             { "hello\n", refused }, { "{\"throw\":1}\n", refused } }) {
        SCOPED_TRACE(input);
        EXPECT_EQ(receivedFrom(gate.path(), input), reply);
    }
    // A client that stays silent is refused after its ten seconds.
    EXPECT_EQ(receivedFrom(gate.path(), "", "silent"), refused);
    EXPECT_EQ(held->arrived(0), (std::multiset<std::string> { asked, throwing }));
}

TEST(PermissionGate, KeepsItsSocketToItsOwnUser)
{
    test::TemporaryFolder temporary;
    fs::permissions(temporary.path(), fs::perms(0755));
    // With nothing masked, only the gate's own modes keep others out.
    const mode_t previousMask = umask(0);
    PermissionGate gate(anyDecision, temporary.path());
    umask(previousMask);
    const std::string name = gate.folder().filename().string();
    EXPECT_EQ(test::runUnprivileged("connect", temporary.path(), "/" + name + "/s"), std::to_string(EACCES));
    // The socket itself refuses as well, should its folder ever be opened up.
    EXPECT_EQ(test::modeOf(gate.path()), 0600u);
    fs::permissions(gate.folder(), fs::perms(0755));
    EXPECT_EQ(test::runUnprivileged("connect", temporary.path(), "/" + name + "/s"), std::to_string(EACCES));
    // Opened up by hand, the same socket is reached: the refusal came from the modes alone.
    fs::permissions(gate.path(), fs::perms(0777));
    EXPECT_EQ(test::runUnprivileged("connect", temporary.path(), "/" + name + "/s"), "0");
}

TEST(PermissionGate, FailsWithoutLeavingAFolderWhenItsSocketCannotBeMade)
{
    test::TemporaryFolder temporary;
    // "/vlp-", 12 digits and "/s" add 19 bytes; a socket path holds at most 107.
    const std::size_t fill = 107 - 19 - temporary.path().string().size() - 1;
    const fs::path tooLong = test::madeFolder(temporary / std::string(fill + 1, 'l'));
    PermissionGate longest(anyDecision, test::madeFolder(temporary / std::string(fill, 'f')));
    EXPECT_EQ(longest.path().size(), 107u);
    EXPECT_EQ(receivedFrom(longest.path(), "[]\n"), kRefusal + "\n");
    auto error = test::thrown<PermissionGateError>([&] { PermissionGate gate(anyDecision, tooLong); });
    EXPECT_EQ(error ? error->kind() : PermissionGateError::Kind::writeFailed,
        PermissionGateError::Kind::invalidFileName);
    EXPECT_TRUE(fs::is_empty(tooLong));
}

TEST(PermissionGate, ServesSixteenConnectionsAtOnceAndLetsTheNextInWhenOneEnds)
{
    auto held = std::make_shared<test::HeldCalls>();
    PermissionGate gate(heldDecision(held));
    test::InteractivePeer client({ "python3", clientScript(), gate.path(), "parallel", "17" });
    auto firstIn = held->arrived(16);
    ASSERT_TRUE(firstIn);
    // A seventeenth would be let in at once; a second's wait for it cannot fail a working gate.
    EXPECT_FALSE(held->arrived(17, std::chrono::seconds(1)));
    // Whichever got in first is answered while the others still wait.
    const std::string ended = *firstIn->begin();
    held->release(ended);
    EXPECT_EQ(client.readLine(), heldReport(ended));

    ASSERT_TRUE(held->arrived(17));
    std::set<std::string> expected, reports;
    for (int number = 0; number < 17; ++number) {
        held->release(std::to_string(number));
        if (std::to_string(number) != ended)
            expected.insert(heldReport(std::to_string(number)));
    }
    for (int index = 0; index < 16; ++index)
        reports.insert(client.readLine().value_or("none"));
    EXPECT_EQ(reports, expected);
    EXPECT_EQ(client.wait(), 0);
}

TEST(PermissionGate, ClosingWaitsForADecisionUnderWayAndRefusesEveryOtherRequestAtOnce)
{
    auto held = std::make_shared<test::HeldCalls>();
    held->release("1");
    PermissionGate gate(heldDecision(held));
    // Connected first, so let in before the python client's request: one idle, one half-sent.
    const int idle = connected(gate.path()), unfinished = connected(gate.path());
    ASSERT_TRUE(idle >= 0 && unfinished >= 0);
    ASSERT_TRUE(writeAll(unfinished, "{\"n\":"));
    test::InteractivePeer client({ "python3", clientScript(), gate.path(), "parallel", "1" });
    ASSERT_TRUE(held->arrived(1));

    auto closing = std::async(std::launch::async, [&] {
        gate.close();
        return held->hasLeft("0");
    });
    // The folder goes before close waits for decisions, so this one is released while close is under way.
    ASSERT_TRUE(test::eventually([&] { return !fs::exists(gate.folder()); }));
    held->release("0");
    // Well below the 10 s a client has to send its request, which close must not wait out.
    ASSERT_EQ(closing.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(closing.get());
    EXPECT_EQ(client.readLine(), heldReport("0"));
    EXPECT_EQ(client.wait(), 0);
    writeAll(unfinished, "1}\n");
    for (int fd : { unfinished, idle }) {
        EXPECT_EQ(readLine(fd, 1048576), kRefusal);
        close(fd);
    }
    EXPECT_EQ(held->arrived(1), std::multiset<std::string> { "0" });
}

namespace {

bool hasThreadNamed(const std::string& name)
{
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        if (test::readFile(task.path() / "comm") == name + "\n")
            return true;
    }
    return false;
}

}

TEST(PermissionGate, CloseReturnsToEveryCallerOnceItsThreadEndedWithoutWaitingOutItsGrace)
{
    // Linux keeps 15 bytes of "vellumar.permission-gate".
    const std::string acceptThread = "vellumar.permis";
    // Each close may wait up to 2 s for the accept thread, which a working gate never needs: forty
    // gates fit in the minute only when none waits that long.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int closed = 0;
    for (; closed < 40 && std::chrono::steady_clock::now() < deadline; ++closed) {
        PermissionGate gate(anyDecision);
        ASSERT_TRUE(closed > 0 || test::eventually([&] { return hasThreadNamed(acceptThread); }));
        std::vector<std::jthread> closers;
        for (int index = 0; index < 3; ++index) {
            closers.emplace_back([&] {
                gate.close();
                EXPECT_FALSE(fs::exists(gate.folder()));
            });
        }
    }
    EXPECT_EQ(closed, 40);
    EXPECT_TRUE(test::eventually([&] { return !hasThreadNamed(acceptThread); }));
}
