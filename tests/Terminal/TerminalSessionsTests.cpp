// The registry of terminals: its limits, what its observers hear, the router's checks in front of
// it, and a close that comes before the socket does.
#include "VellumarMacCore/Terminal/TerminalSessions.h"

#include "tests/Terminal/TerminalRelay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <utility>
#include <vector>

using namespace vellumar;
using Summary = TerminalSessions::Summary;

namespace {

std::shared_ptr<TerminalSessions> registry()
{
    return TerminalSessions::make([]() -> ShellLaunch { throw std::logic_error("no shell in these tests"); });
}

TEST(TerminalSessions, LimitsOfEightOnTheMacAndFourPerDevice)
{
    const struct {
        const char* name;
        std::vector<std::pair<std::string, int>> opened; // device, terminals it holds already
        std::string asking;
        bool granted;
    } cases[] = {
        { "a device's fourth", { { "A", 3 } }, "A", true },
        { "a device's fifth", { { "A", 4 } }, "A", false },
        { "another device beside a full one", { { "A", 4 } }, "B", true },
        { "the Mac's eighth", { { "A", 4 }, { "B", 3 } }, "C", true },
        { "the Mac's ninth, for a device with none", { { "A", 4 }, { "B", 4 } }, "C", false },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        auto sessions = registry();
        for (const auto& [device, count] : row.opened) {
            for (int index = 0; index < count; ++index)
                ASSERT_TRUE(sessions->open(device, "Phone " + device));
        }
        const auto before = sessions->summaries();
        EXPECT_EQ(sessions->open(row.asking, "Phone " + row.asking).has_value(), row.granted);
        if (!row.granted) {
            EXPECT_EQ(sessions->summaries(), before);
        }
    }
}

TEST(TerminalSessions, ObserversHearTheCurrentSummariesAtOnceThenEachChangeOnce)
{
    auto sessions = registry();
    std::vector<std::vector<Summary>> heard;
    sessions->observe([&](const std::vector<Summary>& summaries) { heard.push_back(summaries); });
    EXPECT_EQ(heard, std::vector<std::vector<Summary>> { {} });

    const auto first = sessions->open("d-2", "Phone");
    sessions->open("d-1", "Phone");
    sessions->open("d-3", "Alpha");
    for (int index = 0; index < 4; ++index)
        sessions->open("d-3", "Alpha");
    ASSERT_EQ(heard.size(), 7U); // the fifth open of d-3 was refused and told nobody
    EXPECT_EQ(heard.back(),
        (std::vector<Summary> { { "d-3", "Alpha", 4 }, { "d-1", "Phone", 1 }, { "d-2", "Phone", 1 } }));

    sessions->close(*first);
    sessions->close(*first);
    sessions->closeSessions("d-none", 4001, "");
    ASSERT_EQ(heard.size(), 8U);
    EXPECT_EQ(heard.back(), (std::vector<Summary> { { "d-3", "Alpha", 4 }, { "d-1", "Phone", 1 } }));
    EXPECT_EQ(sessions->count(), 5U);
}

TEST(TerminalSessions, RouterChecksTheRequestBeforeReservingATerminal)
{
    test::TerminalRelay relay;
    const HTTPHeaders upgrade { { "authorization", "Bearer " + relay.paired.token },
        { "connection", "Upgrade" }, { "upgrade", "websocket" }, { "sec-websocket-version", "13" },
        { "sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ==" } };
    std::vector<HTTPResponse> switched;
    auto respond = [&](std::string method, std::string target, HTTPHeaders headers) {
        auto response = relay.router.respond(
            HTTPRequest(std::move(method), target, std::move(headers), "", true), RequestOrigin::lan());
        if (response.upgrade())
            switched.push_back(response);
        const auto body = JSON::decode(response.body()).value_or(JSON());
        const JSON* message = body.subscript("message");
        return std::to_string(response.status()) + (message ? " " + *message->stringValue() : "");
    };
    const std::string sizes = "400 cols must be 1 to 1000 and rows 1 to 500.";
    const struct {
        const char* method;
        const char* target;
        HTTPHeaders headers;
        std::string expected;
    } cases[] = {
        { "POST", "/v1/terminal", upgrade, "405 This method is not allowed here." },
        { "GET", "/v1/terminal?cols=80&rows=24&theme=dark", upgrade, "400 Only cols and rows may be given." },
        { "GET", "/v1/terminal?cols=0&rows=24", upgrade, sizes },
        { "GET", "/v1/terminal?cols=1001&rows=500", upgrade, sizes },
        { "GET", "/v1/terminal?cols=1000&rows=501", upgrade, sizes },
        { "GET", "/v1/terminal?cols=80", upgrade, sizes },
        { "GET", "/v1/terminal?cols=8O&rows=24", upgrade, sizes },
        { "GET", "/v1/terminal?cols=80&rows=24", { { "authorization", "Bearer " + relay.paired.token } },
            "426 Open this as a WebSocket." },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(std::string(row.method) + " " + row.target);
        EXPECT_EQ(respond(row.method, row.target, row.headers), row.expected);
    }
    EXPECT_EQ(relay.sessions->count(), 0U);

    for (int index = 0; index < 4; ++index)
        EXPECT_EQ(respond("GET", "/v1/terminal?cols=1000&rows=500", upgrade), "101");
    EXPECT_EQ(respond("GET", "/v1/terminal", upgrade),
        "429 Too many terminals are open on this Mac. Close one and try again.");
    relay.options.setTerminal(false);
    EXPECT_EQ(respond("GET", "/v1/terminal?cols=0", upgrade),
        "409 The terminal is turned off on this Mac. Turn on “Allow terminal from iPhone” in the Vellumar "
        "for Mac "
        "menu.");
    EXPECT_EQ(relay.sessions->summaries(), (std::vector<Summary> { { relay.paired.device.id, "Phone", 4 } }));
    // The 101 replies are never written: their connections give the reservations back.
    for (const auto& response : switched)
        response.upgrade()->cancel();
    EXPECT_EQ(relay.sessions->count(), 0U);
}

TEST(TerminalSessions, ClosingAllBeforeTheSocketArrivesClosesItWithTheCodeAndSpawnsNothing)
{
    test::TerminalRelay relay;
    // Runs on the request's thread right after the reservation, before the 101 is written.
    relay.onChange([&] {
        if (relay.sessions->count() == 1)
            relay.sessions->closeAll(4000, "The terminal was turned off on the Mac.");
    });
    const JSON report = relay.phone("refused");
    EXPECT_EQ(test::reported(report, "close"), R"({"code":4000,"reason":""})");
    EXPECT_EQ(test::reported(report, "messages"), "0");
    EXPECT_TRUE(relay.waitForCount(0));
    EXPECT_EQ(relay.launches, 0);
}

TEST(TerminalSessions, AShellThatCannotStartClosesWith1011AndLeavesNoTerminal)
{
    test::TerminalRelay relay;
    relay.shellMissing = true;
    const JSON report = relay.phone("refused");
    EXPECT_EQ(
        test::reported(report, "close"), R"({"code":1011,"reason":"The shell could not start on the Mac."})");
    EXPECT_EQ(test::reported(report, "messages"), "0");
    EXPECT_TRUE(relay.waitForCount(0));
}

TEST(TerminalSessions, RemovingADeviceClosesItsTerminalWith4001)
{
    test::TerminalRelay relay;
    auto phone = std::async(std::launch::async, [&] { return relay.phone("refused"); });
    // Whether the socket is up or still on its way, the device's terminal closes with the code.
    while (relay.sockets().empty()
        && phone.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) { }
    relay.sessions->closeSessions(relay.paired.device.id, 4001, "");
    const JSON report = phone.get();
    EXPECT_EQ(test::reported(report, "close"), R"({"code":4001,"reason":""})");
    EXPECT_TRUE(relay.waitForCount(0));
}

}
