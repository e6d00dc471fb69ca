#include "tests/MovraneMailbox/Server/MailboxServerHarness.h"

#include "VellumarMacCore/Foundations/JSON.h"

#include <fcntl.h>
#include <unistd.h>

namespace movrane::test {
namespace {

    using Operation = InMemoryMailboxStore::Operation;

    class MailboxServerRequests : public MailboxServerTest {
    protected:
        // Fetches once and waits until `count` answers have been stored.
        std::map<std::string, MailboxRelayResponse> answered(Phone& phone, std::size_t count)
        {
            fetch();
            EXPECT_TRUE(waitForEnvelopes(count));
            return phone.responses(clock->now());
        }

        static std::string errorCodeOf(const MailboxRelayResponse& response)
        {
            auto json = vellumar::JSON::decode(std::string(response.body.begin(), response.body.end()));
            const auto* code = json ? json->subscript("error") : nullptr;
            return code && code->stringValue() ? *code->stringValue() : "";
        }

        static std::string bodyOf(const MailboxRelayResponse& response)
        {
            return std::string(response.body.begin(), response.body.end());
        }

        std::set<std::string> temporaryFiles()
        {
            return vellumar::test::namesIn(configuration.temporaryDirectory);
        }
    };

    TEST_F(MailboxServerRequests, PairingAndRegistrationAreRefusedAsLANOnly)
    {
        auto& phone = addPhone();
        struct Case {
            const char* path;
            int status;
        } cases[] = { { "/v1/pair", 403 }, { "/v1/pair/", 403 }, { "/v1/mailbox/register", 403 },
            { "/v1/mailbox/register/", 403 }, { "/", 200 }, { "/v1/pair/forget", 200 },
            { "/v1/pairing", 200 }, { "/v1/pair//", 200 } };
        std::vector<std::string> ids;
        for (const auto& row : cases)
            ids.push_back(phone.request(row.path, at(0)).message.id);
        auto answers = answered(phone, std::size(cases));
        for (std::size_t index = 0; index < std::size(cases); ++index) {
            SCOPED_TRACE(cases[index].path);
            const auto& answer = answers.at(ids[index]);
            EXPECT_EQ(answer.status, cases[index].status);
            if (answer.status == 403) {
                EXPECT_EQ(bodyOf(answer),
                    R"({"error":"lan_only","message":"This works only on the same Wi-Fi as the Mac."})");
                EXPECT_EQ(answer.headers,
                    (MailboxHeaderMap { { "content-type", "application/json; charset=utf-8" } }));
            }
        }
        EXPECT_EQ(relay.calls().size(), 4u);
    }

    TEST_F(MailboxServerRequests, TheNinthRequestAtOnceIsAskedToComeBack)
    {
        auto& phone = addPhone();
        relay.hold();
        std::vector<std::string> ids;
        for (int index = 0; index < 9; ++index)
            ids.push_back(phone.request("/v1/jobs", at(0)).message.id);
        fetch();
        ASSERT_TRUE(relay.waitForCalls(8));
        ASSERT_TRUE(waitForEnvelopes(1));
        auto early = phone.responses(clock->now());
        ASSERT_EQ(early.size(), 1u);
        const auto& refusal = early.at(ids.back());
        EXPECT_EQ(refusal.status, 429);
        EXPECT_EQ(errorCodeOf(refusal), "mailbox_busy");
        EXPECT_EQ(refusal.headers.at("retry-after"), "5");
        EXPECT_EQ(server().inFlight(), 8);
        relay.release();
        ASSERT_TRUE(waitForEnvelopes(9));
        // Once a slot is free, the next request is admitted.
        auto later = phone.request("/v1/jobs", at(0)).message.id;
        fetch();
        ASSERT_TRUE(waitForEnvelopes(10));
        EXPECT_EQ(phone.responses(clock->now()).at(later).status, 200);
        EXPECT_EQ(relay.calls().size(), 9u);
    }

    TEST_F(MailboxServerRequests, AHandlerThatThrowsFreesItsSlotAndIsAnsweredAsAnInternalError)
    {
        auto& phone = addPhone();
        relay.respond = [](const MailboxInboundRequest&) -> MailboxRelayResponse {
            throw std::runtime_error("router fault");
        };
        configuration.maxConcurrentRequests = 1;
        auto first = phone.request("/v1/jobs", at(0)).message.id;
        auto answers = answered(phone, 1);
        EXPECT_EQ(answers.at(first).status, 500);
        EXPECT_EQ(bodyOf(answers.at(first)),
            R"({"error":"internal","message":"Something went wrong on the Mac."})");
        EXPECT_EQ(server().inFlight(), 0);
        relay.respond = [](const MailboxInboundRequest&) { return MailboxRelayResponse::make(204, {}, {}); };
        auto second = phone.request("/v1/jobs", at(0)).message.id;
        EXPECT_EQ(answered(phone, 2).at(second).status, 204);
    }

    TEST_F(MailboxServerRequests, AnUploadArrivesAsAPrivateFileThatIsRemovedAfterwards)
    {
        auto& phone = addPhone();
        clock->setSeconds(5.0004);
        auto upload = phone.request("/v1/files", clock->now(), bytes("the uploaded file"));
        clock->setSeconds(50);
        answered(phone, 1);
        destroyServer();
        auto calls = relay.calls();
        ASSERT_EQ(calls.size(), 1u);
        const auto& seen = calls.front();
        ASSERT_TRUE(seen.request.bodyFile.has_value());
        EXPECT_EQ(seen.request.bodyFile->parent_path(), configuration.temporaryDirectory);
        EXPECT_TRUE(seen.request.bodyFile->filename().string().starts_with("mailbox-in-"));
        EXPECT_EQ(seen.bodyFileContent, "the uploaded file");
        EXPECT_EQ(
            seen.bodyFileMode, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        EXPECT_EQ(seen.request.receivedAt, at(5));
        EXPECT_EQ(seen.request.request, std::get<MailboxRelayRequest>(upload.message.content));
        EXPECT_EQ(seen.request.pairing, phone.pairing);
        EXPECT_EQ(temporaryFiles(), std::set<std::string> {});
        for (const auto& asset : store->assetFiles())
            EXPECT_FALSE(std::filesystem::exists(asset)) << asset;
        EXPECT_EQ(memoryStore->envelopes(phone.zone()).size(), 1u) << "only the answer stays";
    }

    TEST_F(MailboxServerRequests, AnUploadThatDoesNotArriveIsAnsweredWithoutTheHandler)
    {
        struct Case {
            const char* name;
            std::function<void(Phone&, const MailboxEnvelopeRecord&)> spoil;
            const char* logLine;
        } cases[] = {
            { "asset not fetched",
                [&](Phone&, const MailboxEnvelopeRecord&) {
                    memoryStore->fail(
                        Operation::fetchAsset, MailboxError(MailboxError::Kind::quotaExceeded), 1);
                },
                "mailbox attachment unreadable: quotaExceeded" },
            { "asset damaged",
                [&](Phone& phone, const MailboxEnvelopeRecord& record) {
                    memoryStore->inject(asFetched(record), bytes("not the encrypted file"), phone.zone());
                },
                "mailbox attachment unreadable: damaged" },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            auto& phone = addPhone();
            auto upload = phone.request("/v1/files", at(0), bytes("lost on the way"));
            row.spoil(phone, upload.record);
            auto answers = answered(phone, phones.size());
            EXPECT_EQ(answers.at(upload.message.id).status, 400);
            EXPECT_EQ(errorCodeOf(answers.at(upload.message.id)), "attachment_unreadable");
            EXPECT_EQ(log.count(row.logLine), 1);
            EXPECT_EQ(memoryStore->envelopes(phone.zone()).size(), 1u) << "only the answer stays";
            EXPECT_EQ(server().inFlight(), 0);
        }
        EXPECT_EQ(relay.calls().size(), 0u);
    }

    TEST_F(MailboxServerRequests, ARefusedUploadIsDeletedWithoutFetchingItsFile)
    {
        auto& phone = addPhone();
        auto upload = phone.request("/v1/pair", at(0), bytes("never read"));
        auto answers = answered(phone, 1);
        EXPECT_EQ(answers.at(upload.message.id).status, 403);
        EXPECT_EQ(store->count("fetchAsset " + phone.zone()), 0);
        EXPECT_EQ(memoryStore->envelopes(phone.zone()).size(), 1u) << "only the answer stays";
    }

    TEST_F(MailboxServerRequests, AFileAnswerTravelsAsAnAttachmentUpToTheLimit)
    {
        auto& phone = addPhone();
        auto small = temporary.path() / "small.txt";
        vellumar::test::writeBytes(small, "file answer");
        // A sparse file one byte over the attachment limit.
        auto huge = temporary.path() / "huge.bin";
        int descriptor = ::open(huge.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(descriptor, 0);
        ASSERT_EQ(::ftruncate(descriptor, static_cast<off_t>(MailboxProtocol::maxAttachmentBytes) + 1), 0);
        ::close(descriptor);
        relay.respond = [&](const MailboxInboundRequest& request) {
            return MailboxRelayResponse::make(200, { { "content-type", "text/plain" } }, {},
                request.request.path == "/small" ? small : huge);
        };
        auto smallID = phone.request("/small", at(0)).message.id;
        auto hugeID = phone.request("/huge", at(0)).message.id;
        auto answers = answered(phone, 2);
        EXPECT_EQ(answers.at(hugeID).status, 413);
        EXPECT_EQ(bodyOf(answers.at(hugeID)),
            R"({"error":"too_large_for_mailbox","message":"This file is too large to send through iCloud. Use the same Wi-Fi as the Mac."})");
        EXPECT_EQ(answers.at(smallID).status, 200);
        for (const auto& record : memoryStore->envelopes(phone.zone())) {
            MailboxChannelState scratch;
            auto message = phone.channel.open(record, clock->now(), scratch, false);
            bool isSmall = std::get<MailboxResponseContent>(message.content).replyTo == smallID;
            EXPECT_EQ(record.hasAsset, isSmall);
            if (!isSmall)
                continue;
            auto asset = memoryStore->fetchAsset(record.name, phone.zone());
            EXPECT_EQ(MailboxAttachmentCipher::decryptData(asset, *message.attachment, 1 << 20),
                bytes("file answer"));
            std::filesystem::remove(asset);
        }
        EXPECT_TRUE(std::filesystem::exists(small)) << "the router's file stays the router's";
        EXPECT_EQ(server().zoneErrors(), (std::map<std::string, MailboxError> {}));
    }

    TEST_F(MailboxServerRequests, AnAnswerThatCannotBeStoredBecomesTheZonesError)
    {
        auto& phone = addPhone();
        phone.request("/v1/jobs", at(0));
        memoryStore->fail(Operation::saveEnvelope, MailboxError(MailboxError::Kind::quotaExceeded), 1);
        fetch();
        ASSERT_TRUE(relay.waitForCalls(1));
        // The reply under way is waited for.
        destroyServer();
        EXPECT_EQ(log.lines(), std::vector<std::string> { "mailbox zone error: quotaExceeded" });
        EXPECT_EQ(relay.calls().size(), 1u);
    }

}
}
