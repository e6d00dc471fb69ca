// The phone's process against a mailbox server in this process, over the shared cloud database, the
// server woken by the store's pushes: the half of the road that does not need the computer's core.
#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Server/MailboxServer.h"
#include "Platform/CloudPush.h"
#include "tests/MailboxRoad/support/RoadWorld.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace vellumar;
using namespace vellumar::test;

namespace {

class MailboxRoadPhone : public testing::Test {
protected:
    MailboxRoadPhone()
    {
        std::filesystem::create_directories(phoneState);
        phone = std::make_unique<RoadDriver>(
            std::vector<std::string> { VELLUMAR_ROAD_PHONE, cloud.string(), phoneState.string(), "10" });
    }

    ~MailboxRoadPhone() override
    {
        phone.reset();
        if (server)
            server->stop();
        pushes.request_stop();
        server.reset();
    }

    // Answers the phone's offer as a computer on the same account would and starts serving its zone.
    JSON pairAndServe(movrane::MailboxServer::RequestHandler handler)
    {
        auto offer
            = movrane::MailboxPairingOffer::fromJSON(*phone->call({ { "op", "offer" } }).subscript("offer"));
        auto answer = movrane::MailboxPairingRules::answer(offer, movrane::MailboxAccountState::available,
            store->userRecordName(), mac.publicKey(), std::nullopt,
            [] { return movrane::MailboxZoneName::make(); });
        pairing = movrane::MailboxPairing::make(
            *answer.zone, "mac-road", "ios-road", mac.publicKey(), offer.deviceKey);
        server = std::make_unique<movrane::MailboxServer>(movrane::MailboxServer::Dependencies {
            .identity = mac,
            .store = store,
            .storage = std::make_shared<movrane::InMemoryMailboxStateStorage>(),
            .pairingsProvider = [this] { return std::vector { *pairing }; },
            .presenceProvider =
                [] {
                    return std::optional(movrane::MailboxPresence { 1, 1, "1.0", "Road Mac" });
                },
            .handler = std::move(handler),
            .clock = std::make_shared<movrane::SystemMailboxClock>(),
        });
        server->setUpZone(*pairing);
        auto listener = std::shared_ptr<platform::CloudPushListener>(store->container().listenForPushes());
        pushes = std::jthread([this, listener](std::stop_token stop) {
            while (!stop.stop_requested()) {
                if (auto push = listener->receive(std::chrono::milliseconds(100));
                    push && push->find("vl.mac.") != std::string::npos)
                    server->fetchNow();
            }
        });
        server->start();
        return phone->call({ { "op", "pair" }, { "answer", answer.toJSON() }, { "macId", "mac-road" },
            { "deviceId", "ios-road" } });
    }

    TemporaryFolder root;
    std::filesystem::path cloud = root / "cloud";
    std::filesystem::path phoneState = root / "phone";
    std::shared_ptr<movrane::CloudKitMailboxStore> store = std::make_shared<movrane::CloudKitMailboxStore>(
        std::string(movrane::MailboxProtocol::containerIdentifier),
        platform::CloudDatabaseOptions { .folder = cloud });
    movrane::MailboxIdentity mac = movrane::MailboxIdentity::generate();
    std::optional<movrane::MailboxPairing> pairing;
    std::unique_ptr<RoadDriver> phone;
    std::unique_ptr<movrane::MailboxServer> server;
    std::jthread pushes;
};

}

TEST_F(MailboxRoadPhone, ARequestFromThePhonesProcessIsAnsweredThroughTheSharedStore)
{
    auto paired = pairAndServe([](const movrane::MailboxInboundRequest& request) {
        auto body = request.request.method + " " + request.request.path;
        return movrane::MailboxRelayResponse::make(
            200, { { "content-type", "text/plain" } }, movrane::MailboxBytes(body.begin(), body.end()));
    });
    ASSERT_TRUE(paired.subscript("pairing")) << paired.encoded();

    auto answer = phone->call({ { "op", "send" }, { "method", "GET" }, { "path", "/v1/health" } });
    EXPECT_EQ(memberText(answer, "status"), "200") << answer.encoded();
    EXPECT_EQ(memberText(answer, "body"), "GET /v1/health");
    // An answer is stored without a notification: the phone found it by polling, and no push came.
    EXPECT_FALSE(phone->awaitEvent("push", {}, 0));
    auto presence = phone->call({ { "op", "presence" } });
    EXPECT_EQ(memberText(*presence.subscript("presence"), "macName"), "Road Mac") << presence.encoded();
    EXPECT_EQ(phone->finish(), 0);
}

TEST_F(MailboxRoadPhone, AnAnswerThatNeverComesIsATimeOutAfterThePhonesMinimumWait)
{
    std::promise<void> release;
    auto released = release.get_future().share();
    auto paired = pairAndServe([released](const movrane::MailboxInboundRequest&) {
        released.wait();
        return movrane::MailboxRelayResponse::make(204, {}, {});
    });
    ASSERT_TRUE(paired.subscript("pairing")) << paired.encoded();
    auto answer
        = phone->call({ { "op", "send" }, { "method", "GET" }, { "path", "/v1/health" }, { "timeout", 1 } });
    EXPECT_EQ(memberText(answer, "error"), "timedOut") << answer.encoded();
    release.set_value();
}
