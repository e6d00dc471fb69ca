// The mailbox road between two data homes that share a PostgreSQL server, in one process: the Mac's
// mailbox server woken by the server's pushes, and the phone's client, each on a store of its own.
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/MovraneMailbox/CloudStore/CloudStoreFixture.h"
#include "tests/MovraneMailbox/Road/MailboxRoadEnds.h"
#include "tests/MovraneMailbox/Road/ScaledMailboxClock.h"
#include "tests/MovraneMailbox/Server/MailboxServerHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace movrane;
using movrane::test::makeRoadClient;
using movrane::test::makeRoadServer;

namespace {

class CloudKitMailboxRoadOnPostgres : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (auto reason = factory.skipReason(); !reason.empty())
            GTEST_SKIP() << reason;
        auto macStore = storeIn("mac");
        server = makeRoadServer(macIdentity, pairing, { macStore, clock, factory.root.path(), macLog.sink() },
            [this](const MailboxInboundRequest& request) { return relay(request); });
        client = makeRoadClient(
            deviceIdentity, pairing, { storeIn("phone"), clock, factory.root.path(), phoneLog.sink() });
        pushes = std::make_unique<test::PushListenerThread>(
            macStore->container().listenForPushes(), [this](const std::string& push) {
                if (test::pushedMember(push).starts_with("vl.mac."))
                    server->fetchNow();
            });
        server->start();
    }

    void TearDown() override
    {
        pushes.reset();
        client.reset();
        if (server)
            server->stop();
        server.reset();
    }

    std::shared_ptr<CloudKitMailboxStore> storeIn(const std::string& home)
    {
        return std::make_shared<CloudKitMailboxStore>(std::string(MailboxProtocol::containerIdentifier),
            vellumar::platform::CloudDatabaseOptions {
                .folder = factory.root / home / "cloud", .choice = factory.choice() });
    }

    static MailboxURLRequest health()
    {
        return { "https://mac.local:48788/v1/health", "GET", {}, std::nullopt };
    }

    test::PostgresStoreFactory factory;
    std::shared_ptr<test::ScaledMailboxClock> clock = std::make_shared<test::ScaledMailboxClock>(5);
    MailboxIdentity macIdentity = MailboxIdentity::generate();
    MailboxIdentity deviceIdentity = MailboxIdentity::generate();
    MailboxPairing pairing = MailboxPairing::make(
        MailboxZoneName::make(), "mac-1", "ios-phone", macIdentity.publicKey(), deviceIdentity.publicKey());
    test::LockedLines macLog;
    test::LockedLines phoneLog;
    std::function<MailboxRelayResponse(const MailboxInboundRequest&)> relay;
    std::unique_ptr<MailboxServer> server;
    std::unique_ptr<MailboxClient> client;
    std::unique_ptr<test::PushListenerThread> pushes;
};

MailboxRelayResponse healthy()
{
    return MailboxRelayResponse::make(
        200, { { "content-type", "application/json" } }, bytes(R"({"ok":true})"));
}

}

TEST_F(CloudKitMailboxRoadOnPostgres, ARequestAcrossTheServerComesBackWithTheRelaysAnswer)
{
    std::atomic<int> answered = 0;
    relay = [&](const MailboxInboundRequest&) {
        ++answered;
        return healthy();
    };
    auto result = client->send(health());
    EXPECT_EQ(result.response.status, 200);
    EXPECT_EQ(result.data, bytes(R"({"ok":true})"));
    EXPECT_EQ(answered, 1);
}

TEST_F(
    CloudKitMailboxRoadOnPostgres, AServerRestartedMidRoadLeavesBothEndsReconnectedAndTheRequestAnsweredOnce)
{
    std::atomic<int> answered = 0;
    std::promise<void> restarted;
    std::promise<void> reached;
    auto afterRestart = restarted.get_future().share();
    relay = [&](const MailboxInboundRequest&) {
        if (++answered == 1) {
            reached.set_value();
            afterRestart.wait();
        }
        return healthy();
    };
    auto sending = std::async(std::launch::async, [this] { return client->send(health()); });
    // The Mac holds the request when the server goes down: its answer, and the phone's polls, go to the
    // server that comes back.
    ASSERT_EQ(reached.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    bool cameBack = factory.server.restart();
    restarted.set_value();
    ASSERT_TRUE(cameBack);
    auto result = sending.get();
    EXPECT_EQ(result.response.status, 200);
    EXPECT_EQ(answered, 1);

    // Both ends, and the Mac's push listener, carry on as before.
    EXPECT_EQ(client->send(health()).response.status, 200);
    EXPECT_EQ(answered, 2);
}
