#include "tests/MovraneMailbox/Server/MailboxServerHarness.h"

#include <limits>

namespace movrane::test {
namespace {

    class MailboxServerSending : public MailboxServerTest {
    protected:
        MailboxChannel channelOf(const Phone& phone) { return *server().channel(phone.pairing); }

        void sendEvent(const Phone& phone, MailboxBytes body,
            const std::optional<std::filesystem::path>& bodyFile = std::nullopt, std::string name = "news")
        {
            server().send(MailboxEvent { std::move(name), std::move(body) }, bodyFile, channelOf(phone),
                MailboxNotify::routine);
        }

        // The one message the phone has received, with its record.
        std::pair<MailboxEnvelopeRecord, MailboxMessage> onlyEnvelope(const Phone& phone)
        {
            auto records = memoryStore->envelopes(phone.zone());
            EXPECT_EQ(records.size(), 1u);
            auto messages = phone.received(clock->now());
            EXPECT_EQ(messages.size(), 1u);
            return { records.at(0), messages.at(0) };
        }

        // The attachment's plaintext as the phone decrypts it.
        MailboxBytes attachmentOf(
            const Phone& phone, const MailboxEnvelopeRecord& record, const MailboxMessage& message)
        {
            auto asset = memoryStore->fetchAsset(record.name, phone.zone());
            auto plaintext = MailboxAttachmentCipher::decryptData(asset, *message.attachment, 1 << 27);
            std::filesystem::remove(asset);
            return plaintext;
        }

        std::set<std::string> temporaryFiles()
        {
            return vellumar::test::namesIn(configuration.temporaryDirectory);
        }
    };

    TEST_F(MailboxServerSending, BodiesOverTheInlineLimitTravelAsAttachments)
    {
        struct Case {
            std::size_t bodyBytes;
            bool attached;
        } cases[] = { { 819'200, false }, { 819'201, true }, { 0, false } };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.bodyBytes);
            auto& phone = addPhone();
            MailboxBytes body(row.bodyBytes, 0x5A);
            sendEvent(phone, body);
            auto [record, message] = onlyEnvelope(phone);
            const auto& event = std::get<MailboxEvent>(message.content);
            EXPECT_EQ(record.hasAsset, row.attached);
            EXPECT_EQ(message.attachment.has_value(), row.attached);
            if (row.attached) {
                EXPECT_TRUE(event.body.empty());
                EXPECT_EQ(message.attachment->size, static_cast<std::int64_t>(row.bodyBytes));
                EXPECT_EQ(attachmentOf(phone, record, message), body);
                EXPECT_EQ(record.size, static_cast<std::int64_t>(record.payload->size() + row.bodyBytes));
            } else {
                EXPECT_EQ(event.body, body);
            }
        }
        EXPECT_EQ(temporaryFiles(), std::set<std::string> {});
    }

    TEST_F(MailboxServerSending, ABodyFileAlwaysTravelsAsAnAttachment)
    {
        for (std::string content : { "", "small file" }) {
            SCOPED_TRACE(content.size());
            auto& phone = addPhone();
            auto file = temporary.path() / "answer.txt";
            vellumar::test::writeBytes(file, content);
            sendEvent(phone, bytes("inline body that the file replaces"), file);
            auto [record, message] = onlyEnvelope(phone);
            ASSERT_TRUE(message.attachment.has_value());
            EXPECT_TRUE(std::get<MailboxEvent>(message.content).body.empty());
            EXPECT_EQ(attachmentOf(phone, record, message), bytes(content));
            EXPECT_TRUE(std::filesystem::exists(file)) << "the sender's file is not the server's to remove";
        }
    }

    TEST_F(MailboxServerSending, TheLifetimeIsHeldWithinASecondAndADay)
    {
        struct Case {
            double lifetime;
            std::chrono::seconds expiresAfter;
        } cases[] = { { 0, std::chrono::seconds(1) }, { 100'000, std::chrono::seconds(86'400) },
            { 900, std::chrono::seconds(900) }, { -5, std::chrono::seconds(1) } };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.lifetime);
            configuration.lifetime = row.lifetime;
            auto& phone = addPhone();
            sendEvent(phone, {});
            auto [record, message] = onlyEnvelope(phone);
            EXPECT_EQ(message.expiresAt - message.createdAt, row.expiresAfter);
            destroyServer();
        }
    }

    TEST_F(MailboxServerSending, TheRecordAndTheMessageNameAndDateAlike)
    {
        auto& phone = addPhone();
        clock->setSeconds(12.3456789);
        sendEvent(phone, bytes("x"));
        auto [record, message] = onlyEnvelope(phone);
        EXPECT_EQ(record.createdAt, at(12.345));
        EXPECT_EQ(MailboxTime(message.createdAt), record.createdAt);
        EXPECT_EQ(record.to, phone.pairing.deviceTag());
        EXPECT_EQ(message.from, "mac");
        EXPECT_EQ(record.notify, MailboxNotify::routine);
        EXPECT_TRUE(record.name.starts_with("e-"));
        EXPECT_EQ(record.name.size(), 24u);
        EXPECT_NE(record.name.substr(2), message.id);
    }

    TEST_F(MailboxServerSending, ASequenceNumberStaysUsedWhenTheStoreRefusesTheEnvelope)
    {
        auto& phone = addPhone();
        memoryStore->fail(InMemoryMailboxStore::Operation::saveEnvelope,
            MailboxError(MailboxError::Kind::quotaExceeded), 1);
        EXPECT_EQ(failureOf([&] { sendEvent(phone, {}); }), "quotaExceeded");
        sendEvent(phone, {});
        auto [record, message] = onlyEnvelope(phone);
        // The clock stands still, so only the refused send can have taken the first number.
        EXPECT_EQ(message.seq, MailboxSequence::next(0, clock->now()) + 1);
    }

    TEST_F(MailboxServerSending, StoreFailuresAreRetriedByTheRule)
    {
        using Operation = InMemoryMailboxStore::Operation;
        struct Case {
            const char* name;
            std::vector<MailboxError> failures;
            int attempts;
            std::string result;
            std::vector<double> sleeps;
        } cases[] = {
            { "stored on a lost try",
                { MailboxError::busy(std::nullopt), MailboxError(MailboxError::Kind::alreadyExists) }, 4,
                "succeeded", { 1 } },
            { "a long retry-after", { MailboxError::busy(120) }, 4, "succeeded", { 30 } },
            { "one attempt", { MailboxError::busy(std::nullopt) }, 1, "busy(retryAfter: nil)", {} },
            { "not transient", { MailboxError(MailboxError::Kind::zoneMissing) }, 4, "zoneMissing", {} },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            configuration.storeAttempts = row.attempts;
            auto& phone = addPhone();
            auto sleepsBefore = clock->sleeps().size();
            for (const auto& failure : row.failures)
                memoryStore->fail(Operation::saveEnvelope, failure, 1);
            EXPECT_EQ(failureOf([&] { sendEvent(phone, {}); }), row.result);
            auto sleeps = clock->sleeps();
            EXPECT_EQ(std::vector<double>(sleeps.begin() + static_cast<long>(sleepsBefore), sleeps.end()),
                row.sleeps);
            destroyServer();
        }
    }

    TEST_F(MailboxServerSending, NoAttachmentFileOutlivesASend)
    {
        auto& phone = addPhone();
        auto file = temporary.path() / "answer.bin";
        vellumar::test::writeBytes(file, "file body");
        struct Case {
            const char* name;
            std::function<void()> prepare;
            std::optional<std::filesystem::path> bodyFile;
            std::string eventName;
            bool sent;
        } cases[] = {
            { "stored", [] {}, file, "news", true },
            { "refused by the store",
                [&] {
                    memoryStore->fail(InMemoryMailboxStore::Operation::saveEnvelope,
                        MailboxError(MailboxError::Kind::quotaExceeded), 1);
                },
                file, "news", false },
            // Metadata over 32,768 bytes cannot be sealed.
            { "not sealable", [] {}, file, std::string(40'000, 'n'), false },
            { "unreadable body file", [] {}, temporary.path() / "missing", "news", false },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            row.prepare();
            auto stored = memoryStore->saved().size();
            EXPECT_EQ(failureOf([&] { sendEvent(phone, {}, row.bodyFile, row.eventName); }) == "succeeded",
                row.sent);
            EXPECT_EQ(memoryStore->saved().size(), stored + (row.sent ? 1 : 0));
            EXPECT_EQ(temporaryFiles(), std::set<std::string> {});
        }
    }

    TEST_F(MailboxServerSending, APairingWithAnotherMacsKeyHasNoChannel)
    {
        auto& phone = addPhone();
        auto foreign = phone.pairing;
        foreign.macKey = MailboxIdentity::generate().publicKey();
        EXPECT_FALSE(server().channel(foreign).has_value());
        EXPECT_FALSE(server().channel(foreign).has_value());
        EXPECT_EQ(log.count("mailbox pair skipped: the Mac key does not match"), 2);
        EXPECT_TRUE(server().channel(phone.pairing).has_value());
        EXPECT_EQ(log.lines().size(), 2u);
    }

    TEST_F(MailboxServerSending, AChangedPairingReloadsItsStateFromStorage)
    {
        auto& phone = addPhone();
        sendEvent(phone, {});
        MailboxChannelState stored;
        stored.lastSequence = 1ULL << 60;
        stored.encoded(*storage, mailboxStateKey(MailboxRole::mac, phone.zone()));
        // The cached state of the old pairing would have given the clock's number.
        auto renewed = phone.pairing;
        renewed.deviceKey = MailboxIdentity::generate().publicKey();
        auto channel = server().channel(renewed);
        ASSERT_TRUE(channel.has_value());
        server().send(MailboxEvent { "news", {} }, std::nullopt, *channel, MailboxNotify::none);
        auto saved = memoryStore->saved();
        auto header = MailboxCipher::header(*saved.back().payload);
        EXPECT_EQ(header.seq, (1ULL << 60) + 1);
    }

    TEST_F(MailboxServerSending, ABusyErrorPausesPollingAndNeverShortensAPause)
    {
        auto& phone = addPhone();
        auto note = [&](const MailboxError& error) {
            server().noteZoneError(std::make_exception_ptr(error), phone.zone());
            return server().pausedUntil();
        };
        clock->setSeconds(10);
        EXPECT_EQ(note(MailboxError::busy(std::nullopt)), at(40));
        EXPECT_EQ(note(MailboxError::busy(5)), at(40));
        EXPECT_EQ(note(MailboxError::busy(-100)), at(40));
        EXPECT_EQ(note(MailboxError::busy(std::numeric_limits<double>::quiet_NaN())), at(40));
        EXPECT_EQ(note(MailboxError::network(100)), at(40));
        EXPECT_EQ(note(MailboxError::busy(100)), at(110));
        EXPECT_EQ(server().zoneErrors().at(phone.zone()), MailboxError::busy(100));
        EXPECT_EQ(log.count("mailbox zone error: busy(retryAfter: nil)"), 1);
        EXPECT_EQ(log.count("mailbox zone error: network(retryAfter: Optional(100.0))"), 1);
        EXPECT_EQ(log.lines().size(), 6u);
    }

    TEST_F(MailboxServerSending, ANegativeRetryAfterPausesNothing)
    {
        auto& phone = addPhone();
        server().noteZoneError(std::make_exception_ptr(MailboxError::busy(-100)), phone.zone());
        ASSERT_TRUE(server().pausedUntil().has_value());
        EXPECT_LT(*server().pausedUntil(), clock->now());
    }

}
}
