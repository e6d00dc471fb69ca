#include "MovraneMailbox/Protocol/MailboxCipher.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

namespace movrane {
namespace {

    using namespace std::chrono;
    const std::string kID = "abcdefghijklmnopqrstuv";
    const MailboxCipher::Header kHeader { 1, 1, "mac", MailboxPartyTag::device("d"), 9, MailboxInstant(milliseconds(5)) };

    std::optional<MailboxMessage> decoded(const std::string& json, std::string body = {})
    {
        try {
            return MailboxCipher::decodeMetadata(json, MailboxBytes(body.begin(), body.end()), kHeader);
        } catch (const MailboxCryptoError& error) {
            EXPECT_EQ(error.kind(), MailboxCryptoError::Kind::invalidContent);
            return std::nullopt;
        }
    }

    // A metadata object of `kind` with `payload` as its payload member and `extra` members after it.
    std::string metadata(const std::string& kind, const std::string& payload, const std::string& extra = {})
    {
        return R"({"v":1,"id":")" + kID + R"(","kind":")" + kind + R"(","exp":1000,")" + kind + "\":" + payload + extra + "}";
    }

    TEST(MailboxWire, AllSixKindsRoundTrip)
    {
        auto at = MailboxInstant(milliseconds(5));
        const MailboxContent contents[] = {
            MailboxRelayRequest::make("GET", "/v1/jobs", "since=1", { { "accept", "*/*" } }, { 'b' }),
            MailboxResponseContent { kID, MailboxRelayResponse::make(201, { { "retry-after", "3" } }, { 'r' }) },
            MailboxWatch { "j-1", std::nullopt, true },
            MailboxJobStateContent { MailboxJobState { "j-1", 4, true }, {} },
            MailboxEvent { "routineResult", { '{', '}' } },
            MailboxPresence { 1, 2, std::nullopt, "Mac \xC3\xA9" },
        };
        for (const auto& content : contents) {
            SCOPED_TRACE(content.index());
            auto message = MailboxMessage::make(kID, kHeader.from, kHeader.to, kHeader.seq, at, at + seconds(1), content);
            const MailboxContent& withBody = content;
            auto json = MailboxCipher::encodeMetadata(message);
            MailboxBytes body;
            std::visit(
                [&](const auto& value) {
                    using Case = std::decay_t<decltype(value)>;
                    if constexpr (std::is_same_v<Case, MailboxResponseContent>)
                        body = value.response.body;
                    else if constexpr (!std::is_same_v<Case, MailboxWatch> && !std::is_same_v<Case, MailboxPresence>)
                        body = value.body;
                },
                withBody);
            EXPECT_EQ(MailboxCipher::decodeMetadata(json, body, kHeader), message) << json;
        }
    }

    TEST(MailboxWire, DecodingRefusesWhatTheRulesRefuse)
    {
        const std::string request = R"({"method":"get","path":"/v1/jobs","headers":{}})";
        const std::string watch = R"({"jobId":"j","background":false})";
        struct Case {
            const char* name;
            std::string json;
            std::string body;
            bool accepted;
        };
        const Case cases[] = {
            { "request with a well-formed watch beside it", metadata("request", request, R"(,"watch":)" + watch), "", true },
            { "request with a watch lacking background", metadata("request", request, R"(,"watch":{"jobId":"j"})"), "", false },
            { "method PATCH", metadata("request", R"({"method":"PATCH","path":"/","headers":{}})"), "", false },
            { "headers as an array", metadata("request", R"({"method":"GET","path":"/","headers":[]})"), "", false },
            { "status 99", metadata("response", R"({"replyTo":")" + kID + R"(","status":99,"headers":{}})"), "", false },
            { "status 100", metadata("response", R"({"replyTo":")" + kID + R"(","status":100,"headers":{}})"), "", true },
            { "status 599", metadata("response", R"({"replyTo":")" + kID + R"(","status":599,"headers":{}})"), "", true },
            { "status 600", metadata("response", R"({"replyTo":")" + kID + R"(","status":600,"headers":{}})"), "", false },
            { "status as a string", metadata("response", R"({"replyTo":")" + kID + R"(","status":"200","headers":{}})"), "", false },
            { "reply id of 21 characters", metadata("response", R"({"replyTo":")" + kID.substr(1) + R"(","status":200,"headers":{}})"), "", false },
            { "event name of 64 characters", metadata("event", R"({"name":")" + std::string(64, 'e') + "\"}"), "x", true },
            { "event name of 64 accented characters", metadata("event", R"({"name":")" + vellumar::test::repeated("e\xCC\x81", 64) + "\"}"), "", true },
            { "event name of 65 characters", metadata("event", R"({"name":")" + std::string(65, 'e') + "\"}"), "", false },
            { "empty event name", metadata("event", R"({"name":""})"), "", false },
            { "watch followed by a body byte", metadata("watch", watch), "x", false },
            { "presence followed by a body byte", metadata("presence", R"({"mailboxVersion":1,"apiVersion":1})"), "x", false },
            { "attachment and a body byte", metadata("jobState", R"({"jobId":"j","version":1,"finished":false})", R"(,"attachment":{"key":"k","size":1})"), "x", false },
            { "job state with no body", metadata("jobState", R"({"jobId":"j","version":1,"finished":false})"), "", true },
            { "since null", metadata("watch", R"({"jobId":"j","since":null,"background":true})"), "", true },
            { "version 2", R"({"v":2,"id":")" + kID + R"(","kind":"watch","exp":1,"watch":)" + watch + "}", "", false },
            { "id with a slash", R"({"v":1,"id":")" + kID.substr(1) + R"(/","kind":"watch","exp":1,"watch":)" + watch + "}", "", false },
            { "id of 23 characters", R"({"v":1,"id":")" + kID + R"(a","kind":"watch","exp":1,"watch":)" + watch + "}", "", false },
            { "unknown kind", R"({"v":1,"id":")" + kID + R"(","kind":"Watch","exp":1,"Watch":)" + watch + "}", "", false },
            { "kind without its payload", R"({"v":1,"id":")" + kID + R"(","kind":"watch","exp":1})", "", false },
            { "not JSON", "{", "", false },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(decoded(c.json, c.body).has_value(), c.accepted) << c.json;
        }
    }

    TEST(MailboxWire, RequestsAreNormalisedAsTheyAreDecoded)
    {
        auto message = decoded(metadata("request",
            R"({"method":"get","path":"/v1/x","query":"","headers":{"Content-Type":"a","X-Other":"b","Accept":"c\r\n"}})"));
        ASSERT_TRUE(message);
        const auto& request = std::get<MailboxRelayRequest>(message->content);
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.query, std::nullopt);
        EXPECT_EQ(request.headers, (MailboxHeaderMap { { "content-type", "a" } }));
        EXPECT_EQ(MailboxCipher::encodeMetadata(*message).find("query"), std::string::npos);
        EXPECT_EQ(decoded(metadata("watch", R"({"jobId":"j","background":true})"))->expiresAt,
            MailboxInstant(milliseconds(1000)));
        auto negative = R"({"v":1,"id":")" + kID + R"(","kind":"watch","exp":-1,"watch":{"jobId":"j","background":true}})";
        EXPECT_EQ(decoded(negative)->expiresAt, MailboxInstant(milliseconds(-1)));
    }

}
}
