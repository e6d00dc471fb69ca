#include "tests/MovraneMailbox/Client/MailboxClientFixture.h"
#include "tests/support/FileFixtures.h"

namespace movrane {

namespace {

    using vellumar::test::thrown;

    TEST_F(MailboxClientTest, RefusesAnIdentityThatIsNotThePairingsDeviceKey)
    {
        for (const auto& identity : { macIdentity, MailboxIdentity::generate() }) {
            SCOPED_TRACE(identity.description());
            auto refused = thrown<MailboxKeyError>([&] {
                MailboxClient(pairing, identity, { store, storage, clock, {} }, configuration());
            });
            ASSERT_TRUE(refused);
            EXPECT_EQ(*refused, MailboxKeyError::invalidPrivateKey());
        }
    }

    TEST_F(MailboxClientTest, StartsFreshWithNothingSavedAndTouchesNoStore)
    {
        auto client = makeClient();
        EXPECT_EQ(MailboxClientPeer::state(*client), MailboxChannelState {});
        EXPECT_EQ(client->lastSeen(), std::nullopt);
        EXPECT_EQ(client->presence(), std::nullopt);
        EXPECT_EQ(client->lastError(), std::nullopt);
        EXPECT_EQ(client->pairing(), pairing);
        for (auto operation : InMemoryMailboxStore::allOperations)
            EXPECT_EQ(store->count(operation), 0) << rawValue(operation);
        EXPECT_TRUE(clock->sleeps().empty());

        // Saved bytes that do not read, or a state of the Mac's end, count as nothing saved.
        storage->store(bytes("{not json"), stateKey());
        MailboxChannelState macSide;
        macSide.lastSequence = 9;
        macSide.encoded(*storage, "mailbox.mac." + pairing.zoneName);
        EXPECT_EQ(MailboxClientPeer::state(*makeClient()), MailboxChannelState {});
    }

    TEST_F(MailboxClientTest, ASavedPresenceTimeBecomesLastSeen)
    {
        MailboxChannelState saved;
        saved.lastSequence = 41;
        saved.lastPresence = clock->now() - std::chrono::minutes(5);
        saved.changeToken = bytes("token");
        saved.encoded(*storage, stateKey());

        auto client = makeClient();
        EXPECT_EQ(client->lastSeen(), saved.lastPresence);
        EXPECT_EQ(MailboxClientPeer::state(*client), saved);
    }

    TEST_F(MailboxClientTest, JobStatesKeepTheNewerVersionOrTheFirstFinishedOne)
    {
        struct Row {
            const char* name;
            std::int64_t storedVersion;
            bool storedFinished;
            std::int64_t newVersion;
            bool newFinished;
            bool replaced;
        };
        const Row rows[] = {
            { "older running after running", 7, false, 5, false, false },
            { "equal running after running", 7, false, 7, false, false },
            { "newer running after running", 7, false, 8, false, true },
            { "older finished after running", 7, false, 5, true, true },
            { "older finished after finished", 7, true, 5, true, false },
            { "equal finished after finished", 7, true, 7, true, false },
            { "older running after finished", 7, true, 5, false, false },
            { "newer running after finished", 7, true, 9, false, true },
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            auto client = makeClient();
            client->recordJobState("j-1", row.storedVersion, row.storedFinished, bytes("stored"));
            client->recordJobState("j-1", row.newVersion, row.newFinished, bytes("new"));
            MailboxClient::JobEntry expected = row.replaced
                ? MailboxClient::JobEntry { row.newVersion, row.newFinished, bytes("new") }
                : MailboxClient::JobEntry { row.storedVersion, row.storedFinished, bytes("stored") };
            EXPECT_EQ(client->jobState("j-1"), expected);
        }
    }

    TEST_F(MailboxClientTest, AFinishedJobIsNoLongerWatchedAndOthersStay)
    {
        auto client = makeClient();
        for (const auto* job : { "j-running", "j-done", "j-other" })
            MailboxClientPeer::watch(*client, job, clock->now());
        client->recordJobState("j-running", 3, false, bytes("{}"));
        client->recordJobState("j-done", 3, true, bytes("{}"));
        EXPECT_TRUE(MailboxClientPeer::isWatched(*client, "j-running"));
        EXPECT_FALSE(MailboxClientPeer::isWatched(*client, "j-done"));
        EXPECT_TRUE(MailboxClientPeer::isWatched(*client, "j-other"));
        EXPECT_EQ(client->jobState("j-other"), std::nullopt);

        // An ignored state changes nothing, the watch included.
        MailboxClientPeer::watch(*client, "j-running", clock->now());
        client->recordJobState("j-running", 2, false, bytes("{}"));
        EXPECT_TRUE(MailboxClientPeer::isWatched(*client, "j-running"));
    }

    TEST(MailboxClientConfiguration, DefaultsAndPollScheduleWithItsLastPauseRepeating)
    {
        MailboxClientConfiguration settings;
        EXPECT_EQ(settings.minimumTimeout, 60);
        EXPECT_EQ(settings.lifetime, 900);
        EXPECT_EQ(settings.watchRenewal, 300);
        EXPECT_EQ(settings.storeAttempts, 4);
        std::vector<double> pauses;
        for (std::size_t fetch = 0; fetch < 8; ++fetch)
            pauses.push_back(settings.pollInterval(fetch));
        EXPECT_EQ(pauses, (std::vector<double> { 1, 1, 2, 2, 3, 5, 5, 5 }));

        settings.pollIntervals.clear();
        EXPECT_EQ(settings.pollInterval(0), 1);
        EXPECT_EQ(settings.pollInterval(12), 1);
    }

}

}
