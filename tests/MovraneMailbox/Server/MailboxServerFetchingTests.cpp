#include "tests/MovraneMailbox/Server/MailboxServerHarness.h"

namespace movrane::test {
namespace {

    using Operation = InMemoryMailboxStore::Operation;

    class MailboxServerFetching : public MailboxServerTest {
    protected:
        MailboxChannel::Sealed sendEvent(Phone& phone, double atSecond = 0, double lifetime = 900)
        {
            return phone.send(
                MailboxEvent { "from the phone", bytes("hello") }, at(atSecond), std::nullopt, lifetime);
        }

        std::vector<std::string> namesIn(const Phone& phone)
        {
            return namesOf(memoryStore->envelopes(phone.zone()));
        }

        std::optional<MailboxBytes> storedToken(const Phone& phone)
        {
            return MailboxChannelState::decode(*storage, mailboxStateKey(MailboxRole::mac, phone.zone()))
                .changeToken;
        }
    };

    TEST_F(MailboxServerFetching, ReplayedAndExpiredEnvelopesAreDroppedAndDeletedInTheSamePass)
    {
        auto& phone = addPhone();
        auto first = sendEvent(phone);
        fetch();
        EXPECT_EQ(namesIn(phone), std::vector<std::string> {});
        memoryStore->inject(first.record, std::nullopt, phone.zone());
        auto shortLived = sendEvent(phone, 0, 1);
        clock->setSeconds(5);
        fetch();
        EXPECT_EQ(log.lines(),
            (std::vector<std::string> {
                "mailbox envelope dropped: replayed", "mailbox envelope dropped: expired" }));
        EXPECT_EQ(namesIn(phone), std::vector<std::string> {});
        EXPECT_EQ(server().lastRequest(), at(0));
    }

    // A state file that no longer reads must not forget which of the phone's envelopes were handled:
    // one put back after a restart would otherwise run a second time.
    TEST_F(MailboxServerFetching, AfterARestartOnAStateThatNoLongerReadsOnlyEnvelopesSealedLaterAreOpened)
    {
        auto& phone = addPhone();
        auto handled = sendEvent(phone);
        fetch();
        destroyServer();
        storage->store(
            bytes(R"({"lastSequence": "damaged"})"), mailboxStateKey(MailboxRole::mac, phone.zone()));
        memoryStore->inject(handled.record, std::nullopt, phone.zone());
        fetch();
        EXPECT_EQ(log.lines(), std::vector<std::string> { "mailbox envelope dropped: replayed" });

        sendEvent(phone, 1);
        clock->setSeconds(1);
        fetch();
        EXPECT_EQ(log.lines().size(), 1U);
        EXPECT_EQ(namesIn(phone), std::vector<std::string> {});
    }

    // A pairing's zone is made in the background while the passes already read it: a pass that found
    // it missing must not keep it out of every later pass once the set-up made it meanwhile.
    TEST_F(MailboxServerFetching, AZoneSetUpWhileAPassFoundItMissingIsReadByTheNextPass)
    {
        auto& phone = addPhone();
        memoryStore->dropZone(phone.zone());
        store->onceFetchFails([&] { server().setUpZone(phone.pairing); });
        fetch();
        sendEvent(phone);
        fetch();
        EXPECT_EQ(namesIn(phone), std::vector<std::string> {});
        EXPECT_EQ(server().zoneErrors(), (std::map<std::string, MailboxError> {}));
    }

    TEST_F(MailboxServerFetching, AnotherPartysEnvelopeIsLeftUntouched)
    {
        auto& phone = addPhone();
        auto theirs
            = envelope(MailboxRecordName::envelope(), 0, "not for the Mac", phone.pairing.deviceTag());
        memoryStore->inject(theirs, std::nullopt, phone.zone());
        fetch();
        fetch();
        EXPECT_EQ(namesIn(phone), std::vector<std::string> { theirs.name });
        EXPECT_EQ(log.lines(), std::vector<std::string> {});
        EXPECT_FALSE(server().lastRequest().has_value());
    }

    TEST_F(MailboxServerFetching, AnEmptyLastPageKeepsItsTokenAndClearsTheZonesError)
    {
        auto& phone = addPhone();
        server().noteZoneError(std::make_exception_ptr(MailboxError::network(std::nullopt)), phone.zone());
        fetch();
        EXPECT_EQ(server().zoneErrors(), (std::map<std::string, MailboxError> {}));
        EXPECT_TRUE(storedToken(phone).has_value());
    }

    TEST_F(MailboxServerFetching, ZonesAreFetchedOneAfterAnotherPageByPage)
    {
        auto& first = addPhone();
        auto& second = addPhone();
        for (int index = 0; index < 3; ++index) {
            sendEvent(first);
            sendEvent(second);
        }
        memoryStore->setFetchLimit(2);
        fetch();
        auto calls = store->calls();
        auto firstOfSecond = std::find_if(
            calls.begin(), calls.end(), [&](const auto& call) { return call.ends_with(second.zone()); });
        ASSERT_NE(firstOfSecond, calls.end());
        // Three envelopes at two a page: at least two pages, each processed before the next zone.
        EXPECT_GE(std::count(calls.begin(), firstOfSecond, "fetchChanges " + first.zone()), 2);
        EXPECT_GE(std::count(calls.begin(), firstOfSecond, "deleteEnvelopes " + first.zone()), 2);
        EXPECT_TRUE(std::none_of(
            firstOfSecond, calls.end(), [&](const auto& call) { return call.ends_with(first.zone()); }));
        EXPECT_EQ(namesIn(first), std::vector<std::string> {});
        EXPECT_EQ(namesIn(second), std::vector<std::string> {});
    }

    TEST_F(MailboxServerFetching, PairingsOfAnotherMacAndLostZonesAreNotFetched)
    {
        auto& foreign = addPhone();
        foreign.pairing.macKey = MailboxIdentity::generate().publicKey();
        auto& lost = addPhone();
        server().noteZoneError(
            std::make_exception_ptr(MailboxError(MailboxError::Kind::zoneMissing)), lost.zone());
        fetch();
        EXPECT_EQ(store->calls(), std::vector<std::string> {});
    }

    TEST_F(MailboxServerFetching, AnExpiredTokenRestartsTheZoneOnceWithinThePass)
    {
        auto& phone = addPhone();
        fetch();
        sendEvent(phone);
        memoryStore->expireChangeTokens();
        fetch();
        EXPECT_EQ(store->count("fetchChanges " + phone.zone()), 3);
        EXPECT_EQ(namesIn(phone), std::vector<std::string> {});
        EXPECT_EQ(server().zoneErrors(), (std::map<std::string, MailboxError> {}));
        EXPECT_EQ(log.lines(), std::vector<std::string> {});
    }

    // Each of these would keep the pass in one zone for good, or lose a request without a word.
    TEST_F(MailboxServerFetching, AStoreThatKeepsRefusingTheTokenEndsThePassWithTheZonesError)
    {
        auto& phone = addPhone();
        memoryStore->fail(Operation::fetchChanges, MailboxError(MailboxError::Kind::changeTokenExpired), 5);
        fetch();
        EXPECT_EQ(store->count("fetchChanges " + phone.zone()), 2);
        EXPECT_EQ(
            server().zoneErrors().at(phone.zone()), MailboxError(MailboxError::Kind::changeTokenExpired));
        EXPECT_EQ(log.lines(), std::vector<std::string> { "mailbox zone error: changeTokenExpired" });
    }

    TEST_F(MailboxServerFetching, MoreComingWithoutATokenEndsTheZonesPass)
    {
        auto& phone = addPhone();
        sendEvent(phone);
        fetch();
        auto token = storedToken(phone);
        sendEvent(phone);
        store->alterFetches([](MailboxChanges& changes) {
            changes.moreComing = true;
            changes.token.reset();
        });
        fetch();
        EXPECT_EQ(store->count("fetchChanges " + phone.zone()), 2);
        EXPECT_EQ(namesIn(phone), std::vector<std::string> {});
        EXPECT_EQ(storedToken(phone), token);
    }

    TEST_F(MailboxServerFetching, ARequestWhoseStateWasNotSavedRunsOnceOnTheNextPass)
    {
        auto& phone = addPhone();
        auto request = phone.request("/v1/jobs", at(0));
        storage->failSaves(1);
        fetch();
        EXPECT_EQ(log.lines(),
            std::vector<std::string> {
                "mailbox state could not be saved; the request waits for the next fetch" });
        EXPECT_EQ(namesIn(phone), std::vector<std::string> { request.record.name });
        EXPECT_FALSE(server().lastRequest().has_value());
        fetch();
        fetch();
        ASSERT_TRUE(waitForEnvelopes(1));
        destroyServer();
        EXPECT_EQ(relay.calls().size(), 1u);
        EXPECT_EQ(phone.responses(clock->now()).count(request.message.id), 1u);
        EXPECT_EQ(log.lines().size(), 1u);
    }

    TEST_F(MailboxServerFetching, AnEncryptedDataResetMakesTheZoneAgainFromItsStart)
    {
        auto& phone = addPhone();
        fetch();
        ASSERT_TRUE(storedToken(phone).has_value());
        memoryStore->fail(Operation::fetchChanges, MailboxError(MailboxError::Kind::encryptedDataReset), 1);
        fetch();
        auto calls = store->calls();
        EXPECT_EQ(std::vector<std::string>(calls.begin() + 1, calls.end()),
            (std::vector<std::string> { "fetchChanges " + phone.zone(), "deleteZone " + phone.zone(),
                "ensureZone " + phone.zone(), "saveSubscriptions " + phone.zone() }));
        EXPECT_FALSE(storedToken(phone).has_value());
        EXPECT_EQ(memoryStore->subscriptionIDs(), std::vector<std::string> { "vl.mac." + phone.zone() });
    }

}
}
