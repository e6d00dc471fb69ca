// The router behind the real TLS listener: a phone's job sent and followed by long polls over the
// network, files sent and fetched and a phone paired, as curl does it.
#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/PairingManager.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/RelayRouter.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "tests/Relay/RelayServer.h"
#include "tests/Relay/RouterMembers.h"
#include "tests/support/FakeDeviceStorage.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/LatchedFakeRunner.h"
#include "tests/support/ManualJobClock.h"
#include "tests/support/ScriptedModel.h"
#include "tests/support/TLSTestClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

// One paired phone, a job manager running replies with the runner `makeRunner` builds on the relay's
// data, and the router serving the listener on a free port.
struct RoutedRelay {
    using MakeRunner = std::function<std::shared_ptr<ReplyRunner>(RelayData&)>;

    RoutedRelay(
        MakeRunner makeRunner, std::shared_ptr<JobClock> jobClock, RelayListenerLimits listenerLimits = {})
        : runner(makeRunner(data))
        , clock(std::move(jobClock))
        , limits(listenerLimits)
    {
    }

    std::string authorization() const { return "Authorization: Bearer " + paired.token + "\r\n"; }

    test::TemporaryFolder folder;
    RelayData data { { .folder = folder / "data", .home = folder / "home" } };
    std::shared_ptr<ReplyRunner> runner;
    std::shared_ptr<JobClock> clock;
    RelayListenerLimits limits;
    std::shared_ptr<test::FakeDeviceStorage> storage = std::make_shared<test::FakeDeviceStorage>();
    DeviceRegistry devices { storage, [this] { return clock->now(); } };
    DeviceRegistry::Pairing paired = devices.add("Phone");
    JobManager jobs { { .runner = runner, .labels = {}, .clock = clock } };
    RelayOptions options;
    PairingManager pairing { {} };
    RelayRouter router { test::routerMembers(pairing, devices, jobs, runner, data, options) };
    test::RelayServer server { router.lanHandler(), limits, router.lanBodyPolicy(folder / "incoming"),
        { .answerAtOnce = [this](const HTTPRequest& request) { return router.answerAtOnce(request); } } };
};

// curl's whole answer, head and body, to `target` on the relay; `token` is sent as bearer unless empty.
std::string curlAnswer(const RoutedRelay& relay, const std::string& token, const std::string& target,
    std::vector<std::string> extra = {})
{
    std::vector<std::string> argv { "curl", "-sS", "-i", "--http1.1", "--max-time", "60", "-k",
        "https://127.0.0.1:" + std::to_string(relay.server.port) + target };
    if (!token.empty())
        argv.insert(argv.end(), { "-H", "Authorization: Bearer " + token });
    argv.insert(argv.end(), extra.begin(), extra.end());
    return test::runPeer(argv).output;
}

JSON bodyOf(const std::string& response)
{
    auto start = response.find("\r\n\r\n");
    return JSON::decode(start == std::string::npos ? "" : response.substr(start + 4)).value_or(JSON());
}

std::string textOf(const JSON& object, std::string_view key)
{
    const auto* member = object.subscript(key);
    return member && member->stringValue() ? *member->stringValue() : member ? member->encoded() : "absent";
}

std::string replyOf(const JSON& status)
{
    const auto* result = status.subscript("result");
    return result ? textOf(*result, "reply") : "no result";
}

}

// The runner starts fake_claude.py, which becomes the real CLI with the model endpoint's environment:
// the runner rightly keeps such variables from Claude Code itself.
TEST(RelayRouterListenerRealCLI, CurlSendsAJobWithItsTokenAndLongPollsItUntilClaudeHasAnswered)
{
    test::TemporaryFolder place;
    test::ScriptedModel model(place / "model", R"([{"text": "Bonjour from the model."}])");
    fs::path fake = place / "fake";
    fs::create_directories(fake);
    fs::copy_file(test::sourceDir() / "tests/Reply/peers/fake_claude.py", fake / "claude");
    fs::permissions(fake / "claude", fs::perms::owner_all);
    JSON::Object environment;
    for (const auto& [name, value] : model.claudeEnvironment(place / "home")) {
        if (name != "PATH" && name != "HOME")
            environment.emplace(name, value);
    }
    std::ofstream(fake / "steps.json")
        << JSON::array({ JSON::object({ { "real",
                           JSON::object({ { "executable", test::realClaudeExecutable().string() },
                               { "environment", JSON(std::move(environment)) } }) } }) })
               .encoded();
    ClaudeReplyRunner::Options options { .locate = [&] { return std::optional(fake / "claude"); },
        .path = [] { return std::string("/usr/local/bin:/usr/bin:/bin"); },
        .baseEnvironment = { { "HOME", (place / "home").string() } } };
    RoutedRelay relay([&](RelayData& data) { return std::make_shared<ClaudeReplyRunner>(data, options); },
        JobClock::system());

    auto curl = [&](const std::string& target, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv { "curl", "-sS", "--http1.1", "--max-time", "60", "-k",
            "--pinnedpubkey", "sha256//" + test::testIdentity().pins.publicKeyBase64, "-H",
            "Authorization: Bearer " + relay.paired.token,
            "https://127.0.0.1:" + std::to_string(relay.server.port) + target };
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto result = test::runPeer(argv);
        EXPECT_EQ(result.exitStatus, 0) << target;
        return JSON::decode(result.output).value_or(JSON());
    };
    auto status = curl("/v1/jobs",
        { "-H", "Content-Type: application/json", "--data",
            R"({"conversationId": "ios-lan", "botId": "main", "message": "Say hello."})" });
    auto jobID = textOf(status, "jobId");
    ASSERT_EQ(jobID.size(), 18U) << status.encoded();
    // Each poll returns at a change or after 25 seconds; a run takes a handful of changes.
    for (int poll = 0; poll < 40 && textOf(status, "status") != "done"; ++poll) {
        SCOPED_TRACE(status.encoded());
        ASSERT_EQ(textOf(status, "jobId"), jobID);
        ASSERT_TRUE(textOf(status, "status") == "queued" || textOf(status, "status") == "running");
        status = curl("/v1/jobs/" + jobID + "?wait=25&since=" + textOf(status, "version"));
    }
    EXPECT_EQ(textOf(status, "status"), "done") << model.requestLog();
    EXPECT_EQ(replyOf(status), "Bonjour from the model.");
}

TEST(RelayRouterListener, ThirtyTwoLongPollsOfOneJobOnALatchedFakeRunnerAreAllAnsweredWhenItEnds)
{
    auto fake = std::make_shared<test::LatchedFakeRunner>();
    auto clock = std::make_shared<test::ManualJobClock>();
    RoutedRelay relay([&](RelayData&) { return fake; }, clock);
    auto submitted = relay.jobs.submit({ .conversationID = "ios-many", .botID = "main", .message = "Hi" });
    auto jobID = textOf(submitted, "jobId");
    fake->awaitStart(jobID);
    auto version = textOf(*relay.jobs.status(jobID), "version");

    // Each phone is trusted once answered, so the listener's cap on untrusted peers of one address
    // leaves the 32 connections open.
    std::vector<std::unique_ptr<test::TLSTestClient>> phones;
    for (int index = 0; index < 32; ++index) {
        SCOPED_TRACE(index);
        phones.push_back(std::make_unique<test::TLSTestClient>(relay.server.port));
        auto& phone = *phones.back();
        ASSERT_TRUE(phone.handshake());
        ASSERT_TRUE(phone.send("GET /health HTTP/1.1\r\nHost: relay\r\n" + relay.authorization() + "\r\n"));
        ASSERT_EQ(test::statusOf(phone.readResponse().value_or("")), 200);
        ASSERT_TRUE(phone.send("GET /v1/jobs/" + jobID + "?wait=25&since=" + version
            + " HTTP/1.1\r\nHost: relay\r\n" + relay.authorization() + "\r\n"));
    }
    // The clock stands still, so no poll ends by its time-out: each waits for the job.
    ASSERT_TRUE(clock->awaitSleepers(32));
    fake->reply(jobID, "Done.");
    for (int index = 0; index < 32; ++index) {
        SCOPED_TRACE(index);
        auto response = phones[index]->readResponse().value_or("");
        EXPECT_EQ(test::statusOf(response), 200);
        EXPECT_EQ(textOf(bodyOf(response), "status"), "done");
        EXPECT_EQ(replyOf(bodyOf(response)), "Done.");
    }
}

// Long polls hold every worker the pool may start, on open connections and on evicted ones alike.
TEST(RelayRouterListener, RequestsAnsweredAtOnceNeverWaitForAWorker)
{
    auto fake = std::make_shared<test::LatchedFakeRunner>();
    auto clock = std::make_shared<test::ManualJobClock>();
    RoutedRelay relay(
        [&](RelayData&) { return fake; }, clock, { .maxConnections = 2, .maxUntrustedPerHost = 2 });
    auto jobID = textOf(
        relay.jobs.submit({ .conversationID = "ios-busy", .botID = "main", .message = "Hi" }), "jobId");
    fake->awaitStart(jobID);
    // Before the relay ends, however the test ends: the polls would hold its workers for good.
    std::shared_ptr<void> endingPolls(nullptr, [&](void*) { fake->reply(jobID, "Done."); });
    auto version = textOf(*relay.jobs.status(jobID), "version");
    auto request = [](const std::string& target, const std::string& headers) {
        return "GET " + target + " HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n" + headers + "\r\n";
    };
    // The phone's first request stores its last-seen time, which only a worker may do.
    ASSERT_TRUE(relay.devices.deviceForToken(relay.paired.token));
    constexpr int kWorkers = 4;
    std::vector<std::unique_ptr<test::TLSTestClient>> polls;
    for (int index = 0; index < kWorkers; ++index) {
        polls.push_back(std::make_unique<test::TLSTestClient>(relay.server.port));
        ASSERT_TRUE(polls.back()->handshake());
        ASSERT_TRUE(polls.back()->send(
            request("/v1/jobs/" + jobID + "?wait=25&since=" + version, relay.authorization())));
        // Waiting before the next connection evicts this one, which would drop a request not yet read.
        ASSERT_TRUE(clock->awaitSleepers(index + 1));
    }
    const std::tuple<const char*, std::string, std::string, int> cases[] = {
        { "health", "/health", relay.authorization(), 200 },
        { "no token", "/v1/jobs/" + jobID, "", 401 },
        { "an unknown token", "/v1/jobs/" + jobID, "Authorization: Bearer unknown\r\n", 401 },
        { "a path no handler serves", "/v1/nothing", relay.authorization(), 404 },
    };
    for (const auto& [name, target, headers, expected] : cases) {
        SCOPED_TRACE(name);
        test::TLSTestClient phone(relay.server.port);
        ASSERT_TRUE(phone.handshake());
        ASSERT_TRUE(phone.send(request(target, headers)));
        EXPECT_EQ(test::statusOf(phone.readResponse().value_or("")), expected);
    }
}

TEST(RelayRouterListener, CurlUploadsDownloadsAndPairsAndNoBodyOutlivesItsRequest)
{
    auto fake = std::make_shared<test::LatchedFakeRunner>();
    RoutedRelay relay([&](RelayData&) { return fake; }, std::make_shared<test::ManualJobClock>());
    const auto small = relay.folder / "small", big = relay.folder / "big";
    test::writeBytes(small, "hi");
    test::writeBytes(big, "");
    fs::resize_file(big, 52'428'801); // sparse: one byte over the limit costs no disk
    test::writeBytes(relay.data.workspaces.folder("ios-dl") / "notes é.txt", "hello");
    const auto code = relay.pairing.makeOffer().code;
    const auto incoming = relay.folder / "incoming";
    auto incomingIsEmpty = [&] {
        std::error_code missing;
        return fs::directory_iterator(incoming, missing) == fs::directory_iterator();
    };
    // The connection's thread spools and removes on its own time, so these waits are bounded, not timed.
    auto awaitIncoming = [&](bool empty) {
        for (int tries = 0; tries < 3000 && incomingIsEmpty() != empty; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return incomingIsEmpty() == empty;
    };

    struct Row {
        std::string token; // "" sends none, "{paired}" the phone's, "{paired now}" the one pairing gave
        std::string target;
        std::vector<std::string> extra;
        std::vector<std::string> expected; // fragments of the head and body, in any order
    };
    const std::vector<std::string> upload { "-H", "X-File-Name: a%20b.txt", "-H", "Content-Type: text/plain",
        "--data-binary" };
    auto with = [](std::vector<std::string> list, std::string last) {
        list.push_back(std::move(last));
        return list;
    };
    const Row rows[] = {
        { "{paired}", "/v1/files?conversationId=ios-up", with(upload, "@" + small.string()),
            { "HTTP/1.1 200", R"("fileId":"uploads/)" } },
        { "{paired}", "/v1/files?conversationId=ios-up", {}, { R"("name":"a_b.txt")" } },
        // Refused from the head alone: curl's Expect: 100-continue never gets its go-ahead.
        { "wrong", "/v1/files?conversationId=ios-no", with(upload, "@" + big.string()), { "HTTP/1.1 401" } },
        { "{paired}", "/v1/files?conversationId=ios-no", {}, { R"("files":[])" } },
        { "{paired}", "/v1/files?conversationId=ios-up", with(upload, "@" + big.string()),
            { "HTTP/1.1 413" } },
        { "{paired}", "/v1/files/ios-dl/notes%20%C3%A9.txt", {},
            { "HTTP/1.1 200", "\r\nContent-Type: text/plain; charset=utf-8\r\n",
                "\r\nContent-Disposition: attachment; filename*=UTF-8''notes%20%C3%A9.txt\r\n",
                "\r\nX-Content-Type-Options: nosniff\r\n", "\r\n\r\nhello" } },
        { "{paired}", "/v1/files/ios-dl/..%2F..%2Fetc%2Fpasswd", { "--path-as-is" }, { "HTTP/1.1 400" } },
        { "", "/health", {}, { "HTTP/1.1 401" } },
        { "", "/v1/pair",
            { "-H", "Content-Type: application/json", "--data", R"({"code": ")" + code + "\"}" },
            { "HTTP/1.1 200", R"("token":")" } },
        { "{paired now}", "/health", {}, { "HTTP/1.1 200", R"("ok":true)" } },
    };
    std::string pairedNow;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.token + " " + row.target);
        auto token = row.token == "{paired}" ? relay.paired.token
            : row.token == "{paired now}"    ? pairedNow
                                             : row.token;
        auto output = curlAnswer(relay, token, row.target, row.extra);
        for (const auto& fragment : row.expected)
            EXPECT_NE(output.find(fragment), std::string::npos) << fragment << " in " << output;
        EXPECT_EQ(output.find("root:"), std::string::npos);
        EXPECT_TRUE(incomingIsEmpty());
        if (row.target == "/v1/pair")
            pairedNow = textOf(bodyOf(output), "token");
    }
    EXPECT_EQ(pairedNow.size(), 43U);

    // A phone that leaves halfway through an upload leaves nothing behind once its connection ends.
    {
        test::TLSTestClient phone(relay.server.port);
        ASSERT_TRUE(phone.handshake());
        ASSERT_TRUE(phone.send("POST /v1/files?conversationId=ios-up HTTP/1.1\r\nHost: relay\r\n"
            + relay.authorization() + "X-File-Name: half.bin\r\nContent-Length: 1000000\r\n\r\n"
            + std::string(500'000, 'x')));
        ASSERT_TRUE(awaitIncoming(false));
    }
    EXPECT_TRUE(awaitIncoming(true));
}

TEST(RelayRouterListener, ADeviceWhoseRemovalAFakeStorageFailsToSaveIsRefusedAtOnce)
{
    auto fake = std::make_shared<test::LatchedFakeRunner>();
    RoutedRelay relay([&](RelayData&) { return fake; }, std::make_shared<test::ManualJobClock>());
    const auto tooBig = relay.folder / "too-big";
    test::writeBytes(tooBig, "");
    fs::resize_file(tooBig, 52'428'801); // sparse: over the upload limit, at no cost in disk
    ASSERT_NE(curlAnswer(relay, relay.paired.token, "/health").find("HTTP/1.1 200"), std::string::npos);

    relay.storage->failSave = true;
    EXPECT_THROW(relay.devices.remove(relay.paired.device.id), KeychainError);
    // A known token would make the upload's head meet the size limit (413); a removed one is refused
    // by the body policy before that.
    const std::vector<std::string> upload { "-H", "X-File-Name: big.bin", "--data-binary",
        "@" + tooBig.string() };
    for (const auto& [target, extra] : { std::pair { "/health", std::vector<std::string> {} },
             std::pair { "/v1/files?conversationId=ios-up", upload } }) {
        SCOPED_TRACE(target);
        auto answer = curlAnswer(relay, relay.paired.token, target, extra);
        EXPECT_EQ(test::statusOf(answer), 401) << answer;
    }
}

TEST(RelayRouterListener, AnUploadIsDownloadedUnderTheNameItIsListedBy)
{
    auto fake = std::make_shared<test::LatchedFakeRunner>();
    RoutedRelay relay([&](RelayData&) { return fake; }, std::make_shared<test::ManualJobClock>());
    const auto notes = relay.folder / "notes";
    test::writeBytes(notes, "the notes");
    auto uploaded = curlAnswer(relay, relay.paired.token, "/v1/files?conversationId=ios-up",
        { "-H", "X-File-Name: my%20notes.txt", "-H", "Content-Type: text/plain", "--data-binary",
            "@" + notes.string() });
    ASSERT_EQ(test::statusOf(uploaded), 200) << uploaded;
    auto listed = bodyOf(curlAnswer(relay, relay.paired.token, "/v1/files?conversationId=ios-up"));
    const auto* files = listed.subscript("files");
    ASSERT_TRUE(files && files->arrayValue() && files->arrayValue()->size() == 1) << listed.encoded();
    const auto& entry = files->arrayValue()->front();
    auto fileID = textOf(entry, "fileId");
    // Stored with a random prefix the phone never sees.
    ASSERT_NE(fileID, "uploads/" + textOf(entry, "name"));

    auto download = curlAnswer(relay, relay.paired.token, "/v1/files/ios-up/" + fileID);
    EXPECT_NE(download.find(
                  "\r\nContent-Disposition: attachment; filename*=UTF-8''" + textOf(entry, "name") + "\r\n"),
        std::string::npos)
        << download;
    EXPECT_TRUE(download.ends_with("\r\n\r\nthe notes")) << download;
}
