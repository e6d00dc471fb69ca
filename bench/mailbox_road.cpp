// Round trips of one small request (GET /health) from the phone's process to the computer's and back,
// measured in the same run two ways:
//   - over the mailbox: the phone's mailbox client seals it into the shared cloud database, whose push
//     wakes the computer; the computer answers sealed, and the phone finds the answer on its poll
//     schedule (answers carry no notification, as on a phone);
//   - over the LAN: the same request over HTTPS on one kept-alive connection to the relay.
// Also the push legs: from the phone's commit of a request to the computer's fetch start, and from the
// commit of a job's reply to the phone's wake. Median and p99 of each; there is no target.
#include "tests/MailboxRoad/support/RoadWorld.h"
#include "tests/support/TLSTestClient.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

namespace {

using namespace vellumar;
using namespace vellumar::test;
using Clock = std::chrono::steady_clock;

constexpr int kLANRequests = 200;
constexpr int kMailboxRequests = 20;
constexpr int kJobs = 10;

struct Spread {
    double median = 0;
    double p99 = 0;
};

Spread spreadOf(std::vector<double> samples)
{
    if (samples.empty())
        return {};
    std::sort(samples.begin(), samples.end());
    auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(samples.size()))) - 1;
    return { samples[samples.size() / 2], samples[std::min(rank, samples.size() - 1)] };
}

void print(const char* what, const std::vector<double>& milliseconds)
{
    auto spread = spreadOf(milliseconds);
    std::printf("%-40s n=%-4zu median %9.2f ms   p99 %9.2f ms\n", what, milliseconds.size(), spread.median,
        spread.p99);
}

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "failed: %s\n", what.c_str());
    std::exit(1);
}

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::int64_t atOf(const JSON& event) { return event.subscript("at")->intValue().value_or(0); }

std::vector<double> lanRoundTrips(const RoadWorld& world)
{
    TLSTestClient client(static_cast<std::uint16_t>(world.port));
    if (!client.handshake())
        fail("TLS handshake with the relay");
    const std::string request
        = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + world.bearer + "\r\n\r\n";
    std::vector<double> samples;
    for (int index = 0; index < kLANRequests; ++index) {
        auto start = Clock::now();
        if (!client.send(request))
            fail("sending over the LAN");
        auto response = client.readResponse();
        if (!response || statusOf(*response) != 200)
            fail("LAN answer: " + response.value_or("none"));
        samples.push_back(millisecondsSince(start));
    }
    return samples;
}

// The wall time of the first of `events` named `name` at or after wall time `at`.
std::optional<std::int64_t> firstAtOrAfter(
    const std::vector<JSON>& events, std::string_view name, std::int64_t at)
{
    for (const auto& event : events) {
        if (memberText(event, "event") == name && atOf(event) >= at)
            return atOf(event);
    }
    return std::nullopt;
}

}

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    RoadWorld world;
    world.holdClaude();
    if (!world.launchMac())
        fail("the computer's driver did not start");
    world.startPhone();
    if (auto failure = world.pairPhone())
        fail("the phone could not pair its mailbox: " + *failure);
    auto lan = lanRoundTrips(world);
    print("LAN HTTPS round trip", lan);

    std::vector<double> roundTrips;
    std::vector<double> toComputer;
    for (int index = 0; index < kMailboxRequests; ++index) {
        auto before = world.phone->eventCount();
        auto start = Clock::now();
        auto answer = world.phoneSend("GET", "/health");
        if (memberText(answer, "status") != "200")
            fail("mailbox answer: " + answer.encoded());
        roundTrips.push_back(millisecondsSince(start));
        auto committed = world.phone->awaitEvent(
            "committed", [](const JSON& event) { return memberText(event, "to") == "mac"; }, 0, before);
        auto fetched
            = committed ? firstAtOrAfter(world.mac->events(), "fetchStart", atOf(*committed)) : std::nullopt;
        if (fetched)
            toComputer.push_back(static_cast<double>(*fetched - atOf(*committed)));
    }

    // Each job waits in `claude` until the phone follows it, so that its end reaches the phone as news.
    std::vector<double> toPhone;
    for (int index = 0; index < kJobs; ++index) {
        auto submitted = world.phoneSend("POST", "/v1/jobs", RoadWorld::jobBody());
        auto jobID = memberText(JSON::decode(memberText(submitted, "body")).value_or(JSON()), "jobId");
        auto watching = world.phone->eventCount();
        auto macEvents = world.mac->eventCount();
        auto polled = std::async(std::launch::async, [&] {
            return world.phoneSend("GET", "/v1/jobs/" + jobID + "?since=1&wait=40", std::nullopt, 60);
        });
        if (!world.awaitHeldClaude()
            || !world.phone->awaitEvent(
                "fetched", [](const JSON& event) { return memberText(event, "to") != "mac"; }, 60, watching))
            fail("the job did not start, or the phone's watch was not answered");
        world.releaseClaude();
        if (memberText(polled.get(), "status") != "200")
            fail("job poll");
        auto reply = world.mac->awaitEvent(
            "saved", [](const JSON& event) { return memberText(event, "notify") == "reply"; }, 30, macEvents);
        auto woke = reply ? world.phone->awaitEvent(
                        "push",
                        [&](const JSON& event) {
                            return memberText(event, "record") == memberText(*reply, "record");
                        },
                        30, watching)
                          : std::nullopt;
        if (woke)
            toPhone.push_back(static_cast<double>(atOf(*woke) - atOf(*reply)));
    }

    print("mailbox round trip (push to the Mac)", roundTrips);
    print("push: phone's commit -> Mac's fetch", toComputer);
    print("push: reply's commit -> phone's wake", toPhone);
    auto mailbox = spreadOf(roundTrips);
    auto local = spreadOf(lan);
    if (local.median > 0)
        std::printf("mailbox / LAN median: %.1fx\n", mailbox.median / local.median);
    return 0;
}
