#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/PairingManager.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/RelayRouter.h"
#include "VellumarMacCore/Routines/RoutineManager.h"
#include "tests/Relay/RouterMembers.h"
#include "tests/Schedule/ScheduleTestSupport.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/HeldFolder.h"
#include "tests/support/JobsTestSupport.h"
#include "tests/support/LatchedFakeRunner.h"
#include "tests/support/MailboxPairings.h"
#include "tests/support/ManualJobClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <future>
#include <variant>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

using namespace vellumar;
using test::LatchedFakeRunner;

namespace {

constexpr auto kNotFound = "404 not_found Not found.";
constexpr auto kNoJob = "404 not_found The job was not found.";
constexpr auto kMethod = "405 method_not_allowed This method is not allowed here.";
constexpr auto kLANOnly = "403 lan_only This works only on the same Wi-Fi as the Mac.";
constexpr auto kBrowser = "403 browser_refused Requests from web browsers are not accepted.";
constexpr auto kToken = "401 unauthorized The token is not valid.";
constexpr auto kBadPath = "400 bad_path The path is not valid.";
constexpr auto kWait = "400 bad_request wait must be 0 to 25 seconds.";
constexpr auto kSince = "400 bad_request since must be a whole number.";
constexpr auto kOnly = "400 bad_request Only wait and since may be given.";
constexpr auto kAnswer = "400 bad_request Send requestId and decision (once, conversation, always or deny).";
constexpr auto kBusy = "429 busy A reply is still being written. Try again when it is done. retry 5";
constexpr auto kClear = "400 bad_request Only workspace (true or false) may be given.";
constexpr auto kCompact = "400 bad_request Send botId (and optionally bot and permissions).";
constexpr auto kConversation = "400 bad_request conversationId is not valid.";
constexpr auto kItems = R"(400 bad_request Send {"items": [...]}.)";

enum class From { lan, mailbox, strangerMailbox };

struct Call {
    From from;
    std::string method;
    std::string target; // "{job}" stands for the running job's id
    HTTPHeaders headers {}; // the paired token unless "authorization" is given; "{token}" stands for it
    std::string body {}; // "{code}" stands for the offered pairing code
    std::optional<std::string> spool {}; // a body spooled to the incoming folder, as the connection does
};

class RelayRouterTest : public ::testing::Test {
protected:
    RelayRouterTest()
    {
        runner->setCompaction([](const CompactionRequest& request) {
            if (request.botID == "boom")
                throw std::runtime_error("disk full at /Users/someone");
            return CompactedConversation { .summary = "S",
                .context = request.bot ? JSON(1) : std::optional<JSON>() };
        });
    }

    // Status, error code and message (or the body of a success), and the retry hint.
    // A status at the start of `expected` is matched from the start; any other text anywhere.
    static bool matches(const std::string& seen, const std::string& expected)
    {
        return std::isdigit(expected[0]) ? seen.starts_with(expected)
                                         : seen.find(expected) != std::string::npos;
    }

    std::string outcome(Call call) const
    {
        auto substitute = [&](std::string text, std::string_view mark, const std::string& value) {
            if (auto at = text.find(mark); at != std::string::npos)
                text.replace(at, mark.size(), value);
            return text;
        };
        auto headers = call.headers;
        if (!headerValue("authorization", headers))
            headers.emplace_back("authorization", "Bearer {token}");
        for (auto& [name, value] : headers)
            value = substitute(value, "{token}", paired.token);
        std::erase_if(headers, [](const auto& header) { return header.second.empty(); });
        HTTPRequest request(call.method, substitute(call.target, "{job}", job), headers,
            substitute(call.body, "{code}", pairingCode), true);
        const auto spool = data.incomingFolder() / ".incoming-0123456789abcdef";
        if (call.spool) {
            std::filesystem::create_directories(spool.parent_path());
            test::writeBytes(spool, *call.spool);
            request.setBodyFile(spool);
        }
        auto origin = call.from == From::lan
            ? RequestOrigin::lan()
            : RequestOrigin::mailbox(
                call.from == From::mailbox ? phoneMailbox : test::mailboxPairingFor("d-0123456789abcdef"));
        auto response = router.respond(request, origin);
        auto body = JSON::decode(response.body()).value_or(JSON());
        auto text = std::to_string(response.status()) + " ";
        if (const auto* code = body.subscript("error"))
            text += *code->stringValue() + " " + *body.subscript("message")->stringValue();
        else
            text += response.body();
        if (const auto& file = response.file()) {
            text += "file " + std::to_string(file->size) + " " + *response.header("Content-Type") + " | "
                + *response.header("Content-Disposition") + " | "
                + *response.header("X-Content-Type-Options");
        }
        if (std::filesystem::exists(spool))
            text += " spool left";
        return text + (response.header("Retry-After") ? " retry " + *response.header("Retry-After") : "");
    }

    test::TemporaryFolder folder;
    RelayData data { { .folder = folder / "data", .home = folder.path() } };
    std::shared_ptr<test::ManualJobClock> clock = std::make_shared<test::ManualJobClock>();
    DeviceRegistry devices { std::make_shared<MemoryDeviceStorage>(), [this] { return clock->now(); } };
    DeviceRegistry::Pairing paired = devices.add("Phone");
    movrane::MailboxPairing phoneMailbox = test::storedMailboxPairing(devices, paired.device.id);
    std::shared_ptr<LatchedFakeRunner> runner = std::make_shared<LatchedFakeRunner>();
    JobManager jobs { { .runner = runner, .labels = {}, .clock = clock } };
    RelayOptions options;
    RoutineManager routines { { .file = folder / "data/routines.json",
        .jobs = jobs,
        .sessions = data.sessions,
        .routinesEnabled = [this] { return options.routines(); },
        .clock = clock,
        .timeZone = [] { return test::zone("UTC"); } } };
    std::chrono::system_clock::time_point now = clock->now();
    PairingManager pairing { { .clock = [this] { return now; } } };
    std::string pairingCode = pairing.makeOffer().code;
    std::vector<std::string> pairedIDs, reusedIDs; // device ids given to onPaired and onCodeReused
    RelayRouter router { [this] {
        auto members = test::routerMembers(pairing, devices, jobs, runner, data, options);
        members.onPaired = [this](const PairedDevice& device) { pairedIDs.push_back(device.id); };
        members.onCodeReused = [this](const PairedDevice& device) { reusedIDs.push_back(device.id); };
        members.routines = &routines;
        return members;
    }() };
    std::string job = *jobs.submit({ .conversationID = "ios-busy", .botID = "main", .message = "Hi" })
                           .subscript("jobId")
                           ->stringValue();
};

}

TEST_F(RelayRouterTest, AnswersEachRequestByTheFirstRuleItBreaks)
{
    runner->awaitStart(job);
    // With both running places taken, the queued conversation has a job that waits and none that runs.
    for (const auto* conversation : { "ios-other", "ios-queued" })
        jobs.submit({ .conversationID = conversation, .botID = "main", .message = "Hi" });
    data.activity.append("ios-free", { JSON::object({ { "n", 1 } }), JSON::object({ { "n", 2 } }) });
    // A log that cannot be removed (a folder with something in it where the file should be).
    test::writeBytes(folder / "data/activity/ios-stuck.json/entry", "");
    const auto none = HTTPHeaders { { "authorization", "" } };
    const auto L = From::lan, M = From::mailbox;
    const std::pair<Call, std::string> cases[] = {
        // Path, origin, browser and token rules, in that order.
        { { L, "GET", "/v1/pair", none }, kMethod },
        { { M, "GET", "/v1/pair" }, kLANOnly },
        { { M, "POST", "/v1/p%61ir" }, kLANOnly },
        { { M, "POST", "/v1/mailbox/%72egister" }, kLANOnly },
        { { M, "GET", "/v1/termina%6C?cols=80" }, kLANOnly },
        { { M, "POST", "/V1/PAIR" }, kNotFound },
        { { M, "POST", "//v1/pair" }, kNotFound },
        { { L, "GET", "/v1/jobs/%zz", none }, kBadPath },
        { { L, "GET", "/health?x=%C3", none }, kBadPath },
        { { L, "GET", "/health", { { "authorization", "Basic x" }, { "sec-fetch-site", "none" } } },
            kBrowser },
        { { M, "GET", "/health", { { "sec-fetch-mode", "cors" } } }, kBrowser },
        { { L, "GET", "/health", { { "origin", "https://a" }, { "upgrade", "h2c" } } }, kBrowser },
        { { L, "GET", "/health", { { "origin", "https://a" }, { "upgrade", "WebSocket" } } }, "200 {" },
        { { L, "GET", "/health", none }, kToken },
        { { L, "GET", "/health", { { "authorization", "Basic {token}" } } }, kToken },
        { { L, "GET", "/health", { { "authorization", "Bearer" } } }, kToken },
        { { L, "GET", "/health", { { "authorization", "Bearer   {token} " } } }, "200 {" },
        { { L, "GET", "/health", { { "authorization", "  bearer {token}" } } }, "200 {" },
        { { M, "GET", "/health", { { "authorization", "Basic x" } } }, "200 {" },
        { { From::strangerMailbox, "GET", "/health" }, kToken },
        { { L, "POST", "/health" }, kMethod },
        { { L, "GET", "/v1/health" }, kNotFound },
        { { L, "GET", "/v2/memory?conversationId=ios-free" }, kNotFound },
        { { L, "GET", "/v1/memory/x?conversationId=ios-free" }, kNotFound },
        // Jobs: the id, then the query, then the job manager.
        { { L, "GET", "/v1/jobs/{job}" }, "200 {" },
        { { L, "GET", "/v1/jobs/{job}?wait=0.5" }, "200 {" },
        { { L, "GET", "/v1/jobs/{job}?wait=%2B25&since=-1" }, "200 {" },
        { { L, "GET", "/v1/jobs/{job}?wait=26" }, kWait },
        { { L, "GET", "/v1/jobs/{job}?wait=-1" }, kWait },
        { { L, "GET", "/v1/jobs/{job}?wait=inf" }, kWait },
        { { L, "GET", "/v1/jobs/{job}?since=x&wait=26" }, kWait },
        { { L, "GET", "/v1/jobs/{job}?since=-2" }, kSince },
        { { L, "GET", "/v1/jobs/{job}?since=1.5" }, kSince },
        { { L, "GET", "/v1/jobs/{job}?since=" }, kSince },
        { { L, "GET", "/v1/jobs/{job}?since=%2B-1" }, kSince },
        { { L, "GET", "/v1/jobs/{job}?wait=1&wait=2" }, kOnly },
        { { L, "GET", "/v1/jobs/{job}?wait=1&conversationId=ios-busy" }, kOnly },
        { { L, "GET", "/v1/jobs/j-0123456789ABCDEF?wait=x" }, kNoJob },
        { { L, "GET", "/v1/jobs/j-0123456789abcdef" }, kNoJob },
        { { L, "POST", "/v1/jobs/j-0123456789abcdef/cancel/x" }, kNoJob },
        { { L, "POST", "/v1/jobs/{job}" }, kMethod },
        { { L, "GET", "/v1/jobs/{job}/cancel" }, kMethod },
        { { L, "POST", "/v1/jobs/{job}/cancel/x" }, kNotFound },
        { { L, "POST", "/v1/jobs/{job}/retry" }, kNotFound },
        { { L, "POST", "/v1/jobs" }, "400 bad_request The body must be a JSON object." },
        { { L, "POST", "/v1/jobs", {}, "{" }, "400 bad_request The body is not valid JSON." },
        { { L, "POST", "/v1/jobs/{job}/permission", {}, "[]" }, kAnswer },
        { { L, "POST", "/v1/jobs/{job}/permission", {},
              R"({"requestId": "p-00112233aabb", "decision": "Once"})" },
            kAnswer },
        { { L, "POST", "/v1/jobs/{job}/permission", {},
              R"({"requestId": "p-00112233aabb", "decision": "once", "scope": "folder"})" },
            kAnswer },
        { { L, "POST", "/v1/jobs/{job}/permission", {},
              R"({"requestId": "p-00112233aabb", "decision": "deny"})" },
            "409 not_pending" },
        { { L, "POST", "/v1/jobs", {},
              R"({"conversationId": "ios-attach", "botId": "a", "message": "", "attachments": ["uploads/a.png"]})" },
            "400 bad_request An attachment was not found on the Mac. Send it again." },
        // Conversations: the shape, the method, the id, the action, then the body.
        { { L, "POST", "/v1/conversations/ios-attach/clear" }, "200 {" },
        { { L, "POST", "/v1/conversations/ios-queued/clear" }, kBusy },
        { { L, "POST", "/v1/conversations/ios-queued/compact", {}, R"({"botId": "main"})" }, kBusy },
        { { L, "GET", "/v1/conversations/ios-free/cancel" }, kMethod },
        { { L, "POST", "/v1/conversations/ios-free" }, kNotFound },
        { { L, "POST", "/v1/conversations/free/cancel" }, kConversation },
        { { L, "POST", "/v1/conversations/ios-free/erase" }, kNotFound },
        { { L, "POST", "/v1/conversations/ios-free/clear", {}, "[true]" }, R"("workspaceCleared":false})" },
        { { L, "POST", "/v1/conversations/ios-free/clear", {}, R"({"workspace": true})" },
            R"(200 {"cleared":true,"conversationId":"ios-free","hadSession":true,"workspaceCleared":true})" },
        { { L, "POST", "/v1/conversations/ios-free/clear", {}, R"({"workspace": "yes"})" }, kClear },
        { { L, "POST", "/v1/conversations/ios-free/clear", {}, R"({"folder": true})" }, kClear },
        { { L, "POST", "/v1/conversations/ios-free/compact" }, kCompact },
        { { L, "POST", "/v1/conversations/ios-free/compact", {}, R"({"botId": "Main"})" }, kCompact },
        { { L, "POST", "/v1/conversations/ios-free/compact", {}, R"({"botId": "a", "mode": "queue"})" },
            kCompact },
        { { L, "POST", "/v1/conversations/ios-free/compact", {}, R"({"botId": "a", "permissions": null})" },
            R"(200 {"conversationId":"ios-free","summary":"S"})" },
        { { L, "POST", "/v1/conversations/ios-free/compact", {},
              R"({"botId": "a", "bot": {"name": "Ada", "role": "", "persona": ""}})" },
            R"(200 {"context":1,)" },
        { { L, "POST", "/v1/conversations/ios-free/compact", {}, R"({"botId": "boom"})" },
            "500 internal Something went wrong on the Mac." },
        // Memory and activity: the conversation before the method.
        { { L, "GET", "/v1/memory" }, kConversation },
        { { L, "POST", "/v1/memory?conversationId=free-1" }, kConversation },
        { { L, "POST", "/v1/memory?conversationId=ios-free" }, kMethod },
        { { L, "DELETE", "/v1/memory?conversationId=ios-free" }, kMethod },
        { { L, "PUT", "/v1/memory?conversationId=ios-free" }, kItems },
        { { L, "PUT", "/v1/memory?conversationId=ios-free", {}, R"({"items": [{"text": "Likes tea"}]})" },
            "Likes tea" },
        { { L, "PUT", "/v1/memory?conversationId=ios-free", {}, R"({"items": [], "extra": 1})" }, kItems },
        { { L, "GET", "/v1/memory?conversationId=ios-free" }, "Likes tea" },
        { { L, "GET", "/v1/activity?conversationId=ios-free" }, R"("entries":[{"n":2},{"n":1}]})" },
        { { L, "PUT", "/v1/activity?conversationId=ios-free" }, kMethod },
        { { L, "DELETE", "/v1/activity?conversationId=ios-free" }, R"(200 {"cleared":true,)" },
        { { L, "GET", "/v1/activity?conversationId=ios-free" }, R"("entries":[]})" },
        { { L, "DELETE", "/v1/activity?conversationId=ios-stuck" },
            "500 internal Something went wrong on the Mac." },
        { { L, "POST", "/v1/conversations/ios-busy/cancel" },
            R"(200 {"canceled":1,"conversationId":"ios-busy"})" },
    };
    for (const auto& [call, expected] : cases) {
        SCOPED_TRACE(call.method + " " + call.target + " " + call.body);
        auto seen = outcome(call);
        EXPECT_TRUE(matches(seen, expected)) << seen;
    }
}

TEST_F(RelayRouterTest, RoutineAreaAnswersByTheFirstRuleItBreaks)
{
    const auto L = From::lan;
    const auto kOff
        = "409 routines_off Routines are turned off on this Mac. Turn them on in the Vellumar for Mac menu.";
    const auto kBot = "400 bad_request botId is not valid.";
    const auto kOnlyBot = "400 bad_request Only botId may be given.";
    const auto kSinceRoutines = "400 bad_request since must be a whole number, 0 or more.";
    const auto kOnlySince = "400 bad_request Only since may be given.";
    const std::string body
        = R"({"botId": "main", "conversationId": "ios-abc", "name": "News", "prompt": "Headlines.",
        "schedule": {"kind": "daily", "time": "07:00"}})";
    // Switched off, the switch answers before the path, the method or the body are looked at.
    for (const auto& call : { Call { L, "GET", "/v1/routines" },
             Call { L, "GET", "/v1/routines/unknown/x/y" }, Call { L, "POST", "/v1/routines", {}, "{" } }) {
        SCOPED_TRACE(call.method + " " + call.target);
        EXPECT_EQ(outcome(call), kOff);
    }
    options.setRoutines(true);
    auto created = outcome({ L, "POST", "/v1/routines", {}, body });
    ASSERT_TRUE(created.starts_with("201 {")) << created;
    const auto id = *test::decoded(created.substr(4)).subscript("id")->stringValue();
    const auto routine = "/v1/routines/" + id;
    const std::pair<Call, std::string> cases[] = {
        { { L, "GET", "/v1/routines?botId=Main" }, kBot },
        { { L, "GET", "/v1/routines?botId=" + std::string(33, 'a') }, kBot },
        { { L, "GET", "/v1/routines?botId=" + std::string(32, 'a') }, R"(200 {"limits":)" },
        { { L, "GET", "/v1/routines?botId=a&botId=a" }, kOnlyBot },
        { { L, "GET", "/v1/routines?bot=main" }, kOnlyBot },
        { { L, "GET", "/v1/routines?botId=main" }, R"("id":")" + id },
        { { L, "PATCH", "/v1/routines" }, kMethod },
        { { L, "POST", "/v1/routines", {}, "{" }, "400 bad_request The body is not valid JSON." },
        { { L, "POST", "/v1/routines" }, "400 bad_request The routine's fields are not valid." },
        { { L, "GET", "/v1/routines/results?since=-1" }, kSinceRoutines },
        { { L, "GET", "/v1/routines/results?since=1.5" }, kSinceRoutines },
        { { L, "GET", "/v1/routines/results?since=" }, kSinceRoutines },
        { { L, "GET", "/v1/routines/results?since=%2B0" }, R"(200 {"latest":0,"results":[]})" },
        { { L, "GET", "/v1/routines/results?since=1&since=1" }, kOnlySince },
        { { L, "GET", "/v1/routines/results?wait=1" }, kOnlySince },
        { { L, "DELETE", "/v1/routines/results" }, kMethod },
        { { L, "GET", routine + "?anything=1" }, R"("id":")" + id },
        { { L, "GET", routine + "/run" }, kMethod },
        { { L, "POST", routine + "/stop" }, kNotFound },
        { { L, "POST", routine + "/run/x" }, kNotFound },
        { { L, "POST", "/v1/routines/r-00000000/run" }, "404 not_found The routine was not found." },
        { { L, "PUT", routine, {}, R"({"name": "Renamed"})" }, R"("name":"Renamed")" },
        { { L, "PUT", routine, {}, R"({"botId": "main"})" },
            "400 bad_request The routine's fields are not valid." },
        { { L, "POST", routine + "/run", {}, "not even JSON" }, R"(202 {)" },
        { { L, "DELETE", routine }, R"(200 {"deleted":")" + id + "\"}" },
        { { L, "GET", routine }, "404 not_found The routine was not found." },
    };
    for (const auto& [call, expected] : cases) {
        SCOPED_TRACE(call.method + " " + call.target + " " + call.body);
        auto seen = outcome(call);
        EXPECT_TRUE(matches(seen, expected)) << seen;
    }
}

TEST_F(RelayRouterTest, HealthTellsTheSwitchesOfTheMomentAndAMissingTokenIsChallenged)
{
    EXPECT_EQ(outcome({ From::lan, "GET", "/health" }),
        R"(200 {"apiVersion":1,"features":{"cliTools":true,"files":true,"jobs":true,"mailbox":false,)"
        R"("memory":true,"payment":false,"relayRestart":false,"remote":false,"routines":false,)"
        R"("secureInput":false,"serviceRestart":false,"terminal":true,"tls":true,"vault":false},)"
        R"("ok":true,"restartSupported":false,"timeZone":"Europe/Berlin","transport":"https"})");
    options.setRoutines(true);
    options.setTerminal(false);
    EXPECT_NE(outcome({ From::lan, "GET", "/health" })
                  .find(R"("routines":true,"secureInput":false,)"
                        R"("serviceRestart":false,"terminal":false)"),
        std::string::npos);
    // Switched back, the object is the first one again, not one kept from before.
    options.setRoutines(false);
    options.setTerminal(true);
    EXPECT_NE(outcome({ From::lan, "GET", "/health" }).find(R"("routines":false,)"), std::string::npos);
    EXPECT_NE(outcome({ From::lan, "GET", "/health" }).find(R"("terminal":true,)"), std::string::npos);
    HTTPRequest request("GET", "/health", {}, "", true);
    EXPECT_NE(
        router.respond(request, RequestOrigin::lan()).head(true).find("\r\nWWW-Authenticate: Bearer\r\n"),
        std::string::npos);
}

TEST_F(RelayRouterTest, HealthReadsTheHostsZoneAtMostOnceASecondYetShowsAChangedOne)
{
    std::mutex zoneLock;
    std::string zone = "Europe/Berlin";
    int reads = 0;
    auto members = test::routerMembers(pairing, devices, jobs, runner, data, options);
    members.timeZone = [&] {
        std::lock_guard guard(zoneLock);
        ++reads;
        return zone;
    };
    RelayRouter zoned(std::move(members));
    HTTPRequest request("GET", "/health", { { "authorization", "Bearer " + paired.token } }, "", true);
    auto healthZone = [&] { return std::string(zoned.respond(request, RequestOrigin::lan()).body()); };
    constexpr int kRequests = 50;
    for (int asked = 0; asked < kRequests; ++asked)
        healthZone();
    {
        std::lock_guard guard(zoneLock);
        EXPECT_LT(reads, kRequests / 2);
        zone = "Asia/Tokyo";
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (
        healthZone().find("Asia/Tokyo") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(healthZone().find(R"("timeZone":"Asia/Tokyo")"), std::string::npos);
}

// The listener answers such a request on its own thread, which must never wait for a disk or a lock.
TEST_F(RelayRouterTest, OnlyRefusalsAndAHealthCheckWhoseAuthenticationStoresNothingAreAnsweredAtOnce)
{
    auto request = [](const char* method, std::string target, std::optional<std::string> token) {
        HTTPHeaders headers;
        if (token)
            headers.push_back({ "authorization", "Bearer " + *token });
        return HTTPRequest(method, std::move(target), std::move(headers), "", true);
    };
    auto statusAtOnce = [&](const HTTPRequest& asked) {
        auto answer = router.answerAtOnce(asked);
        return answer ? std::optional(answer->status()) : std::nullopt;
    };
    // A device's first request stores its last-seen time.
    EXPECT_EQ(statusAtOnce(request("GET", "/health", paired.token)), std::nullopt);
    EXPECT_EQ(router.respond(request("GET", "/health", paired.token), RequestOrigin::lan()).status(), 200);
    const std::tuple<const char*, const char*, std::string, std::optional<std::string>, std::optional<int>>
        cases[] = {
            { "health with the token", "GET", "/health", paired.token, 200 },
            { "health without a token", "GET", "/health", std::nullopt, 401 },
            { "health with an unknown token", "GET", "/health", "unknown", 401 },
            { "health posted", "POST", "/health", paired.token, 405 },
            { "a job's status", "GET", "/v1/jobs/" + job, paired.token, std::nullopt },
            { "a job's status with an unknown token", "GET", "/v1/jobs/" + job, "unknown", 401 },
            { "a path below health", "GET", "/health/more", paired.token, 404 },
            { "a pairing", "POST", "/v1/pair", std::nullopt, std::nullopt },
            { "a pairing asked with GET", "GET", "/v1/pair", std::nullopt, 405 },
            { "a path that does not decode", "GET", "/v1/%zz", paired.token, 400 },
        };
    for (const auto& [name, method, target, token, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(statusAtOnce(request(method, target, token)), expected);
    }
    clock->advance(DeviceRegistry::lastSeenWriteInterval);
    EXPECT_EQ(statusAtOnce(request("GET", "/health", paired.token)), std::nullopt);
}

TEST_F(RelayRouterTest, BodyPolicySpoolsOnlyUploadsWithAKnownToken)
{
    const auto known = "Bearer " + paired.token;
    const auto spool = "spool 52428800 " + (folder / "incoming").string();
    const std::pair<RequestHead, std::string> cases[] = {
        { { "POST", "/v1/files?conversationId=ios-free", { { "authorization", "Bearer unknown" } } },
            "reject 401" },
        { { "POST", "/v1/files/", {} }, "reject 401" },
        { { "POST", "/v1/files?conversationId=ios-free", { { "authorization", known } } }, spool },
        { { "POST", "/v1/f%69les", { { "authorization", known } } }, spool },
        { { "POST", "/v1/jobs", { { "authorization", "Bearer unknown" } } }, "memory 65536" },
        { { "GET", "/v1/files", { { "authorization", known } } }, "memory 65536" },
        { { "POST", "/v1/files/ios-free", { { "authorization", known } } }, "memory 65536" },
    };
    for (const auto& [head, expected] : cases) {
        SCOPED_TRACE(head.method + " " + head.target);
        auto policy = router.bodyPolicy(head, folder / "incoming");
        auto seen = std::visit(
            [](const auto& choice) {
                using Choice = std::decay_t<decltype(choice)>;
                if constexpr (std::is_same_v<Choice, BodyPolicy::Memory>)
                    return "memory " + std::to_string(choice.limit);
                else if constexpr (std::is_same_v<Choice, BodyPolicy::Spool>)
                    return "spool " + std::to_string(choice.limit) + " " + choice.folder.string();
                else
                    return "reject " + std::to_string(choice.error.status());
            },
            policy.choice);
        EXPECT_EQ(seen, expected);
    }
}

// Each long poll holds only its caller's thread: the health request gets through while 32 of them wait on
// one job, and the job's end answers every one.
TEST_F(RelayRouterTest, ThirtyTwoLongPollsOfOneJobAreAllAnsweredWhenItEnds)
{
    runner->awaitStart(job);
    auto since = *jobs.status(job)->subscript("version")->intValue();
    auto poll = [&] {
        return outcome({ From::lan, "GET", "/v1/jobs/{job}?wait=25&since=" + std::to_string(since) });
    };
    std::vector<std::future<std::string>> polls;
    for (int index = 0; index < 32; ++index)
        polls.push_back(std::async(std::launch::async, poll));
    ASSERT_TRUE(clock->awaitSleepers(polls.size()));
    auto health = std::async(std::launch::async, [&] { return outcome({ From::lan, "GET", "/health" }); });
    ASSERT_EQ(health.wait_for(LatchedFakeRunner::kPatience), std::future_status::ready);
    EXPECT_TRUE(health.get().starts_with("200 {"));
    runner->reply(job, "Done.");
    for (auto& answered : polls) {
        ASSERT_EQ(answered.wait_for(LatchedFakeRunner::kPatience), std::future_status::ready);
        auto seen = answered.get();
        EXPECT_TRUE(seen.starts_with("200 {")) << seen;
        EXPECT_EQ(seen.find(R"("version":)" + std::to_string(since) + ","), std::string::npos) << seen;
    }
}

TEST_F(RelayRouterTest, FilesFolderBrowsingAndPairingAnswerByTheFirstRuleTheyBreak)
{
    auto work = data.workspaces.folder("ios-dl");
    test::writeBytes(folder / "secret", "root:x:0:0");
    std::filesystem::create_symlink(folder / "secret", work / "link");
    ASSERT_EQ(mkfifo((work / "pipe").c_str(), 0600), 0);
    const auto L = From::lan;
    const auto named = [](std::string name) { return HTTPHeaders { { "x-file-name", std::move(name) } }; };
    const auto pair = [](std::string body) {
        return Call { From::lan, "POST", "/v1/pair", {}, std::move(body) };
    };
    const auto kSendCode = "400 bad_request Send the pairing code from the QR code.";
    const auto kInvalid = "401 pairing_code_invalid The pairing code is not valid.";
    const std::pair<Call, std::string> cases[] = {
        { { L, "POST", "/v1/files?conversationId=ios-up", {}, {}, "hi" },
            "400 bad_request Send the file name" },
        { { L, "POST", "/v1/files?conversationId=up", named("a.txt"), {}, "hi" }, kConversation },
        { { L, "POST", "/v1/files?conversationId=ios-up" }, "400 bad_request The file did not arrive." },
        { { L, "GET", "/v1/files/ios-dl/../../secret" }, "400 bad_path" },
        { { L, "GET", "/v1/files/ios-dl/link" }, "403 forbidden This file cannot be used." },
        { { L, "GET", "/v1/files/ios-dl/pipe" }, "404 not_found The file was not found." },
        { { L, "GET", "/v1/files/ios-dl" }, "400 bad_path The file path is not valid." },
        { { L, "DELETE", "/v1/files/ios-dl/x" }, kMethod },
        { { L, "GET", "/v1/fs/list?path=a&path=b" }, "400 bad_request Only path may be given." },
        { { L, "POST", "/v1/fs/list?dir=x" }, kMethod },
        { { L, "GET", "/v1/fs/list" }, R"("path":"~")" },
        { pair(R"({"code": "{code}", "name": "x"})"), kSendCode },
        { pair(R"({"code": "{code}", "deviceName": ")" + std::string(201, 'n') + "\"}"),
            "400 bad_request deviceName is not valid." },
        { pair(R"({"code": "{code}", "mailbox": {"v": "1"}})"), "400 bad_request mailbox is not valid." },
        { pair(R"({"code": "{code}", "deviceName": null})"), R"(200 {"deviceId":")" },
        { pair(R"({"code": "{code}"})"), "409 pairing_code_used This pairing code was already used" },
        // Four wrong codes, one too long to be a code at all, a fifth wrong one, then the lockout.
        { pair(R"({"code": "a"})"), kInvalid },
        { pair(R"({"code": "b"})"), kInvalid },
        { pair(R"({"code": "c"})"), kInvalid },
        { pair(R"({"code": "d"})"), kInvalid },
        { pair(R"({"code": ")" + std::string(129, 'A') + "\"}"), kSendCode },
        { pair(R"({"code": "e"})"), kInvalid },
        { pair(R"({"code": "f"})"), "429 too_many Too many wrong pairing codes. Try again later. retry 60" },
    };
    std::optional<JSON> pairingReply;
    for (const auto& [call, expected] : cases) {
        SCOPED_TRACE(call.method + " " + call.target + " " + call.body);
        auto seen = outcome(call);
        EXPECT_TRUE(matches(seen, expected)) << seen;
        EXPECT_EQ(seen.find("spool left"), std::string::npos);
        EXPECT_EQ(seen.find("root:x"), std::string::npos);
        if (call.target == "/v1/pair" && seen.starts_with("200 "))
            pairingReply = JSON::decode(seen.substr(4));
    }
    ASSERT_TRUE(pairingReply);
    const auto token = *pairingReply->subscript("token")->stringValue();
    EXPECT_EQ(token.size(), 43u);
    EXPECT_EQ(pairingReply->subscript("macId")->encoded() + pairingReply->subscript("macName")->encoded(),
        R"("mac-1""Studio")");
    EXPECT_EQ(pairedIDs, std::vector { *pairingReply->subscript("deviceId")->stringValue() });
    EXPECT_EQ(reusedIDs, pairedIDs);
    EXPECT_EQ(devices.deviceForToken(token)->name, "iPhone");
}

// The parser asks the router's policy before it takes a body byte: a body of exactly the limit is spooled.
TEST_F(RelayRouterTest, AnUploadOfExactlyTheLimitIsSpooled)
{
    const auto incoming = data.incomingFolder();
    HTTPRequestParser parser(HTTPRequestParser::kDefaultMaxHeaderBytes,
        HTTPRequestParser::kDefaultMaxBodyBytes,
        [&](const RequestHead& requestHead) { return router.bodyPolicy(requestHead, incoming); });
    parser.append("POST /v1/files?conversationId=ios-up HTTP/1.1\r\nAuthorization: Bearer " + paired.token
        + "\r\nContent-Length: 52428800\r\n\r\n");
    auto result = parser.feed();
    EXPECT_FALSE(std::holds_alternative<RelayHTTPError>(result));
    EXPECT_TRUE(parser.isSpooling());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(incoming), {}), 1);
}

// A listing held by a hung folder costs its caller a bounded wait and nobody else anything.
TEST_F(RelayRouterTest, AHungFolderNeitherHoldsItsListingNorSlowsOtherRequests)
{
    std::filesystem::create_directories(folder / "hung");
    test::HeldFolder held(folder / "hung");
    if (!held.isHolding())
        GTEST_SKIP() << "holding folder openings needs fanotify and CAP_SYS_ADMIN";
    std::vector<std::future<std::string>> listings;
    for (std::size_t index = 0; index <= RelayRouter::kBrowseWorkers; ++index) {
        listings.push_back(std::async(std::launch::async, [&] {
            return outcome({ From::lan, "GET", "/v1/fs/list?path=~/hung" });
        }));
    }
    auto health = std::async(std::launch::async, [&] { return outcome({ From::lan, "GET", "/health" }); });
    ASSERT_EQ(health.wait_for(LatchedFakeRunner::kPatience), std::future_status::ready);
    EXPECT_TRUE(health.get().starts_with("200 {"));
    for (auto& listing : listings) {
        ASSERT_EQ(listing.wait_for(LatchedFakeRunner::kPatience), std::future_status::ready);
        EXPECT_TRUE(listing.get().starts_with("403 folder_blocked")) << "while the folder is still held";
    }
}
