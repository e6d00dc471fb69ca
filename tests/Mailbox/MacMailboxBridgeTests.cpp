// Mailbox requests through the bridge into the real relay router, and the router's answers back.
#include "VellumarMacCore/Mailbox/MacMailboxBridge.h"

#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "VellumarMacCore/Mailbox/MacMailbox.h"
#include "tests/Mailbox/SteppedMailboxClock.h"
#include "tests/Relay/RouterHarness.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/MailboxPairings.h"

#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

constexpr auto kTooLarge = "413 too_large The request is too large.";
constexpr auto kLANOnly = "403 lan_only This works only on the same Wi-Fi as the Mac.";

unsigned modeOf(const fs::path& path)
{
    struct stat info { };
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

class MacMailboxBridgeTest : public ::testing::Test, protected test::RouterHarness {
protected:
    movrane::MailboxInboundRequest inbound(std::string method, std::string path,
        std::optional<std::string> query = std::nullopt, std::string body = {},
        movrane::MailboxHeaderMap headers = {}, std::optional<fs::path> bodyFile = std::nullopt) const
    {
        return { .pairing = phoneMailbox,
            .request = { std::move(method), std::move(path), std::move(query), std::move(headers),
                movrane::MailboxBytes(body.begin(), body.end()) },
            .bodyFile = std::move(bodyFile),
            .receivedAt = {} };
    }

    // Runs the request through the router, keeping what reached it and, for a spooled body, the
    // spool file's name, mode, its folder's mode and its content as the router saw them.
    movrane::MailboxRelayResponse send(const movrane::MailboxInboundRequest& request)
    {
        return handleMailboxInboundRequest(
            request, incoming, [this](const HTTPRequest& relayed, const RequestOrigin& origin) {
                reached = relayed;
                if (const auto& file = relayed.bodyFile())
                    spoolSeen = file->filename().string() + " " + std::to_string(modeOf(*file)) + " "
                        + std::to_string(modeOf(file->parent_path())) + " " + test::readFile(*file);
                return router.respond(relayed, origin);
            });
    }

    static std::shared_ptr<MacMailbox> makeMailbox()
    {
        return MacMailbox::make({ .store = std::make_shared<movrane::InMemoryMailboxStore>(
                                      std::make_shared<movrane::SystemMailboxClock>(), 0),
                                    .keyStore = std::make_shared<movrane::InMemoryMailboxKeyStore>(),
                                    .storage = std::make_shared<movrane::InMemoryMailboxStateStorage>(),
                                    .clock = std::make_shared<test::SteppedMailboxClock>(15) },
            [] { return std::vector<movrane::MailboxPairing> {}; });
    }

    static std::string outcome(const movrane::MailboxRelayResponse& response)
    {
        auto body = JSON::decode(std::string(response.body.begin(), response.body.end())).value_or(JSON());
        auto text = std::to_string(response.status);
        if (const auto* code = body.subscript("error"))
            text += " " + *code->stringValue() + " " + *body.subscript("message")->stringValue();
        return text;
    }

    movrane::MailboxPairing phoneMailbox = test::storedMailboxPairing(devices, paired.device.id);
    fs::path incoming = data.incomingFolder();
    std::optional<HTTPRequest> reached;
    std::string spoolSeen;
};

}

TEST_F(MacMailboxBridgeTest, OnlyUploadsMayCarryMoreThanTheMemoryLimitOrAFile)
{
    auto job = [](std::size_t size) {
        std::string body = R"({"conversationId": "ios-abc", "botId": "main", "message": "Hi"})";
        return body + std::string(size - body.size(), ' ');
    };
    test::writeBytes(folder / "attachment", "x");
    const struct {
        movrane::MailboxInboundRequest request;
        std::string expected;
        bool reachesRouter;
    } cases[] = {
        { inbound("POST", "/v1/jobs", std::nullopt, job(65'536)), "202", true },
        { inbound("POST", "/v1/jobs", std::nullopt, job(65'537)), kTooLarge, false },
        { inbound("GET", "/v1/memory", "conversationId=ios-abc", {}, {}, folder / "attachment"), kTooLarge,
            false },
        { inbound("POST", "/v1/files", "conversationId=ios-abc", std::string(70'000, 'a'),
              { { "x-file-name", "big.txt" } }),
            "200", true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(
            testCase.request.request.path + " " + std::to_string(testCase.request.request.body.size()));
        reached.reset();
        EXPECT_EQ(outcome(send(testCase.request)), testCase.expected);
        EXPECT_EQ(reached.has_value(), testCase.reachesRouter);
    }
}

TEST_F(MacMailboxBridgeTest, AnEmptyQueryStillEndsTheTargetWithAQuestionMark)
{
    EXPECT_EQ(outcome(send(inbound("GET", "/health", "", {}))), "200");
    ASSERT_TRUE(reached && reached->query());
    EXPECT_EQ(reached->path(), "/health");
    EXPECT_TRUE(reached->query()->empty());
}

TEST_F(MacMailboxBridgeTest, RequestHeadersAlikeButForCaseBothArriveAndForResponsesTheLaterWins)
{
    send(inbound("GET", "/health", std::nullopt, {}, { { "X-File-Name", "a" }, { "x-file-name", "b" } }));
    ASSERT_TRUE(reached);
    EXPECT_EQ(reached->headers(), (HTTPHeaders { { "x-file-name", "a" }, { "x-file-name", "b" } }));

    auto response = mailboxRelayResponse(HTTPResponse(
        200, { { "Content-Type", "text/plain" }, { "content-type", "text/csv" }, { "X-Token", "secret" } }));
    EXPECT_EQ(response.headers, (movrane::MailboxHeaderMap { { "content-type", "text/csv" } }));
}

TEST_F(MacMailboxBridgeTest, AnUploadIsSpooledPrivatelyAndTheSpoolIsGoneAfterwards)
{
    auto response = send(
        inbound("POST", "/v1/files", "conversationId=ios-abc", "hello", { { "x-file-name", "note.txt" } }));
    ASSERT_EQ(outcome(response), "200");
    EXPECT_TRUE(std::regex_match(spoolSeen, std::regex(R"(\.incoming-mailbox-[0-9a-f]{16} 384 448 hello)")))
        << spoolSeen;
    EXPECT_TRUE(reached->body().empty());
    EXPECT_TRUE(fs::is_empty(incoming));

    // The stored file comes back as the body file of a download, with the router's headers lower-cased.
    auto stored = JSON::decode(std::string(response.body.begin(), response.body.end())).value_or(JSON());
    auto download = send(inbound("GET", "/v1/files/ios-abc/" + *stored.subscript("fileId")->stringValue()));
    ASSERT_TRUE(download.bodyFile);
    EXPECT_EQ(test::readFile(*download.bodyFile), "hello");
    EXPECT_TRUE(download.body.empty());
    EXPECT_EQ(download.headers.at("x-content-type-options"), "nosniff");
}

TEST_F(MacMailboxBridgeTest, AnUploadThatCannotBeSpooledIsRefusedWithoutLeavingAFile)
{
    test::writeBytes(folder / "plain", "");
    fs::create_directory(folder / "elsewhere");
    fs::create_directory_symlink(folder / "elsewhere", folder / "link");
    for (const auto& spoolFolder : { folder / "plain" / "incoming", folder / "link" }) {
        SCOPED_TRACE(spoolFolder);
        incoming = spoolFolder;
        EXPECT_EQ(outcome(send(inbound("POST", "/v1/files", "conversationId=ios-abc", "hello"))),
            "507 insufficient_storage The Mac could not store the file.");
        EXPECT_FALSE(reached);
    }
    EXPECT_TRUE(fs::is_empty(folder / "elsewhere"));
}

TEST_F(MacMailboxBridgeTest, AWebSocketUpgradeIsCancelledAndRefused)
{
    HTTPRequest upgrade("GET", "/v1/terminal",
        { { "authorization", "Bearer " + paired.token }, { "connection", "Upgrade" },
            { "upgrade", "websocket" }, { "sec-websocket-version", "13" },
            { "sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ==" } },
        {}, true);
    auto accepted = router.respond(upgrade, RequestOrigin::lan());
    ASSERT_EQ(accepted.status(), 101);
    terminals.takeCalls();
    EXPECT_EQ(outcome(mailboxRelayResponse(accepted)), kLANOnly);
    EXPECT_EQ(terminals.takeCalls(), std::vector<std::string> { "close t-1" });
}

TEST_F(MacMailboxBridgeTest, PairingAndRegistrationStayOnTheLocalNetworkHoweverTheirPathIsWritten)
{
    auto code = pairing.makeOffer().code;
    auto body = JSON::object({ { "code", code }, { "deviceName", "Far" } }).encoded();
    for (const auto* path : { "/v1/p%61ir", "/v1/mailbox/regist%65r", "//v1/pair", "/v1/./pair" }) {
        SCOPED_TRACE(path);
        auto answer = outcome(send(inbound("POST", path, std::nullopt, body)));
        EXPECT_FALSE(answer.starts_with("2"));
        if (std::string_view(path).find('%') != std::string_view::npos) {
            EXPECT_EQ(answer, kLANOnly);
        }
    }
    EXPECT_EQ(devices.all().size(), 1u);
    // The code was never spent: the phone next to the Mac still pairs with it.
    auto local = router.respond(HTTPRequest("POST", "/v1/pair", {}, body, true), RequestOrigin::lan());
    EXPECT_EQ(local.status(), 200);
}

TEST_F(MacMailboxBridgeTest, OnlyDevicesTheRelayAcceptsBecomeRecentAndTheFirstAnswerPublishes)
{
    auto mailbox = makeMailbox();
    int publications = 0;
    mailbox->observe([&](const MacMailboxStatus&) { ++publications; });
    EXPECT_EQ(outcome(mailbox->handleInbound(inbound("GET", "/health"))),
        "503 unavailable Vellumar for Mac is starting. Try again shortly.");
    mailbox->start(mailboxRequestHandler(router, incoming));
    int started = publications;

    auto stranger = inbound("GET", "/health");
    stranger.pairing = test::mailboxPairingFor("d-0123456789abcdef");
    EXPECT_EQ(outcome(mailbox->handleInbound(stranger)), "401 unauthorized The token is not valid.");
    EXPECT_TRUE(mailbox->status().recentDevices.empty());
    EXPECT_EQ(publications, started);
    for (int request = 0; request < 2; ++request)
        EXPECT_EQ(outcome(mailbox->handleInbound(inbound("GET", "/health"))), "200");
    EXPECT_TRUE(mailbox->status().recentDevices.contains(paired.device.id));
    EXPECT_EQ(publications, started + 1);
    mailbox->stop();
}

TEST_F(MacMailboxBridgeTest, ObserversEndWithTheLatestStatusWhenManyDevicesAnswerAtOnce)
{
    auto mailbox = makeMailbox();
    std::mutex lock;
    std::size_t lastSeen = 0;
    mailbox->observe([&](const MacMailboxStatus& status) {
        std::lock_guard guard(lock);
        lastSeen = status.recentDevices.size();
    });
    mailbox->start(mailboxRequestHandler(router, incoming));
    std::vector<movrane::MailboxInboundRequest> requests;
    for (int phone = 0; phone < 12; ++phone) {
        requests.push_back(inbound("GET", "/health"));
        requests.back().pairing = test::storedMailboxPairing(devices, devices.add("Phone").device.id);
    }
    {
        std::vector<std::jthread> phones;
        for (const auto& request : requests)
            phones.emplace_back([&mailbox, &request] { mailbox->handleInbound(request); });
    }
    {
        std::lock_guard guard(lock);
        EXPECT_EQ(lastSeen, requests.size());
    }
    mailbox->stop();
}
