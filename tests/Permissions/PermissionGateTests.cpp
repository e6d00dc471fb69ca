// The gate against a client written apart from it: tests/peers/permission_gate_client.py.
#include "VellumarMacCore/Permissions/PermissionGate.h"

#include "VellumarMacCore/Permissions/UnixSocketLines.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <memory>
#include <regex>
#include <set>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

const std::string kRefusalLine = "{\"behavior\":\"deny\",\"message\":\"This needs a confirmation that could "
                                 "not be given here, so it was refused.\"}\n";

JSON anyDecision(const JSON&) { return JSON::object({}); }

std::string clientScript() { return (test::sourceDir() / "tests/peers/permission_gate_client.py").string(); }

// What the python client received on one connection that sent `input`, after the gate closed it.
std::string receivedFrom(const std::string& socketPath, const std::string& input)
{
    test::PeerResult result = test::runPeer({ "python3", clientScript(), socketPath, "send" }, input);
    auto report = JSON::decode(result.output);
    if (!report || !report->subscript("received"))
        return "unreadable report: " + result.output;
    EXPECT_EQ(report->subscript("closed")->boolValue(), true);
    return *report->subscript("received")->stringValue();
}

// A client connected from this process, so that the test knows when its connect has completed; the
// gate lets connections in in the order they were made.
class DirectClient {
public:
    explicit DirectClient(const std::string& socketPath)
        : m_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        auto address = unixSocketAddress(socketPath);
        EXPECT_EQ(connect(m_fd, reinterpret_cast<const sockaddr*>(&*address), unixSocketAddressLength), 0);
        setSocketTimeouts(m_fd, 60);
    }
    ~DirectClient() { close(m_fd); }
    DirectClient(const DirectClient&) = delete;
    DirectClient& operator=(const DirectClient&) = delete;

    void send(std::string_view bytes) { ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Everything up to end of stream, marked when the stream is still open after 60 s.
    std::string received()
    {
        std::string text;
        char buffer[4096];
        for (ssize_t count; (count = recv(m_fd, buffer, sizeof buffer, 0)) != 0;) {
            if (count < 0)
                return text + "(no end of stream)";
            text.append(buffer, static_cast<std::size_t>(count));
        }
        return text;
    }

private:
    int m_fd;
};

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
    struct Case {
        std::string name, input, reply;
    };
    for (const auto& c : std::vector<Case> {
             { "one request; a second line is never read",
                 "{\"tool_use_id\":\"t1\",\"input\":{}}\n{\"n\":2}\n",
                 "{\"behavior\":\"allow\",\"updatedInput\":{\"a/b\":1}}\n" },
             { "nothing, then end of stream", "", kRefusalLine },
             { "not JSON", "hello\n", kRefusalLine },
             { "JSON but not an object", "[1,2]\n", kRefusalLine },
             { "a decision that throws", "{\"throw\":1}\n", kRefusalLine },
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(receivedFrom(gate.path(), c.input), c.reply);
    }
    EXPECT_EQ(held->arrived(0), (std::multiset<std::string> { asked, throwing }));
}

TEST(PermissionGate, RefusesAClientThatStaysSilentForTenSeconds)
{
    PermissionGate gate(anyDecision);
    DirectClient silent(gate.path());
    EXPECT_EQ(silent.received(), kRefusalLine);
}

namespace {

mode_t modeOf(const fs::path& path)
{
    struct stat info { };
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
}

// The errno of a connect to the socket at `path`, or 0 when it connects.
std::string connectOutcome(const std::string& path)
{
    auto address = unixSocketAddress(path);
    int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected
        = connect(client, reinterpret_cast<const sockaddr*>(&*address), unixSocketAddressLength) == 0;
    return std::to_string(connected ? 0 : errno);
}

[[maybe_unused]] const bool connectRegistered = test::registerUnprivilegedCheck("connect", connectOutcome);

}

TEST(PermissionGate, KeepsItsSocketToItsOwnUser)
{
    test::TemporaryFolder temporary;
    fs::permissions(temporary.path(), fs::perms(0755));
    PermissionGate gate(anyDecision, temporary.path());
    const std::string name = gate.folder().filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex("vlp-[0-9a-f]{12}"))) << name;
    EXPECT_EQ(gate.path(), (gate.folder() / "s").string());
    EXPECT_EQ(modeOf(gate.folder()), S_IFDIR | 0700);
    EXPECT_EQ(modeOf(gate.path()), S_IFSOCK | 0600);
    EXPECT_EQ(test::runUnprivileged("connect", temporary.path(), "/" + name + "/s"), std::to_string(EACCES));
    // Opened up by hand, the same socket is reached: the refusal came from the modes alone.
    fs::permissions(gate.folder(), fs::perms(0755));
    fs::permissions(gate.path(), fs::perms(0777));
    EXPECT_EQ(test::runUnprivileged("connect", temporary.path(), "/" + name + "/s"), "0");
}

TEST(PermissionGate, FailsWithoutLeavingAFolderWhenItsSocketCannotBeMade)
{
    test::TemporaryFolder temporary;
    // "/vlp-", 12 digits and "/s" add 19 bytes; a socket path holds at most 107.
    const std::size_t fill = 107 - 19 - temporary.path().string().size() - 1;
    const fs::path fits = test::madeFolder(temporary / std::string(fill, 'f'));
    const fs::path tooLong = test::madeFolder(temporary / std::string(fill + 1, 'l'));
    PermissionGate longest(anyDecision, fits);
    EXPECT_EQ(longest.path().size(), 107u);
    EXPECT_EQ(receivedFrom(longest.path(), "[]\n"), kRefusalLine);
    try {
        PermissionGate gate(anyDecision, tooLong);
        ADD_FAILURE() << "opened " << gate.path();
    } catch (const PermissionGateError& error) {
        EXPECT_EQ(error.kind(), PermissionGateError::Kind::invalidFileName);
    }
    EXPECT_TRUE(fs::is_empty(tooLong));
    EXPECT_THROW(PermissionGate(anyDecision, temporary / "missing"), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(temporary / "missing"));
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
    DirectClient idle(gate.path());
    DirectClient unfinished(gate.path());
    unfinished.send("{\"n\":");
    test::InteractivePeer client({ "python3", clientScript(), gate.path(), "parallel", "1" });
    ASSERT_TRUE(held->arrived(1));

    auto closing = std::async(std::launch::async, [&] {
        gate.close();
        return held->hasLeft("0");
    });
    // The folder goes before close waits, so the decision is released while close is under way.
    ASSERT_TRUE(test::eventually([&] { return !fs::exists(gate.folder()); }));
    held->release("0");
    // Well below the 10 s a client has to send its request, which close must not wait out.
    ASSERT_EQ(closing.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(closing.get());
    EXPECT_EQ(client.readLine(), heldReport("0"));
    EXPECT_EQ(client.wait(), 0);
    unfinished.send("1}\n");
    EXPECT_EQ(unfinished.received(), kRefusalLine);
    EXPECT_EQ(idle.received(), kRefusalLine);
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

TEST(PermissionGate, CloseRemovesTheFolderAndEndsItsThreadForEveryCaller)
{
    // Linux keeps 15 bytes of "vellumar.permission-gate".
    const std::string acceptThread = "vellumar.permis";
    auto gate = std::make_unique<PermissionGate>(anyDecision);
    EXPECT_TRUE(test::eventually([&] { return hasThreadNamed(acceptThread); }));
    std::vector<std::thread> closers;
    for (int index = 0; index < 4; ++index) {
        closers.emplace_back([&] {
            gate->close();
            EXPECT_FALSE(fs::exists(gate->folder()));
        });
    }
    for (auto& closer : closers)
        closer.join();
    gate->close();
    EXPECT_TRUE(test::eventually([&] { return !hasThreadNamed(acceptThread); }));
    gate.reset();
}
