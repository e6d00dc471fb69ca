#include "tests/MovraneMailbox/Client/MailboxClientFixture.h"
#include "tests/support/FileFixtures.h"

namespace movrane {

namespace {

    using Kind = MailboxError::Kind;

    MailboxJobStateContent jobState(
        std::string jobId, std::int64_t version, bool finished, std::string_view body)
    {
        return { { std::move(jobId), version, finished }, bytes(body) };
    }

    class MailboxClientFetchingTest : public MailboxClientTest {
    protected:
        std::shared_ptr<ObservedMailboxStore> observed = std::make_shared<ObservedMailboxStore>(store);
        std::unique_ptr<MailboxClient> client = makeClient(configuration(), observed);

        void SetUp() override { client->setUp(); }

        std::vector<std::string> zoneNames() { return namesOf(store->envelopes(pairing.zoneName)); }
    };

    TEST_F(MailboxClientFetchingTest, WhatIsNotForTheDeviceStaysAndWhatIsNotAnsweringIsDeletedUnacted)
    {
        client->sendEnvelope(MailboxWatch { "j-1", 1, false }, std::nullopt, MailboxNotify::none);
        const auto sent = store->envelopes(pairing.zoneName);
        ASSERT_EQ(sent.size(), 1u);
        const auto requestForMac = sent.front();
        // Contents the Mac has no business sending the device, and an answer nobody waits for.
        sendFromMac(MailboxRelayRequest::make("GET", "/v1/health", std::nullopt, {}, {}));
        sendFromMac(MailboxWatch { "j-1", 2, false });
        sendFromMac(
            MailboxResponseContent { MailboxMessageID::make(), MailboxRelayResponse::make(200, {}, {}) });

        EXPECT_EQ(client->fetch(), std::nullopt);
        EXPECT_EQ(zoneNames(), std::vector<std::string> { requestForMac.name });
        EXPECT_EQ(store->envelopes(pairing.zoneName), std::vector { asFetched(requestForMac) });
        EXPECT_TRUE(loggedLines().empty());
        EXPECT_FALSE(client->jobState("j-1"));
        EXPECT_EQ(MailboxClientPeer::state(*client).changeToken,
            MailboxChannelState::decode(*storage, stateKey()).changeToken);
        EXPECT_TRUE(MailboxClientPeer::state(*client).changeToken);
    }

    TEST_F(MailboxClientFetchingTest, JobStatesAreRecordedAndEventsAndNewerPresencesReachEveryStream)
    {
        auto first = client->events();
        auto second = client->events();
        sendFromMac(jobState("j-1", 3, false, R"({"v":3})"));
        sendFromMac(MailboxEvent { "routineResult", bytes("r") });
        MailboxPresence presence { 1, 2, "1.0", "Mac" };
        {
            std::lock_guard lock(macLock);
            store->savePresence(mac.sealPresence(presence, clock->now(), macState), pairing.zoneName);
        }
        ASSERT_EQ(client->fetch(), std::nullopt);

        EXPECT_EQ(client->jobState("j-1"), (MailboxClient::JobEntry { 3, false, bytes(R"({"v":3})") }));
        auto seenAt = std::chrono::floor<std::chrono::milliseconds>(clock->now());
        for (auto* stream : { &first, &second }) {
            EXPECT_EQ(stream->next({}), MailboxClientEvent(MailboxEvent { "routineResult", bytes("r") }));
            EXPECT_EQ(stream->next({}), MailboxClientEvent(MailboxSeenPresence { presence, seenAt }));
        }
        EXPECT_EQ(client->presence(), presence);
        EXPECT_EQ(client->lastSeen(), seenAt);

        // The same presence again, and an older one: nothing moves, nothing is emitted.
        store->savePresence(*store->presence(pairing.zoneName), pairing.zoneName);
        clock->setSeconds(-10);
        {
            std::lock_guard lock(macLock);
            auto older = macState;
            store->savePresence(mac.sealPresence({ 9, 9, {}, {} }, clock->now(), older), pairing.zoneName);
        }
        clock->setSeconds(0);
        sendFromMac(MailboxEvent { "marker", {} });
        ASSERT_EQ(client->fetch(), std::nullopt);
        EXPECT_EQ(first.next({}), MailboxClientEvent(MailboxEvent { "marker", {} }));
        EXPECT_EQ(client->presence(), presence);
        EXPECT_EQ(client->lastSeen(), seenAt);
    }

    TEST_F(MailboxClientFetchingTest, AJobStateWhoseAttachmentCannotBeHadIsLostAndItsEnvelopeDeleted)
    {
        auto big = sendFromMac(jobState("j-1", 1, false, ""), bytes(R"({"jobId":"j-1"})"));
        store->fail(Operation::fetchAsset, MailboxError(Kind::notFound), 1);
        ASSERT_EQ(client->fetch(), std::nullopt);
        EXPECT_FALSE(client->jobState("j-1"));
        EXPECT_TRUE(zoneNames().empty());

        // Delivered whole, the attachment is the body.
        sendFromMac(jobState("j-2", 1, true, ""), bytes(R"({"jobId":"j-2"})"));
        ASSERT_EQ(client->fetch(), std::nullopt);
        EXPECT_EQ(
            client->jobState("j-2"), (MailboxClient::JobEntry { 1, true, bytes(R"({"jobId":"j-2"})") }));
        EXPECT_TRUE(vellumar::test::namesIn(temporary.path()).empty()) << "no downloaded asset stays";
    }

    TEST_F(MailboxClientFetchingTest, ExpiredTokensRestartThePassAFewTimesAndThenFail)
    {
        // One change per page, so every pass needs a token for its second page.
        store->setFetchLimit(1);
        sendFromMac(jobState("j-1", 1, false, "{}"));
        sendFromMac(jobState("j-1", 2, false, "{}"));
        ASSERT_EQ(client->fetch(), std::nullopt);
        auto fetchesBefore = store->count(Operation::fetchChanges);
        // Every token the store gives is refused again before it can be used.
        observed->beforeFetch([this] { store->expireChangeTokens(); });

        EXPECT_EQ(client->fetch(), MailboxError(Kind::changeTokenExpired));
        EXPECT_EQ(client->lastError(), MailboxError(Kind::changeTokenExpired));
        // The call with the saved token, then per restart a first page and a refused second one.
        EXPECT_EQ(
            store->count(Operation::fetchChanges) - fetchesBefore, 1 + 2 * configuration().storeAttempts);
    }

    TEST_F(MailboxClientFetchingTest, OneExpiredTokenIsNotReported)
    {
        sendFromMac(jobState("j-1", 1, false, "{}"));
        ASSERT_EQ(client->fetch(), std::nullopt);
        store->expireChangeTokens();
        sendFromMac(jobState("j-1", 2, false, "{}"));
        EXPECT_EQ(client->fetch(), std::nullopt);
        EXPECT_EQ(client->jobState("j-1")->version, 2);
    }

    TEST_F(MailboxClientFetchingTest, PagingFollowsTheTokensAndStopsWhenAPageGivesNone)
    {
        store->setFetchLimit(1);
        for (int version = 1; version <= 3; ++version)
            sendFromMac(jobState("j-1", version, false, "{}"));
        ASSERT_EQ(client->fetch(), std::nullopt);
        EXPECT_GE(store->count(Operation::fetchChanges), 3);
        EXPECT_EQ(client->jobState("j-1")->version, 3);
        auto fetchesBefore = store->count(Operation::fetchChanges);

        // A store that says more is coming yet gives no token to come back with.
        observed->afterFetch([](MailboxChanges& page) {
            page.token.reset();
            page.moreComing = true;
        });
        sendFromMac(jobState("j-1", 4, false, "{}"));
        EXPECT_EQ(client->fetch(), std::nullopt);
        EXPECT_EQ(store->count(Operation::fetchChanges) - fetchesBefore, 1);
        EXPECT_EQ(client->jobState("j-1")->version, 4);
    }

    TEST_F(MailboxClientFetchingTest, AnEncryptionResetMakesTheZoneAnewAndIsReported)
    {
        sendFromMac(jobState("j-1", 1, false, "{}"));
        ASSERT_EQ(client->fetch(), std::nullopt);
        store->fail(Operation::fetchChanges, MailboxError(Kind::encryptedDataReset), 1);
        EXPECT_EQ(client->fetch(), MailboxError(Kind::encryptedDataReset));
        EXPECT_EQ(client->lastError(), MailboxError(Kind::encryptedDataReset));
        EXPECT_TRUE(store->hasZone(pairing.zoneName));
        EXPECT_EQ(store->count(Operation::deleteZone), 1);
        EXPECT_FALSE(MailboxChannelState::decode(*storage, stateKey()).changeToken);

        EXPECT_EQ(client->fetch(), std::nullopt);
        EXPECT_EQ(client->lastError(), std::nullopt);
    }

    TEST_F(MailboxClientFetchingTest, TransientFailuresAreRetriedUnlessOneAttemptIsAllowed)
    {
        store->fail(Operation::fetchChanges, MailboxError::network(std::nullopt), 3);
        EXPECT_EQ(client->fetch(), std::nullopt);
        EXPECT_EQ(clock->sleeps(), (std::vector<double> { 1, 2, 4 }));

        auto settings = configuration();
        settings.storeAttempts = 1;
        auto impatient = makeClient(settings);
        store->fail(Operation::fetchChanges, MailboxError::busy(std::nullopt), 1);
        EXPECT_EQ(impatient->fetch(), MailboxError::busy(std::nullopt));
        EXPECT_EQ(impatient->lastError(), MailboxError::busy(std::nullopt));
    }

}

}
