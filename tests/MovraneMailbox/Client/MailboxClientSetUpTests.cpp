#include "tests/MovraneMailbox/Client/MailboxClientFixture.h"
#include "tests/support/FileFixtures.h"

#include <stdexcept>

namespace movrane {

namespace {

    using Kind = MailboxError::Kind;
    using vellumar::test::thrown;

    std::vector<MailboxError> repeated(const MailboxError& error, int count)
    {
        return std::vector<MailboxError>(static_cast<std::size_t>(count), error);
    }

    TEST_F(MailboxClientTest, StoreCallsAreRetriedOnlyForPassingTroubleWithinTheAttempts)
    {
        using State = MailboxAccountState;
        struct Row {
            const char* name;
            std::vector<MailboxError> failures;
            int storeAttempts;
            std::vector<double> sleeps;
            std::string outcome;
        };
        const Row rows[] = {
            { "busy(7) twice", repeated(MailboxError::busy(7), 2), 4, { 7, 7 }, "succeeded" },
            { "network always", repeated(MailboxError::network(std::nullopt), 9), 4, { 1, 2, 4 },
                "network(retryAfter: nil)" },
            { "busy always", repeated(MailboxError::busy(std::nullopt), 9), 4, { 1, 2, 4 },
                "busy(retryAfter: nil)" },
            { "success on the last attempt", repeated(MailboxError::network(2.5), 3), 4, { 2.5, 2.5, 2.5 },
                "succeeded" },
            { "busy(120) is cut to 30 s", { MailboxError::busy(120) }, 4, { 30 }, "succeeded" },
            { "pauses grow to 30 s at most", repeated(MailboxError::busy(std::nullopt), 6), 7,
                { 1, 2, 4, 8, 16, 30 }, "succeeded" },
            { "temporarily unavailable", { MailboxError::account(State::temporarilyUnavailable) }, 4, { 1 },
                "succeeded" },
            { "could not determine", { MailboxError::account(State::couldNotDetermine) }, 4, { 1 },
                "succeeded" },
            { "no account", { MailboxError::account(State::noAccount) }, 4, {},
                "account(MovraneMailbox.MailboxAccountState.noAccount)" },
            { "restricted", { MailboxError::account(State::restricted) }, 4, {},
                "account(MovraneMailbox.MailboxAccountState.restricted)" },
            { "quota", { MailboxError(Kind::quotaExceeded) }, 4, {}, textOf(Kind::quotaExceeded) },
            { "zone missing", { MailboxError(Kind::zoneMissing) }, 4, {}, textOf(Kind::zoneMissing) },
            { "not found", { MailboxError(Kind::notFound) }, 4, {}, textOf(Kind::notFound) },
            { "misconfigured", { MailboxError::misconfigured(12) }, 4, {}, "misconfigured(code: 12)" },
            { "one attempt", { MailboxError::busy(std::nullopt) }, 1, {}, "busy(retryAfter: nil)" },
            { "no attempt still calls once", { MailboxError::busy(std::nullopt) }, 0, {},
                "busy(retryAfter: nil)" },
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            clock = std::make_shared<test::ManualMailboxClock>();
            store = std::make_shared<InMemoryMailboxStore>(clock, 0);
            for (const auto& failure : row.failures)
                store->fail(Operation::ensureZone, failure, 1);
            auto settings = configuration();
            settings.storeAttempts = row.storeAttempts;
            auto client = makeClient(settings);

            EXPECT_EQ(failureOf([&] { client->setUp(); }), row.outcome);
            EXPECT_EQ(clock->sleeps(), row.sleeps);
            EXPECT_EQ(store->count(Operation::ensureZone), static_cast<int>(row.sleeps.size()) + 1);
            EXPECT_EQ(store->count(Operation::saveSubscriptions), row.outcome == "succeeded" ? 1 : 0);
        }
    }

    TEST(MailboxStoreRetry, MapsAnyFailureToAMailboxError)
    {
        auto mappedFrom
            = [](auto error) { return MailboxStoreRetry::mapped(std::make_exception_ptr(error)); };
        EXPECT_EQ(mappedFrom(MailboxError::busy(3)), MailboxError::busy(3));
        EXPECT_EQ(mappedFrom(MailboxCancelledError()), MailboxError(MailboxError::Kind::cancelled));
        EXPECT_EQ(mappedFrom(std::runtime_error("disk on fire")), MailboxError::other(0));
        EXPECT_EQ(mappedFrom(MailboxClientError()), MailboxError::other(0));
    }

    TEST_F(MailboxClientTest, CancellingDuringARetrySleepEndsWithTheCancellationNotTheStoreError)
    {
        // The real clock: its sleep is what a requested stop cuts short.
        auto systemClock = std::make_shared<SystemMailboxClock>();
        auto systemStore = std::make_shared<InMemoryMailboxStore>(systemClock, 0);
        systemStore->fail(Operation::ensureZone, MailboxError::busy(30), 1);
        MailboxClient client(
            pairing, deviceIdentity, { systemStore, storage, systemClock, {} }, configuration());
        std::stop_source cancel;
        cancel.request_stop();

        auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(thrown<MailboxCancelledError>([&] { client.setUp(cancel.get_token()); }));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
        EXPECT_EQ(systemStore->count(Operation::ensureZone), 1);
        EXPECT_EQ(systemStore->count(Operation::saveSubscriptions), 0);
    }

    TEST_F(MailboxClientTest, SetUpMakesTheZoneAndTheFourDeviceSubscriptionsSilentLast)
    {
        auto recording = std::make_shared<ObservedMailboxStore>(store);
        auto client = makeClient(configuration(), recording);
        client->setUp();
        client->setUp();

        EXPECT_TRUE(store->hasZone(pairing.zoneName));
        auto prefix = "vl.dev." + pairing.zoneName + ".";
        std::vector<std::string> expected { prefix + "reply", prefix + "approval", prefix + "routine",
            prefix + "silent" };
        EXPECT_EQ(recording->savedSubscriptionIDs(), (std::vector { expected, expected }));
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(store->subscriptionIDs(), expected);
    }

    TEST_F(MailboxClientTest, SetUpSavesNoSubscriptionWhenTheZoneCannotBeMade)
    {
        store->fail(Operation::ensureZone, MailboxError(MailboxError::Kind::quotaExceeded), 1);
        auto client = makeClient();
        EXPECT_EQ(failureOf([&] { client->setUp(); }), textOf(MailboxError::Kind::quotaExceeded));
        EXPECT_EQ(store->count(Operation::saveSubscriptions), 0);
        EXPECT_TRUE(store->subscriptionIDs().empty());
    }

    TEST_F(MailboxClientTest, TearDownRemovesZoneSubscriptionsAndSavedStateSoANewClientStartsFresh)
    {
        auto client = makeClient();
        client->setUp();
        client->sendEnvelope(MailboxWatch { "j-1", 2, false }, std::nullopt, MailboxNotify::none);
        auto sent = MailboxClientPeer::state(*client);
        ASSERT_GT(sent.lastSequence, 0u);
        ASSERT_EQ(MailboxClientPeer::state(*makeClient()), sent);

        client->tearDown();
        EXPECT_FALSE(store->hasZone(pairing.zoneName));
        EXPECT_TRUE(store->subscriptionIDs().empty());
        EXPECT_EQ(storage->load(stateKey()), std::nullopt);
        // Only what was stored is gone; the client's own state stays as it was.
        EXPECT_EQ(MailboxClientPeer::state(*client), sent);
        EXPECT_EQ(MailboxClientPeer::state(*makeClient()), MailboxChannelState {});
    }

    TEST_F(MailboxClientTest, TearDownKeepsWhatFollowsAFailedStep)
    {
        struct Row {
            Operation failing;
            bool zoneKept;
            bool subscriptionsKept;
        };
        for (auto row : { Row { Operation::deleteSubscriptions, true, true },
                 Row { Operation::deleteZone, true, false } }) {
            SCOPED_TRACE(std::string(rawValue(row.failing)));
            store = std::make_shared<InMemoryMailboxStore>(clock, 0);
            storage = std::make_shared<InMemoryMailboxStateStorage>();
            auto client = makeClient();
            client->setUp();
            client->sendEnvelope(
                MailboxWatch { "j-1", std::nullopt, true }, std::nullopt, MailboxNotify::none);
            store->fail(row.failing, MailboxError::misconfigured(7), 1);

            EXPECT_EQ(failureOf([&] { client->tearDown(); }), "misconfigured(code: 7)");
            EXPECT_EQ(store->hasZone(pairing.zoneName), row.zoneKept);
            EXPECT_EQ(store->subscriptionIDs().empty(), !row.subscriptionsKept);
            EXPECT_NE(storage->load(stateKey()), std::nullopt);
        }
    }

}

}
