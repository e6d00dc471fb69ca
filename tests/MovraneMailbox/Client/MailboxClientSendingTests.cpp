#include "tests/MovraneMailbox/Client/MailboxClientFixture.h"
#include "tests/support/FileFixtures.h"

#include <regex>
#include <thread>

namespace movrane {

namespace {

    using Kind = MailboxError::Kind;
    using vellumar::test::namesIn;
    using vellumar::test::thrown;
    using vellumar::test::writeBytes;

    MailboxContent postWithBody(std::size_t bodyBytes)
    {
        MailboxBytes body(bodyBytes);
        for (std::size_t index = 0; index < body.size(); ++index)
            body[index] = static_cast<std::uint8_t>(index * 31 + 7);
        return MailboxRelayRequest::make("POST", "/v1/chat", std::nullopt, {}, std::move(body));
    }

    class MailboxClientSendingTest : public MailboxClientTest {
    protected:
        std::unique_ptr<MailboxClient> client = makeClient();

        void SetUp() override { client->setUp(); }

        MailboxEnvelopeRecord storedAs(const std::string& recordName)
        {
            for (const auto& record : store->envelopes(pairing.zoneName)) {
                if (record.name == recordName)
                    return record;
            }
            ADD_FAILURE() << recordName << " is not stored";
            return envelope(recordName, 0, "");
        }

        MailboxEnvelopeRecord onlyStored()
        {
            auto stored = store->envelopes(pairing.zoneName);
            EXPECT_EQ(stored.size(), 1u);
            return stored.empty() ? envelope("e-missing", 0, "") : stored.front();
        }

        // The attachment's plaintext, read back through the store as the Mac would.
        MailboxBytes attachmentOf(const MailboxEnvelopeRecord& record, const MailboxMessage& message)
        {
            EXPECT_TRUE(message.attachment);
            auto downloaded = store->fetchAsset(record.name, pairing.zoneName);
            auto plaintext = MailboxAttachmentCipher::decryptData(downloaded, *message.attachment, 1 << 26);
            std::filesystem::remove(downloaded);
            return plaintext;
        }
    };

    TEST_F(MailboxClientSendingTest, BodiesUpToTheInlineLimitTravelInsideTheEnvelope)
    {
        auto content = postWithBody(MailboxProtocol::maxInlineBytes);
        auto sent = client->sendEnvelope(content, std::nullopt, MailboxNotify::none);

        auto record = onlyStored();
        EXPECT_EQ(record.name, sent.recordName);
        EXPECT_FALSE(record.hasAsset);
        EXPECT_EQ(record.to, "mac");
        EXPECT_TRUE(record.name.starts_with("e-"));
        auto message = openedByMac(record);
        EXPECT_EQ(message.id, sent.messageID);
        EXPECT_NE(record.name, "e-" + message.id) << "the record name is drawn apart from the id";
        EXPECT_EQ(message.from, pairing.deviceTag());
        EXPECT_EQ(message.content, content);
        EXPECT_EQ(message.attachment, std::nullopt);
        EXPECT_EQ(record.size, static_cast<std::int64_t>(record.payload->size()));
    }

    TEST_F(MailboxClientSendingTest, ABodyOneByteOverTheLimitTravelsAsAnAttachmentWithAnEmptyBody)
    {
        auto content = postWithBody(MailboxProtocol::maxInlineBytes + 1);
        client->sendEnvelope(content, std::nullopt, MailboxNotify::reply);

        auto record = onlyStored();
        EXPECT_TRUE(record.hasAsset);
        EXPECT_EQ(record.notify, MailboxNotify::reply);
        auto message = openedByMac(record);
        EXPECT_TRUE(bodyOf(message.content).empty());
        EXPECT_EQ(message.content, replacingBody(content, {}));
        ASSERT_TRUE(message.attachment);
        EXPECT_EQ(message.attachment->size, 819'201);
        EXPECT_EQ(record.size, static_cast<std::int64_t>(record.payload->size()) + 819'201);
        EXPECT_EQ(attachmentOf(record, message), bodyOf(content));
    }

    TEST_F(MailboxClientSendingTest, ABodyFileAlwaysBecomesTheAttachmentInPlaceOfTheContentsBody)
    {
        auto file = temporary / "upload.txt";
        writeBytes(file, "twelve bytes");
        client->sendEnvelope(postWithBody(40), file, MailboxNotify::none);

        auto record = onlyStored();
        EXPECT_TRUE(record.hasAsset);
        auto message = openedByMac(record);
        EXPECT_TRUE(bodyOf(message.content).empty());
        EXPECT_EQ(attachmentOf(record, message), bytes("twelve bytes"));
        EXPECT_TRUE(std::filesystem::exists(file)) << "the caller's file is left alone";
    }

    TEST_F(MailboxClientSendingTest, WatchesAndPresencesNeverGetAnAttachment)
    {
        const MailboxContent contents[]
            = { MailboxWatch { "j-1", 4, true }, MailboxPresence { 1, 1, "1.0", "Mac" } };
        for (const auto& content : contents) {
            SCOPED_TRACE(content.index());
            auto sent = client->sendEnvelope(content, std::nullopt, MailboxNotify::none);
            auto record = storedAs(sent.recordName);
            EXPECT_FALSE(record.hasAsset);
            auto message = openedByMac(record);
            EXPECT_EQ(message.content, content);
            EXPECT_EQ(message.attachment, std::nullopt);
        }
    }

    TEST_F(MailboxClientSendingTest, TheLifetimeIsHeldWithinOneSecondAndOneDay)
    {
        struct Row {
            double lifetime;
            std::chrono::milliseconds validFor;
        };
        for (auto row : { Row { 0, std::chrono::seconds(1) }, Row { -5, std::chrono::seconds(1) },
                 Row { 900, std::chrono::seconds(900) }, Row { 200'000, std::chrono::seconds(86'400) } }) {
            SCOPED_TRACE(row.lifetime);
            auto settings = configuration();
            settings.lifetime = row.lifetime;
            clock->setSeconds(0.25);
            auto sent = makeClient(settings)->sendEnvelope(
                MailboxWatch { "j-1" }, std::nullopt, MailboxNotify::none);
            auto message = openedByMac(storedAs(sent.recordName));
            EXPECT_EQ(message.createdAt, std::chrono::floor<std::chrono::milliseconds>(clock->now()));
            EXPECT_EQ(message.expiresAt - message.createdAt, row.validFor);
        }
    }

    TEST_F(MailboxClientSendingTest, ARecordThatAlreadyExistsCountsAsSaved)
    {
        store->fail(Operation::saveEnvelope, MailboxError(Kind::alreadyExists), 1);
        auto sent = client->sendEnvelope(MailboxWatch { "j-1" }, std::nullopt, MailboxNotify::none);
        EXPECT_TRUE(MailboxMessageID::isValid(sent.messageID));
        EXPECT_TRUE(MailboxRecordName::isValid(sent.recordName));
        EXPECT_EQ(store->count(Operation::saveEnvelope), 1);
        EXPECT_TRUE(clock->sleeps().empty());
    }

    TEST_F(MailboxClientSendingTest, SavesAreRepeatedByTheStoreRule)
    {
        struct Row {
            const char* name;
            MailboxError failure;
            int failures;
            int storeAttempts;
            std::vector<double> sleeps;
            std::string outcome;
        };
        const Row rows[] = {
            { "always busy", MailboxError::busy(std::nullopt), 9, 4, { 1, 2, 4 }, "busy(retryAfter: nil)" },
            { "busy for 120 s", MailboxError::busy(120), 1, 4, { 30 }, "succeeded" },
            { "one attempt", MailboxError::network(std::nullopt), 1, 1, {}, "network(retryAfter: nil)" },
            { "quota", MailboxError(Kind::quotaExceeded), 1, 4, {}, "quotaExceeded" },
            { "zone missing", MailboxError(Kind::zoneMissing), 1, 4, {}, "zoneMissing" },
            { "other", MailboxError::other(3), 1, 4, {}, "other(code: 3)" },
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            clock = std::make_shared<test::ManualMailboxClock>();
            store = std::make_shared<InMemoryMailboxStore>(clock, 0);
            auto settings = configuration();
            settings.storeAttempts = row.storeAttempts;
            auto sender = makeClient(settings);
            sender->setUp();
            store->fail(Operation::saveEnvelope, row.failure, row.failures);

            EXPECT_EQ(failureOf([&] {
                sender->sendEnvelope(MailboxWatch { "j" }, std::nullopt, MailboxNotify::none);
            }),
                row.outcome);
            EXPECT_EQ(clock->sleeps(), row.sleeps);
            EXPECT_EQ(store->count(Operation::saveEnvelope), static_cast<int>(row.sleeps.size()) + 1);
            EXPECT_EQ(store->envelopes(pairing.zoneName).size(), row.outcome == "succeeded" ? 1u : 0u);
        }
    }

    TEST_F(MailboxClientSendingTest, AnEncryptionResetRebuildsTheZoneAndSavesOnTheSecondPass)
    {
        store->fail(Operation::saveEnvelope, MailboxError(Kind::encryptedDataReset), 1);
        store->fail(Operation::deleteZone, MailboxError(Kind::zoneMissing), 1);
        auto sent = client->sendEnvelope(MailboxWatch { "j-1" }, std::nullopt, MailboxNotify::none);

        EXPECT_EQ(store->count(Operation::deleteZone), 1);
        EXPECT_EQ(store->count(Operation::ensureZone), 2);
        EXPECT_EQ(store->count(Operation::saveSubscriptions), 2);
        EXPECT_EQ(store->count(Operation::saveEnvelope), 2);
        EXPECT_EQ(store->subscriptionIDs().size(), 4u);
        EXPECT_EQ(onlyStored().name, sent.recordName);
    }

    TEST_F(
        MailboxClientSendingTest, AfterAnEncryptionResetTheSecondPassRetriesAndCountsAnExistingRecordAsSaved)
    {
        store->fail(Operation::saveEnvelope, MailboxError(Kind::encryptedDataReset), 1);
        store->fail(Operation::saveEnvelope, MailboxError::network(std::nullopt), 1);
        // The save before was stored although its answer was lost.
        store->fail(Operation::saveEnvelope, MailboxError(Kind::alreadyExists), 1);
        client->sendEnvelope(MailboxWatch { "j-1" }, std::nullopt, MailboxNotify::none);
        EXPECT_EQ(store->count(Operation::saveEnvelope), 3);
        EXPECT_EQ(clock->sleeps(), (std::vector<double> { 1 }));
    }

    TEST_F(MailboxClientSendingTest, AnEncryptionResetEndsWithTheSetUpsOrTheSecondPasssFailure)
    {
        store->fail(Operation::saveEnvelope, MailboxError(Kind::encryptedDataReset), 1);
        store->fail(Operation::ensureZone, MailboxError(Kind::quotaExceeded), 1);
        EXPECT_EQ(
            failureOf([&] { client->sendEnvelope(MailboxWatch { "j" }, std::nullopt, MailboxNotify::none); }),
            "quotaExceeded");
        EXPECT_EQ(store->count(Operation::saveEnvelope), 1);

        store->fail(Operation::saveEnvelope, MailboxError(Kind::encryptedDataReset), 2);
        EXPECT_EQ(
            failureOf([&] { client->sendEnvelope(MailboxWatch { "j" }, std::nullopt, MailboxNotify::none); }),
            "encryptedDataReset");
        EXPECT_EQ(store->count(Operation::saveEnvelope), 3);
    }

    TEST_F(MailboxClientSendingTest, NoAttachmentFileOutlivesTheSendHoweverItEnds)
    {
        const std::regex attachmentName(
            "mailbox-out-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
        auto outbox = temporary / "outbox";
        std::filesystem::create_directory(outbox);
        auto settings = configuration();
        settings.temporaryDirectory = outbox;
        auto sender = makeClient(settings);
        auto file = temporary / "body.bin";
        writeBytes(file, std::string(5000, 'x'));
        std::vector<std::string> seenDuringSave;
        clock->onSleep([&](double) {
            for (const auto& name : namesIn(outbox))
                seenDuringSave.push_back(name);
        });
        store->setLatency(0.5);

        struct Row {
            const char* name;
            MailboxContent content;
            std::optional<std::filesystem::path> bodyFile;
            std::optional<MailboxError> saveFailure;
            std::string outcome;
        };
        const Row rows[] = {
            { "success with a large body", postWithBody(900'000), std::nullopt, std::nullopt, "succeeded" },
            { "success with a body file", postWithBody(0), file, std::nullopt, "succeeded" },
            { "a failed write", postWithBody(900'000), std::nullopt, MailboxError(Kind::quotaExceeded),
                "quotaExceeded" },
            { "a failed seal", MailboxRelayRequest::make("PATCH", "/v1/chat", std::nullopt, {}, {}), file,
                std::nullopt, "not a MailboxError: invalidContent" },
            { "a failed encryption", postWithBody(0), temporary / "missing", std::nullopt,
                "not a MailboxError: file" },
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(row.name);
            seenDuringSave.clear();
            if (row.saveFailure)
                store->fail(Operation::saveEnvelope, *row.saveFailure, 1);
            EXPECT_EQ(
                failureOf([&] { sender->sendEnvelope(row.content, row.bodyFile, MailboxNotify::none); }),
                row.outcome);
            EXPECT_TRUE(namesIn(outbox).empty());
            for (const auto& name : seenDuringSave)
                EXPECT_TRUE(std::regex_match(name, attachmentName)) << name;
        }
    }

    TEST_F(MailboxClientSendingTest, TheStateIsSavedBeforeTheWriteSoACrashNeverReusesASequenceNumber)
    {
        std::optional<std::uint64_t> savedDuringWrite;
        clock->onSleep([&](double) {
            savedDuringWrite = MailboxChannelState::decode(*storage, stateKey()).lastSequence;
        });
        store->setLatency(0.5);
        store->fail(Operation::saveEnvelope, MailboxError(Kind::quotaExceeded), 1);
        EXPECT_EQ(
            failureOf([&] { client->sendEnvelope(MailboxWatch { "j" }, std::nullopt, MailboxNotify::none); }),
            "quotaExceeded");
        auto used = MailboxClientPeer::state(*client).lastSequence;
        EXPECT_EQ(savedDuringWrite, used);

        // A client started after a crash goes on above the number the failed send used.
        client.reset();
        clock->onSleep({});
        auto restarted = makeClient();
        restarted->sendEnvelope(MailboxWatch { "j" }, std::nullopt, MailboxNotify::none);
        EXPECT_GT(openedByMac(onlyStored()).seq, used);
    }

    TEST_F(MailboxClientSendingTest, ConcurrentSendsUseDistinctRisingNumbersAndTheNewestStateIsStored)
    {
        constexpr int kSenders = 6;
        constexpr int kMessagesEach = 5;
        {
            std::vector<std::jthread> senders;
            for (int sender = 0; sender < kSenders; ++sender) {
                senders.emplace_back([&] {
                    for (int message = 0; message < kMessagesEach; ++message)
                        client->sendEnvelope(MailboxWatch { "j-1" }, std::nullopt, MailboxNotify::none);
                });
            }
        }
        std::set<std::uint64_t> sequences;
        for (const auto& record : store->envelopes(pairing.zoneName))
            sequences.insert(openedByMac(record).seq);
        ASSERT_EQ(sequences.size(), static_cast<std::size_t>(kSenders * kMessagesEach));
        auto stored = MailboxChannelState::decode(*storage, stateKey());
        EXPECT_EQ(stored.lastSequence, *sequences.rbegin());
        EXPECT_EQ(MailboxClientPeer::state(*client).lastSequence, *sequences.rbegin());
    }

}

}
