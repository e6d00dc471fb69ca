#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/PairingManager.h"
#include "tests/RelayHost/RelayHostFixture.h"
#include "tests/support/HeldPort.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/ListeningDescriptor.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <system_error>

using namespace vellumar;
using test::HostWorld;

namespace {

std::size_t entriesOf(const char* folder)
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
}

}

TEST(RelayHost, ServiceNameKeepsWhatFitsInSixtyThreeBytes)
{
    const std::string a62(62, 'a');
    struct Case {
        const char* name;
        std::string computerName;
        std::string expected;
    } cases[] = {
        { "80 letters", std::string(80, 'x'), std::string(63, 'x') },
        { "exactly 63", std::string(63, 'y'), std::string(63, 'y') },
        { "empty", "", "mac" },
        { "a two-byte letter that does not fit is skipped, a later one-byte one kept", a62 + "\u00e9b",
            a62 + "b" },
        { "a four-byte emoji at the end is left out whole", a62 + "\U0001F600", a62 },
        { "nothing fits", "", "mac" },
        // A character is what a reader sees as one: a letter with its accent, a whole emoji sequence.
        { "a letter whose combining accent straddles byte 63 is left out with it",
            std::string(61, 'a') + "e\u0301", std::string(61, 'a') },
        { "after the left-out accented letter a one-byte letter still fits",
            std::string(61, 'a') + "e\u0301b", std::string(61, 'a') + "b" },
        { "an accented letter ending at byte 63 is kept", std::string(60, 'a') + "e\u0301",
            std::string(60, 'a') + "e\u0301" },
        { "a family emoji joined by ZWJs past byte 63 is left out whole",
            std::string(50, 'a') + "\U0001F468\u200D\U0001F469\u200D\U0001F467", std::string(50, 'a') },
        { "a family emoji joined by ZWJs ending at byte 63 is kept",
            std::string(45, 'a') + "\U0001F468\u200D\U0001F469\u200D\U0001F467",
            std::string(45, 'a') + "\U0001F468\u200D\U0001F469\u200D\U0001F467" },
        { "multi-byte names count bytes, not characters",
            std::string(30, 'z')
                + "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"
                  "\u00e9\u00e9",
            std::string(30, 'z')
                + "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"
                  "\u00e9" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RelayHost::serviceName(c.computerName), c.expected);
    }
}

TEST(RelayHost, ABusyPreferredPortFallsBackToAnother)
{
    // A port of its own: one that another program holds may be let go while the relay starts.
    test::HeldPort busy(0);
    ASSERT_NE(busy.port(), 0) << busy.problem();
    HostWorld world(
        [&](RelayHost::Configuration& configuration) { configuration.preferredPort = busy.port(); });
    auto port = world.host->start(world.names);
    EXPECT_NE(port, busy.port());
    EXPECT_EQ(world.host->port(), port);
    EXPECT_EQ(world.curl("/health").output,
        "{\"error\":\"unauthorized\",\"message\":\"The token is not valid.\"}\n401");
}

TEST(RelayHost, ABusyPortWithoutFallbackFailsWithTheListenersErrorAndStoresNothing)
{
    test::HeldPort busy(0);
    ASSERT_NE(busy.port(), 0) << busy.problem();
    HostWorld world([&](RelayHost::Configuration& configuration) {
        configuration.preferredPort = busy.port();
        configuration.allowPortFallback = false;
    });
    try {
        world.host->start(world.names);
        FAIL() << "start did not fail";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EADDRINUSE) << error.what();
    }
    EXPECT_FALSE(world.host->port());
    EXPECT_FALSE(world.host->makePairingOffer("192.168.1.2"));
    // The identity was made before the listen failed, and stays.
    EXPECT_TRUE(world.host->identity());
}

TEST(RelayHost, PairingOffersExistOnlyWhileRunning)
{
    HostWorld world;
    world.host->stop();
    EXPECT_FALSE(world.host->makePairingOffer("192.168.1.2"));
    EXPECT_FALSE(world.host->pairing().currentOffer());

    auto port = world.host->start(world.names);
    world.setMacName("Jane's Mac");
    auto offer = world.host->makePairingOffer("fe80::1");
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->payload,
        (PairingPayload { .host = "fe80::1",
            .port = port,
            .publicKeyPin = world.host->identity()->pins.publicKeyBase64,
            .code = world.host->pairing().currentOffer()->code,
            .macID = "mac-1",
            .macName = "Jane's Mac" }));
    EXPECT_EQ(offer->expiresAt, world.host->pairing().currentOffer()->expiresAt);

    world.host->stop();
    EXPECT_FALSE(world.host->makePairingOffer("192.168.1.2"));
    EXPECT_EQ(world.host->pairing().currentOffer()->code, offer->payload.code);
}

TEST(RelayHost, StopBeforeAnyStartCancelsEveryJob)
{
    auto runner = std::make_shared<test::LatchedFakeRunner>();
    HostWorld world({}, runner);
    auto submit = [&](const char* conversation) {
        return *world.host->jobs()
                    .submit({ .conversationID = conversation, .botID = "main", .message = "Hi" })
                    .subscript("jobId")
                    ->stringValue();
    };
    std::string running = submit("ios-1");
    runner->awaitStart(running);
    std::string queued = submit("ios-1");
    world.host->stop();
    auto statusOf = [&](const std::string& job) {
        return *world.host->jobs().status(job)->subscript("status")->stringValue();
    };
    EXPECT_EQ(statusOf(queued), "canceled");
    // The running one ends once its run has honoured the stop.
    auto version = *world.host->jobs().status(running)->subscript("version")->intValue();
    for (int poll = 0; poll < 10 && statusOf(running) == "running"; ++poll)
        version = *world.host->jobs().wait(running, version, 25)->subscript("version")->intValue();
    EXPECT_EQ(statusOf(running), "canceled");
}

TEST(RelayHost, ASecondStartThrowsAndChangesNothingAndStartAfterStopServesAgain)
{
    HostWorld world;
    auto port = world.host->start(world.names);
    auto pin = world.host->identity()->pins.publicKeyBase64;
    EXPECT_THROW(world.host->start(world.names), RelayAlreadyRunning);
    EXPECT_EQ(world.host->port(), port);
    EXPECT_TRUE(world.curl("/health").output.ends_with("\n401"));

    world.host->stop();
    EXPECT_FALSE(world.host->port());
    EXPECT_NE(
        test::runPeer({ "curl", "-sk", "https://127.0.0.1:" + std::to_string(port) + "/health" }).exitStatus,
        0);
    auto again = world.host->start(world.names);
    EXPECT_EQ(world.host->port(), again);
    EXPECT_EQ(world.host->identity()->pins.publicKeyBase64, pin);
    EXPECT_TRUE(world.curl("/health").output.ends_with("\n401"));
}

// A Bonjour client is started too, without a bus to reach: its thread and socket must go as well.
TEST(RelayHost, StopEndsEveryThreadAndClosesEverySocketStartMade)
{
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vellumar-test-bus", 1);
    HostWorld world([](RelayHost::Configuration& configuration) { configuration.advertise = true; });
    // A first run brings up what a process keeps once made (a sanitizer's own thread, say); from then
    // on a start and a stop must leave the process as they found it.
    world.host->start(world.names);
    world.host->stop();
    const auto threads = entriesOf("/proc/self/task");
    const auto descriptors = entriesOf("/proc/self/fd");

    world.host->start(world.names);
    EXPECT_TRUE(world.curl("/health").output.ends_with("\n401"));
    EXPECT_GT(entriesOf("/proc/self/task"), threads);
    world.host->stop();

    // The kernel lets a join return as the thread leaves its memory, a moment before it takes the
    // thread's entry away, which a loaded machine stretches: the counts are compared once they settle,
    // and a thread or socket left running never settles.
    auto counts = [] { return std::pair(entriesOf("/proc/self/task"), entriesOf("/proc/self/fd")); };
    test::eventuallyWithin(60, [&] { return counts() == std::pair(threads, descriptors); });
    EXPECT_EQ(entriesOf("/proc/self/task"), threads);
    EXPECT_EQ(entriesOf("/proc/self/fd"), descriptors);
}

TEST(RelayHost, AListenerThatFailsIsReportedAndTheRelayMayStartAgain)
{
    test::CapturedLog log;
    std::promise<std::error_code> reported;
    HostWorld world([&](RelayHost::Configuration& configuration) {
        configuration.listenerFailed = [&](std::error_code error) { reported.set_value(error); };
    });
    auto port = world.host->start(world.names);
    auto fd = test::listeningDescriptor(port);
    ASSERT_TRUE(fd);
    // A listening socket shut down this way fails every accept with EINVAL, which no retry mends.
    ASSERT_EQ(::shutdown(*fd, SHUT_RDWR), 0);

    auto failure = reported.get_future();
    ASSERT_EQ(failure.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(failure.get().value(), EINVAL);
    EXPECT_EQ(log.lines(), std::vector<std::string> { "The relay stopped listening: Invalid argument." });
    EXPECT_FALSE(world.host->port());
    EXPECT_FALSE(world.host->makePairingOffer("192.168.1.2"));
    world.host->start(world.names);
    EXPECT_TRUE(world.curl("/health").output.ends_with("\n401"));
}

// The scheduler makes its first pass as it starts: a routine long due runs at once, and the phone
// reads the routines through the host's router.
TEST(RelayHost, StartRunsTheRoutineSchedulerAndServesTheRoutines)
{
    auto runner = std::make_shared<test::LatchedFakeRunner>();
    std::promise<std::optional<std::string>> ran;
    std::once_flag first;
    runner->releaseEveryRun([&](const test::LatchedFakeRunner::Run& run) {
        std::call_once(first, [&] { ran.set_value(run.submission.routineID); });
        return ReplyOutput { .reply = "Three headlines." };
    });
    // The routine manager reads its file as the host is made.
    test::TemporaryFolder folder;
    auto data = std::make_shared<RelayData>(
        RelayData::Options { .folder = folder / "data", .home = folder / "home" });
    std::filesystem::create_directories(data->folder);
    test::writeBytes(data->routinesFile(),
        JSON::object(
            { { "routines",
                JSON::array({ JSON::object({ { "id", "r-00000001" }, { "botId", "main" },
                    { "conversationId", "ios-abc" }, { "name", "News" }, { "prompt", "Three headlines." },
                    { "schedule", JSON::object({ { "kind", "interval" }, { "hours", 1 } }) },
                    { "enabled", true }, { "createdAt", 1 }, { "nextRunAt", 1 } }) }) } })
            .encoded());
    HostWorld world({}, runner, data);
    world.host->options().setRoutines(true);
    auto pairing = world.host->devices().add("Phone");
    world.host->start(world.names);

    auto routine = ran.get_future();
    ASSERT_EQ(routine.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(routine.get(), "r-00000001");
    auto listed = world.curl("/v1/routines", { "-H", "Authorization: Bearer " + pairing.token });
    EXPECT_NE(listed.output.find(R"("id":"r-00000001")"), std::string::npos) << listed.output;
    EXPECT_TRUE(listed.output.ends_with("\n200"));
}

TEST(RelayHost, ARouterFailureIsAnsweredAsInternalWithoutItsText)
{
    auto runner = std::make_shared<test::LatchedFakeRunner>();
    runner->setCompaction([](const CompactionRequest&) -> CompactedConversation {
        throw std::runtime_error("disk full at /Users/someone");
    });
    HostWorld world({}, runner);
    auto pairing = world.host->devices().add("Phone");
    world.host->start(world.names);
    auto answer = world.curl("/v1/conversations/ios-1/compact",
        { "-H", "Authorization: Bearer " + pairing.token, "--data", R"({"botId": "a"})" });
    EXPECT_EQ(
        answer.output, "{\"error\":\"internal\",\"message\":\"Something went wrong on the Mac.\"}\n500");
}

TEST(RelayHost, RemovingADeviceRevokesItsTokenAndPassesOnASaveError)
{
    HostWorld world;
    auto kept = world.host->devices().add("Phone");
    auto failing = world.host->devices().add("Tablet");
    world.host->start(world.names);
    world.host->removeDevice(kept.device.id);
    world.host->removeDevice("d-0000000000000000");
    world.storage->failSave = true;
    EXPECT_THROW(world.host->removeDevice(failing.device.id), KeychainError);
    for (const auto* token : { &kept.token, &failing.token }) {
        auto answer = world.curl("/health", { "-H", "Authorization: Bearer " + *token });
        EXPECT_TRUE(answer.output.ends_with("\n401"));
    }
}
