// The gate against a client written apart from it: tests/peers/permission_gate_client.py.
#include "VellumarMacCore/Permissions/PermissionGate.h"

#include "VellumarMacCore/Permissions/UnixSocketLines.h"

#include "tests/support/InteractivePeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

std::string clientScript() { return (test::sourceDir() / "tests/peers/permission_gate_client.py").string(); }

// What the python client received on one connection, after the gate closed it.
std::string receivedFrom(
    const std::string& socketPath, const std::string& mode, const std::string& input = {})
{
    test::PeerResult result = test::runPeer({ "python3", clientScript(), socketPath, mode }, input);
    auto report = JSON::decode(result.output);
    if (!report || !report->subscript("received"))
        return "unreadable report: " + result.output;
    EXPECT_EQ(report->subscript("closed")->boolValue(), true);
    return *report->subscript("received")->stringValue();
}

// Records every request it is asked about and answers with a fixed decision. What the connection
// threads touch is shared with them, since they may still be unwinding when a test ends.
class RecordingDecision {
public:
    PermissionGate::Decide decide()
    {
        return [state = m_state](const JSON& request) {
            std::lock_guard guard(state->lock);
            state->requests.push_back(request);
            return JSON::object(
                { { "behavior", "allow" }, { "updatedInput", JSON::object({ { "a/b", 1 } }) } });
        };
    }
    std::vector<JSON> requests()
    {
        std::lock_guard guard(m_state->lock);
        return m_state->requests;
    }

private:
    struct State {
        std::mutex lock;
        std::vector<JSON> requests;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

const std::string kRefusalLine = "{\"behavior\":\"deny\",\"message\":\"This needs a confirmation that could "
                                 "not be given here, so it was "
                                 "refused.\"}\n";

mode_t modeOf(const fs::path& path)
{
    struct stat info { };
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
}

}

TEST(PermissionGate, AnswersOneLinePerConnectionThenCloses)
{
    RecordingDecision decision;
    PermissionGate gate(decision.decide());
    std::string received = receivedFrom(gate.path(), "send",
        "{\"tool_name\":\"Write\",\"input\":{\"file_path\":\"/tmp/"
        "x\"},\"tool_use_id\":\"t1\"}\n{\"second\":true}\n");
    EXPECT_EQ(received, "{\"behavior\":\"allow\",\"updatedInput\":{\"a/b\":1}}\n");
    ASSERT_EQ(decision.requests().size(), 1u);
    EXPECT_EQ(decision.requests()[0].encoded(),
        "{\"input\":{\"file_path\":\"/tmp/x\"},\"tool_name\":\"Write\",\"tool_use_id\":\"t1\"}");
}

TEST(PermissionGate, RefusesRequestsThatAreNotOneJSONObject)
{
    RecordingDecision decision;
    PermissionGate gate(decision.decide());
    struct Case {
        std::string name;
        std::string input;
    };
    for (const auto& testCase : std::vector<Case> {
             { "garbage", "hello there\n" },
             { "array", "[1,2]\n" },
             { "bare string", "\"allow\"\n" },
             { "empty line", "\n" },
             { "nothing, then end of stream", "" },
             { "broken UTF-8", "{\"a\":\"\xff\"}\n" },
             { "a megabyte without a line feed", std::string(1048576, 'a') },
         }) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(receivedFrom(gate.path(), "send", testCase.input), kRefusalLine);
    }
    EXPECT_EQ(decision.requests().size(), 0u);
}

TEST(PermissionGate, RefusesAClientThatStaysSilentForTenSeconds)
{
    RecordingDecision decision;
    PermissionGate gate(decision.decide());
    EXPECT_EQ(receivedFrom(gate.path(), "silent"), kRefusalLine);
    EXPECT_EQ(decision.requests().size(), 0u);
}

TEST(PermissionGate, RefusesWhenTheDecisionThrows)
{
    PermissionGate gate([](const JSON&) -> JSON { throw std::runtime_error("no decision"); });
    EXPECT_EQ(receivedFrom(gate.path(), "send", "{}\n"), kRefusalLine);
}

TEST(PermissionGate, KeepsItsSocketInAPrivateFolder)
{
    test::TemporaryFolder temporary;
    PermissionGate gate([](const JSON&) { return JSON::object({}); }, temporary.path());
    std::string name = gate.folder().filename().string();
    EXPECT_EQ(name.size(), 16u);
    EXPECT_TRUE(name.starts_with("vlp-"));
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef", 4), std::string::npos) << name;
    EXPECT_EQ(gate.folder().parent_path(), temporary.path());
    EXPECT_EQ(gate.path(), (gate.folder() / "s").string());
    EXPECT_EQ(modeOf(gate.folder()) & 07777, 0700u);
    EXPECT_TRUE(S_ISDIR(modeOf(gate.folder())));
    EXPECT_EQ(modeOf(gate.path()) & 07777, 0600u);
    EXPECT_TRUE(S_ISSOCK(modeOf(gate.path())));
}

namespace {

// The errno of a connect to `relativePath` (0 on success) by a child that changed into `folder`
// and then became the unprivileged user "nobody". The folder is entered while still root because
// this machine's root folder admits nobody else; what lies below it is then checked as nobody.
int connectAsNobody(const fs::path& folder, const std::string& relativePath)
{
    auto address = unixSocketAddress(relativePath);
    int folderDescriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!address || folderDescriptor < 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        if (fchdir(folderDescriptor) != 0 || setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0
            || setresuid(65534, 65534, 65534) != 0)
            _exit(255);
        int client = socket(AF_UNIX, SOCK_STREAM, 0);
        int result = connect(client, reinterpret_cast<const sockaddr*>(&*address), unixSocketAddressLength);
        _exit(result == 0 ? 0 : errno);
    }
    close(folderDescriptor);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}

TEST(PermissionGate, RefusesOtherUsers)
{
    test::TemporaryFolder temporary;
    fs::permissions(temporary.path(), fs::perms(0755));
    PermissionGate gate([](const JSON&) { return JSON::object({}); }, temporary.path());
    std::string socketBelow = gate.folder().filename().string() + "/s";

    // The same user at the same place reaches a socket that is open to all.
    fs::create_directory(temporary / "open");
    fs::permissions(temporary / "open", fs::perms(0755));
    int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto openAddress = unixSocketAddress((temporary / "open/s").string());
    ASSERT_TRUE(openAddress);
    ASSERT_EQ(bind(listening, reinterpret_cast<const sockaddr*>(&*openAddress), unixSocketAddressLength), 0);
    ASSERT_EQ(listen(listening, 1), 0);
    fs::permissions(temporary / "open/s", fs::perms(0777));
    EXPECT_EQ(connectAsNobody(temporary.path(), "open/s"), 0);
    close(listening);

    EXPECT_EQ(connectAsNobody(temporary.path(), socketBelow), EACCES);
    // The socket's own mode refuses as well, should its folder ever be opened up.
    fs::permissions(gate.folder(), fs::perms(0755));
    EXPECT_EQ(connectAsNobody(temporary.path(), socketBelow), EACCES);
    EXPECT_EQ(test::runPeer({ "python3", clientScript(), gate.path(), "connect" }).output, "connected\n");
}

TEST(PermissionGate, FailsWithoutLeavingAFolderWhenTheSocketPathIsTooLong)
{
    test::TemporaryFolder temporary;
    // "/vlp-" + 12 digits + "/s" adds 19 bytes to the temporary folder's path.
    std::size_t fill = 107 - 19 - temporary.path().string().size() - 1;
    fs::path fits = temporary.path() / std::string(fill, 'f');
    fs::path tooLong = temporary.path() / std::string(fill + 1, 'l');
    fs::create_directories(fits);
    fs::create_directories(tooLong);

    PermissionGate longest([](const JSON&) { return JSON::object({}); }, fits);
    EXPECT_EQ(longest.path().size(), 107u);
    EXPECT_EQ(receivedFrom(longest.path(), "send", "[]\n"), kRefusalLine);

    try {
        PermissionGate gate([](const JSON&) { return JSON::object({}); }, tooLong);
        FAIL() << "opened " << gate.path();
    } catch (const PermissionGateError& error) {
        EXPECT_EQ(error.kind(), PermissionGateError::Kind::invalidFileName);
    }
    EXPECT_TRUE(fs::is_empty(tooLong));
}

TEST(PermissionGate, FailsWhenTheTemporaryFolderIsMissing)
{
    test::TemporaryFolder temporary;
    EXPECT_THROW(PermissionGate([](const JSON&) { return JSON::object({}); }, temporary / "missing"),
        fs::filesystem_error);
    EXPECT_FALSE(fs::exists(temporary / "missing"));
}

TEST(PermissionGate, CloseRemovesTheFolderAndCanBeRepeated)
{
    RecordingDecision decision;
    auto gate = std::make_unique<PermissionGate>(decision.decide());
    fs::path folder = gate->folder();
    gate->close();
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(test::runPeer({ "python3", clientScript(), gate->path(), "connect" }).output, "ENOENT\n");
    gate->close();
    std::thread other([&] { gate->close(); });
    other.join();
    gate.reset();
    EXPECT_EQ(decision.requests().size(), 0u);
}

TEST(PermissionGate, ClosingFromSeveralThreadsAtOnceIsSafe)
{
    PermissionGate gate([](const JSON&) { return JSON::object({}); });
    std::vector<std::thread> closers;
    for (int index = 0; index < 4; ++index)
        closers.emplace_back([&] { gate.close(); });
    for (auto& closer : closers)
        closer.join();
    EXPECT_FALSE(fs::exists(gate.folder()));
}

namespace {

// Holds each request until the test releases its number; answers with a large payload so that a
// reply needs several writes. Counts how many decisions are under way at once. The state is shared
// with the connection threads.
class HeldDecisions {
public:
    static constexpr std::size_t kPayloadBytes = 300000;

    PermissionGate::Decide decide()
    {
        return [state = m_state](const JSON& request) {
            std::int64_t number = request.subscript("n")->intValue().value_or(-1);
            std::unique_lock guard(state->lock);
            state->waiting.insert(number);
            state->mostAtOnce = std::max(state->mostAtOnce, state->waiting.size() - state->returned.size());
            state->changed.notify_all();
            state->changed.wait(guard, [&] { return state->released.contains(number); });
            state->returned.insert(number);
            return JSON::object(
                { { "behavior", "allow" }, { "n", number }, { "pad", std::string(kPayloadBytes, 'x') } });
        };
    }
    // Every number that reached the decision so far, once at least `count` did.
    std::optional<std::set<std::int64_t>> waitForWaiting(std::size_t count)
    {
        std::unique_lock guard(m_state->lock);
        if (!m_state->changed.wait_for(
                guard, std::chrono::seconds(60), [&] { return m_state->waiting.size() >= count; }))
            return std::nullopt;
        return m_state->waiting;
    }
    void release(std::int64_t number)
    {
        std::lock_guard guard(m_state->lock);
        m_state->released.insert(number);
        m_state->changed.notify_all();
    }
    bool hasReturned(std::int64_t number)
    {
        std::lock_guard guard(m_state->lock);
        return m_state->returned.contains(number);
    }
    std::size_t mostAtOnce()
    {
        std::lock_guard guard(m_state->lock);
        return m_state->mostAtOnce;
    }

private:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::set<std::int64_t> waiting;
        std::set<std::int64_t> released;
        std::set<std::int64_t> returned;
        std::size_t mostAtOnce = 0;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

// The line the python client prints for the held decision of `number`.
std::string heldReplyReport(std::int64_t number)
{
    auto reply = JSON::object({ { "behavior", "allow" }, { "n", number },
        { "pad", std::string(HeldDecisions::kPayloadBytes, 'x') } });
    return std::to_string(number) + " " + std::to_string(reply.encoded().size()) + " json";
}

// A client connected from this process, so that the test knows when its connect has completed.
// The gate lets connections in in the order they were made.
class DirectClient {
public:
    explicit DirectClient(const std::string& socketPath)
        : m_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        auto address = unixSocketAddress(socketPath);
        EXPECT_TRUE(address);
        EXPECT_EQ(connect(m_fd, reinterpret_cast<const sockaddr*>(&*address), unixSocketAddressLength), 0);
    }
    ~DirectClient() { close(m_fd); }
    DirectClient(const DirectClient&) = delete;
    DirectClient& operator=(const DirectClient&) = delete;

    // Sends without learning whether the gate still reads.
    void send(std::string_view bytes) { ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // What has arrived by now, up to end of stream; nothing still to come is waited for.
    std::string receivedSoFar()
    {
        std::string received;
        char buffer[4096];
        ssize_t count;
        while ((count = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            received.append(buffer, static_cast<std::size_t>(count));
        return received;
    }

private:
    int m_fd;
};

// Polls, since nothing signals it; the deadline is a guard against a hang, not a measurement.
bool waitUntilGone(const fs::path& path)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (fs::exists(path)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

}

TEST(PermissionGate, ServesConnectionsSideBySideAndAnswersInTheOrderDecided)
{
    HeldDecisions decisions;
    PermissionGate gate(decisions.decide());
    test::InteractivePeer client({ "python3", clientScript(), gate.path(), "parallel", "3" });
    ASSERT_TRUE(decisions.waitForWaiting(3));
    for (int number : { 2, 1, 0 }) {
        decisions.release(number);
        EXPECT_EQ(client.readLine(), heldReplyReport(number));
    }
    EXPECT_EQ(client.wait(), 0);
}

TEST(PermissionGate, ServesSixteenConnectionsAtOnceAndLetsTheNextInWhenOneEnds)
{
    HeldDecisions decisions;
    PermissionGate gate(decisions.decide());
    test::InteractivePeer client({ "python3", clientScript(), gate.path(), "parallel", "17" });
    auto firstIn = decisions.waitForWaiting(16);
    ASSERT_TRUE(firstIn);
    std::int64_t ended = *firstIn->begin();
    decisions.release(ended);
    EXPECT_EQ(client.readLine(), heldReplyReport(ended));

    ASSERT_TRUE(decisions.waitForWaiting(17));
    std::set<std::string> expected;
    for (std::int64_t number = 0; number < 17; ++number) {
        decisions.release(number);
        if (number != ended)
            expected.insert(heldReplyReport(number));
    }
    std::set<std::string> reports;
    for (int index = 0; index < 16; ++index) {
        auto line = client.readLine();
        ASSERT_TRUE(line);
        reports.insert(*line);
    }
    EXPECT_EQ(reports, expected);
    EXPECT_EQ(client.wait(), 0);
    EXPECT_EQ(decisions.mostAtOnce(), 16u);
}

TEST(PermissionGate, ClosingWaitsForADecisionUnderWayAndStartsNoOther)
{
    HeldDecisions decisions;
    decisions.release(1);
    PermissionGate gate(decisions.decide());
    // Connected first, so let in before the request below; its own request is not complete yet.
    DirectClient unfinished(gate.path());
    unfinished.send("{\"n\":");
    test::InteractivePeer client({ "python3", clientScript(), gate.path(), "parallel", "1" });
    ASSERT_TRUE(decisions.waitForWaiting(1));

    bool decidedBeforeCloseReturned = false;
    std::thread closer([&] {
        gate.close();
        decidedBeforeCloseReturned = decisions.hasReturned(0);
    });
    // The folder goes before close waits, so the decision is released while close is under way.
    EXPECT_TRUE(waitUntilGone(gate.folder()));
    decisions.release(0);
    closer.join();
    EXPECT_TRUE(decidedBeforeCloseReturned);
    EXPECT_EQ(client.readLine(), heldReplyReport(0));
    EXPECT_EQ(client.wait(), 0);

    unfinished.send("1}\n");
    EXPECT_EQ(unfinished.receivedSoFar(), kRefusalLine);
    EXPECT_EQ(decisions.waitForWaiting(1), std::set<std::int64_t> { 0 });
}

TEST(PermissionGate, ClosingAnswersAnIdleClientAtOnce)
{
    HeldDecisions decisions;
    PermissionGate gate(decisions.decide());
    DirectClient idle(gate.path());
    // The idle client connected first, so it has been let in once this request has.
    test::InteractivePeer client({ "python3", clientScript(), gate.path(), "parallel", "1" });
    ASSERT_TRUE(decisions.waitForWaiting(1));
    decisions.release(0);
    EXPECT_EQ(client.readLine(), heldReplyReport(0));
    EXPECT_EQ(client.wait(), 0);

    auto closing = std::async(std::launch::async, [&] { gate.close(); });
    // Well below the client's 10 s read limit, which close must not wait out.
    ASSERT_EQ(closing.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(idle.receivedSoFar(), kRefusalLine);
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

// Polls until the thread's presence is as wanted; threads end a moment after they are told to.
bool waitForThreadNamed(const std::string& name, bool present)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (hasThreadNamed(name) != present) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

}

TEST(PermissionGate, NamesItsAcceptThreadAndEndsItOnClose)
{
    // Linux keeps the first 15 bytes of "vellumar.permission-gate".
    const std::string name = "vellumar.permis";
    ASSERT_TRUE(waitForThreadNamed(name, false));
    PermissionGate gate([](const JSON&) { return JSON::object({}); });
    EXPECT_TRUE(waitForThreadNamed(name, true));
    gate.close();
    EXPECT_TRUE(waitForThreadNamed(name, false));
}
