#include "tests/MovraneMailbox/Client/MailboxClientFixture.h"
#include "tests/support/FileFixtures.h"

namespace movrane {

namespace {

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
        void SetUp() override { client->setUp(); }

        void macAnswers(MailboxRelayResponse answer, bool asAttachment)
        {
            answerThrough(
                *observed, [answer](const MailboxMessage&) { return answer; }, asAttachment);
        }

        std::optional<URLError::Code> urlErrorOf(const std::function<void()>& call)
        {
            auto failure = thrown<URLError>(call);
            return failure ? std::optional(failure->code()) : std::nullopt;
        }
    };

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

    TEST_F(MailboxClientRequestTest, ADownloadAnsweredWithAnErrorLeavesTheDestinationAndReturnsTheBody)
    {
        const std::string error = R"({"error":"not_found","message":"Not found."})";
        for (bool asAttachment : { false, true }) {
            SCOPED_TRACE(asAttachment ? "attached" : "inline");
            macAnswers(
                MailboxRelayResponse::make(404, { { "content-type", "application/json" } }, bytes(error)),
                asAttachment);
            auto destination = temporary / "downloads" / "picture.png";
            writeBytes(destination, "an older picture");
            auto result = client->download(urlRequest("GET", "/v1/files/picture.png"), destination);
            EXPECT_EQ(std::string(result.data.begin(), result.data.end()), error);
            EXPECT_EQ(result.response.status, 404);
            EXPECT_EQ(result.response.headerFields.at("Content-Length"), std::to_string(error.size()));
            EXPECT_EQ(vellumar::test::readFile(destination), "an older picture");
            EXPECT_EQ(
                vellumar::test::namesIn(destination.parent_path()), std::set<std::string> { "picture.png" });
        }
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
