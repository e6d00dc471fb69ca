// A phone away from the Mac's network, played by the real mailbox client over the in-memory store,
// reaches the relay host's router through the Mac mailbox and hears of its routine results.
#include "RelayHostFixture.h"

#include "MovraneMailbox/Client/MailboxClient.h"
#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxSubscriptions.h"
#include "tests/support/MemoryMailboxSetup.h"

#include <gtest/gtest.h>

using namespace vellumar;
using namespace vellumar::test;

TEST(RelayHostMailboxRequests, APhoneThroughTheMailboxIsAnsweredByTheRouterAndHearsOfRoutineResults)
{
    auto store
        = std::make_shared<movrane::InMemoryMailboxStore>(std::make_shared<movrane::SystemMailboxClock>(), 0);
    MailboxLog log;
    HostWorld world([&](RelayHost::Configuration& configuration) {
        configuration.deviceStorage = std::make_shared<FakeDeviceStorage>(
            std::vector<PairedDevice> { { .id = "d-1", .name = "Phone", .tokenHash = "00" } });
        configuration.mailbox = memoryMailboxSetup(store, log);
    });
    auto& host = *world.host;
    host.options().setRoutines(true);
    host.start(world.names);
    auto phone = movrane::MailboxIdentity::generate();
    auto pairing = movrane::MailboxPairing::make(
        movrane::MailboxZoneName::make(), "mac-1", "d-1", *host.mailbox()->macKey(), phone.publicKey());
    host.devices().setMailbox("d-1", pairing, std::nullopt);

    // The store's notifications play the pushes: the Mac's wake its mailbox, the phone's are counted.
    std::mutex lock;
    std::condition_variable notified;
    int phoneNotifications = 0;
    store->onNotification([&](const std::string& subscription) {
        if (subscription.starts_with("vl.mac.")) {
            host.mailbox()->handlePush();
            return;
        }
        std::lock_guard guard(lock);
        ++phoneNotifications;
        notified.notify_all();
    });
    movrane::MailboxClientConfiguration settings;
    settings.temporaryDirectory = world.folder.path();
    movrane::MailboxClient client(pairing, phone,
        { store, std::make_shared<movrane::InMemoryMailboxStateStorage>(),
            std::make_shared<movrane::SystemMailboxClock>(), {} },
        settings);
    client.setUp();
    // The Mac's own subscription, as its set-up of the zone makes it; then the request is sent once the
    // Mac's first fetch has ended, since a push that comes during a fetch joins it and may miss the zone.
    store->saveSubscriptions(movrane::MailboxSubscriptions::mac(pairing), pairing.zoneName);
    host.mailbox()->handlePush();

    auto answer = client.send(movrane::MailboxURLRequest { .url = "/health" });
    EXPECT_EQ(answer.response.status, 200);
    auto health = JSON::decode(std::string(answer.data.begin(), answer.data.end())).value_or(JSON());
    EXPECT_EQ(*health.subscript("transport")->stringValue(), "https");

    auto routine = host.routines().create(JSON::object({ { "botId", "main" }, { "conversationId", "ios-abc" },
        { "name", "News" }, { "prompt", "Headlines." },
        { "schedule", JSON::object({ { "kind", "daily" }, { "time", "07:00" } }) } }));
    auto job = host.routines().runNow(*routine.subscript("id")->stringValue());
    std::dynamic_pointer_cast<LatchedFakeRunner>(world.runner)
        ->reply(*job.subscript("jobId")->stringValue(), "Done.");
    auto routineAlerts = [&] {
        return std::ranges::count_if(store->envelopes(pairing.zoneName), [&](const auto& record) {
            return record.to == pairing.deviceTag() && record.notify == movrane::MailboxNotify::routine;
        });
    };
    std::unique_lock guard(lock);
    EXPECT_TRUE(notified.wait_for(guard, std::chrono::seconds(20), [&] { return routineAlerts() == 1; }));
    guard.unlock();
    host.stop();
}
