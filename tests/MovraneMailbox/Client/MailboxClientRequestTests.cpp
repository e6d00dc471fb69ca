#include "tests/MovraneMailbox/Client/MailboxClientFixture.h"
#include "tests/support/FileFixtures.h"

namespace movrane {

namespace {

    using Kind = MailboxError::Kind;
    using vellumar::test::thrown;
    using vellumar::test::writeBytes;

    MailboxURLRequest urlRequest(std::string method, std::string target)
    {
        return { "https://mac.local:48788" + target, std::move(method), {}, std::nullopt };
    }

    class MailboxClientRequestTest : public MailboxClientTest {
    protected:
        std::shared_ptr<ObservedMailboxStore> observed = std::make_shared<ObservedMailboxStore>(store);
        std::unique_ptr<MailboxClient> client = makeClient(configuration(), observed);
        // What the Mac received: the request and, when it came as an attachment, the attachment's plaintext.
        std::vector<std::pair<MailboxRelayRequest, std::optional<MailboxBytes>>> received;

        void SetUp() override { client->setUp(); }

        void macAnswers(MailboxRelayResponse answer, bool asAttachment = false)
        {
            observed->afterSave([this, answer, asAttachment](const MailboxEnvelopeRecord& record) {
                auto message = openedByMac(record);
                std::optional<MailboxBytes> attachment;
                if (message.attachment) {
                    auto downloaded = store->fetchAsset(record.name, pairing.zoneName);
                    attachment
                        = MailboxAttachmentCipher::decryptData(downloaded, *message.attachment, 1 << 26);
                    std::filesystem::remove(downloaded);
                }
                received.emplace_back(std::get<MailboxRelayRequest>(message.content), attachment);
                sendFromMac(MailboxResponseContent { message.id, answer },
                    asAttachment ? std::optional(answer.body) : std::nullopt);
            });
        }

        std::optional<URLError::Code> urlErrorOf(const std::function<void()>& call)
        {
            auto failure = thrown<URLError>(call);
            return failure ? std::optional(failure->code()) : std::nullopt;
        }
    };

    TEST_F(MailboxClientRequestTest, UploadsTravelInsideTheRequestUpToTheInlineLimitAndBesideItAbove)
    {
        macAnswers(MailboxRelayResponse::make(201, {}, bytes("stored")));
        for (std::size_t size : { MailboxProtocol::maxInlineBytes, MailboxProtocol::maxInlineBytes + 1 }) {
            SCOPED_TRACE(size);
            auto file = temporary / "upload.bin";
            writeBytes(file, std::string(size, 'u'));
            auto result = client->upload(urlRequest("POST", "/v1/uploads"), file);
            EXPECT_EQ(result.data, bytes("stored"));
            EXPECT_EQ(result.response.status, 201);
            EXPECT_EQ(result.response.headerFields.at("Content-Length"), "6");
        }
        ASSERT_EQ(received.size(), 2u);
        EXPECT_EQ(received[0].first.body.size(), MailboxProtocol::maxInlineBytes);
        EXPECT_FALSE(received[0].second);
        EXPECT_TRUE(received[1].first.body.empty());
        ASSERT_TRUE(received[1].second);
        EXPECT_EQ(received[1].second->size(), MailboxProtocol::maxInlineBytes + 1);
    }

    TEST_F(MailboxClientRequestTest, ASuccessfulDownloadReplacesTheDestinationWholeAndReturnsNoData)
    {
        for (bool asAttachment : { false, true }) {
            SCOPED_TRACE(asAttachment ? "attached" : "inline");
            macAnswers(MailboxRelayResponse::make(200, { { "content-type", "image/png" } }, bytes("picture")),
                asAttachment);
            auto destination = temporary / "downloads" / "nested" / "picture.png";
            if (asAttachment)
                writeBytes(destination, "an older picture");
            auto result = client->download(urlRequest("GET", "/v1/files/picture.png"), destination);
            EXPECT_TRUE(result.data.empty());
            EXPECT_EQ(result.response.headerFields.at("Content-Length"), "0");
            EXPECT_EQ(result.response.headerFields.at("Content-Type"), "image/png");
            EXPECT_EQ(vellumar::test::readFile(destination), "picture");
            EXPECT_EQ(
                vellumar::test::namesIn(destination.parent_path()), std::set<std::string> { "picture.png" });
        }
    }

    TEST_F(MailboxClientRequestTest, AFailedDownloadLeavesTheDestinationAndReturnsTheMacsError)
    {
        auto error = MailboxRelayResponse::error(404, "not_found", "No such file.", std::nullopt);
        macAnswers(error, true);
        auto destination = temporary / "picture.png";
        writeBytes(destination, "mine");
        auto result = client->download(urlRequest("GET", "/v1/files/picture.png"), destination);
        EXPECT_EQ(result.response.status, 404);
        EXPECT_EQ(result.data, error.body);
        EXPECT_EQ(vellumar::test::readFile(destination), "mine");
    }

    TEST_F(MailboxClientRequestTest, FailuresReachTheCallerAsURLErrors)
    {
        letSleepsMoveTheClock();
        struct Case {
            const char* name;
            std::function<void()> arrange;
            MailboxURLRequest request;
            std::optional<URLError::Code> expected;
        };
        const Case cases[] = {
            { "no URL", [] {}, { "", "GET", {}, std::nullopt }, URLError::Code::badURL },
            { "a method the mailbox does not carry", [] {}, urlRequest("PATCH", "/v1/bots"),
                URLError::Code::badURL },
            { "no iCloud account", [this] { store->setAccount(MailboxAccountState::noAccount); },
                urlRequest("GET", "/v1/health"), URLError::Code::cannotConnectToHost },
            { "a network that stays away",
                [this] { store->fail(Operation::saveEnvelope, MailboxError::network(std::nullopt), 4); },
                urlRequest("GET", "/v1/health"), URLError::Code::notConnectedToInternet },
            { "no answer", [] {}, urlRequest("GET", "/v1/health"), URLError::Code::timedOut },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            row.arrange();
            auto callsBefore = store->counts();
            EXPECT_EQ(urlErrorOf([&] { client->send(row.request); }), row.expected);
            if (row.expected == URLError::Code::badURL) {
                EXPECT_EQ(store->counts(), callsBefore) << "nothing reached the store";
            }
            store->setAccount(MailboxAccountState::available);
        }
    }

    TEST_F(MailboxClientRequestTest, AnUnreadableUploadFailsBeforeAnythingIsSent)
    {
        EXPECT_EQ(
            urlErrorOf([&] { client->upload(urlRequest("POST", "/v1/uploads"), temporary / "missing"); }),
            URLError::Code::cannotConnectToHost);
        EXPECT_TRUE(store->saved().empty());
    }

}

}
