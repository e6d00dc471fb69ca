#include "MovraneMailbox/Protocol/MailboxJobSnapshot.h"
#include "MovraneMailbox/Protocol/MailboxMessage.h"
#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

namespace movrane {
namespace {

    using vellumar::test::thrown;

    std::optional<MailboxRelayRequest> fromURL(std::string url, std::optional<std::string> method = std::nullopt,
        std::vector<std::pair<std::string, std::string>> headers = {})
    {
        try {
            return MailboxRelayRequest::fromURLRequest({ std::move(url), std::move(method), std::move(headers), {} });
        } catch (const MailboxRequestError&) {
            return std::nullopt;
        }
    }

    TEST(MailboxRelayRequest, URLRequestsKeepOnlyConformingTargetsAndMethods)
    {
        const std::string path2048 = "/" + std::string(2047, 'p');
        const std::string query4096(4096, 'q');
        struct Case {
            const char* name;
            std::string url;
            std::optional<std::string> method;
            bool accepted;
        };
        const Case cases[] = {
            { "lower-case post", "https://mac.local:48788/v1/jobs", "post", true },
            { "PATCH", "https://mac.local/v1/jobs", "PATCH", false },
            { "HEAD", "https://mac.local/v1/jobs", "HEAD", false },
            { "path of 2,048 bytes", "https://m" + path2048, std::nullopt, true },
            { "path of 2,049 bytes", "https://m" + path2048 + "p", std::nullopt, false },
            { "query of 4,096 bytes", "https://m/v1?" + query4096, std::nullopt, true },
            { "query of 4,097 bytes", "https://m/v1?" + query4096 + "q", std::nullopt, false },
            { "raw space", "https://m/v1/a b", std::nullopt, false },
            { "raw tab", "https://m/v1/a\tb", std::nullopt, false },
            { "raw non-ASCII letter", "https://m/v1/caf\xC3\xA9", std::nullopt, false },
            { "the same, percent-encoded", "https://m/v1/caf%C3%A9%20x", std::nullopt, true },
            { "no URL", "", std::nullopt, false },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(fromURL(c.url, c.method).has_value(), c.accepted);
        }
        EXPECT_EQ(fromURL("https://m/v1/jobs", "post")->method, "POST");
        EXPECT_EQ(fromURL("https://m")->path, "/");
        EXPECT_EQ(fromURL("https://m/v1/jobs?")->query, std::nullopt);
        EXPECT_EQ(fromURL("https://m/v1/jobs?since=2#top")->target(), "/v1/jobs?since=2");
    }

    TEST(MailboxHeaders, OnlyAllowedShortSingleLineHeadersPass)
    {
        auto request = fromURL("https://m/v1/files", "PUT",
            { { "Accept", "application/json" }, { "Authorization", "Bearer secret" }, { "X-File-Name", "a.txt" },
                { "Content-Type", "text/plain\r\n" }, { "Cookie", "c=1" } });
        ASSERT_TRUE(request);
        EXPECT_EQ(request->headers, (MailboxHeaderMap { { "accept", "application/json" }, { "x-file-name", "a.txt" } }));

        const std::string value1024(1024, 'v');
        auto response = MailboxRelayResponse::make(200,
            { { "Content-Disposition", value1024 }, { "Set-Cookie", "s=1" }, { "Content-Type", value1024 + "v" },
                { "Retry-After", "1\n2" } },
            {});
        EXPECT_EQ(response.headers, (MailboxHeaderMap { { "content-disposition", value1024 } }));
    }

    TEST(MailboxRelayResponse, ErrorRepliesAreCompactSortedJSONWithTheirHeaders)
    {
        auto reply = MailboxRelayResponse::error(429, "mailbox_busy", "The Mac is busy.", 5);
        EXPECT_EQ(reply.status, 429);
        EXPECT_EQ(std::string(reply.body.begin(), reply.body.end()),
            R"({"error":"mailbox_busy","message":"The Mac is busy."})");
        EXPECT_EQ(reply.headers,
            (MailboxHeaderMap { { "content-type", "application/json; charset=utf-8" }, { "retry-after", "5" } }));
        EXPECT_FALSE(MailboxRelayResponse::error(503, "unavailable", "m", std::nullopt).headers.contains("retry-after"));

        auto http = reply.httpURLResponse("https://m/v1/jobs", 52);
        EXPECT_EQ(http.headerFields,
            (MailboxHeaderMap { { "Content-Type", "application/json; charset=utf-8" }, { "Retry-After", "5" },
                { "Content-Length", "52" } }));
        EXPECT_EQ(MailboxHeaders::canonicalName("x-content-type-options"), "X-Content-Type-Options");
        EXPECT_EQ(MailboxHeaders::canonicalName("-a--b-"), "A-B");
    }

    TEST(MailboxContent, ReplacingTheBodyKeepsEverythingElse)
    {
        auto response = MailboxRelayResponse::make(200, {}, { 1 }, std::filesystem::path("/spool/x"));
        auto replaced = std::get<MailboxResponseContent>(replacingBody(MailboxResponseContent { "id", response }, {}));
        EXPECT_EQ(replaced.replyTo, "id");
        EXPECT_EQ(replaced.response.bodyFile, response.bodyFile);
        EXPECT_TRUE(replaced.response.body.empty());
        MailboxContent watch = MailboxWatch { "j-1", 4, true };
        EXPECT_EQ(replacingBody(watch, { 9 }), watch);
        MailboxContent presence = MailboxPresence { 1, 2, "1.0", "Mac" };
        EXPECT_EQ(replacingBody(presence, { 9 }), presence);
        EXPECT_EQ(std::get<MailboxEvent>(replacingBody(MailboxEvent { "e", { 1 } }, { 2, 3 })).body, (MailboxBytes { 2, 3 }));
    }

    TEST(MailboxMessage, InstantsAreCutToWholeMilliseconds)
    {
        using namespace std::chrono;
        sys_time<microseconds> created { microseconds(1'700'000'000'123'999) };
        auto message = MailboxMessage::make("id", "mac", "dev-x", 1, created, created + seconds(900), MailboxWatch { "j" });
        EXPECT_EQ(message.createdAt.time_since_epoch().count(), 1'700'000'000'123);
        EXPECT_EQ(message.expiresAt.time_since_epoch().count(), 1'700'000'900'123);
        sys_time<microseconds> beforeEpoch { microseconds(-1'500) };
        EXPECT_EQ(MailboxMessage::make("id", "mac", "d", 1, beforeEpoch, beforeEpoch, MailboxWatch {})
                      .createdAt.time_since_epoch()
                      .count(),
            -2);
    }

    TEST(MailboxJobSnapshot, ReadsOnlyWellFormedJobStatusObjects)
    {
        struct Case {
            const char* json;
            std::optional<MailboxJobSnapshot> expected;
        };
        const Case cases[] = {
            { R"({"jobId":"j-1","version":3,"status":"running","finishedAt":null})", MailboxJobSnapshot { "j-1", 3, "running", false, {} } },
            { R"({"jobId":"j-1","version":3,"status":"done"})", MailboxJobSnapshot { "j-1", 3, "done", true, {} } },
            { R"({"jobId":"j-1","version":3,"status":"running","finishedAt":1700000000})", MailboxJobSnapshot { "j-1", 3, "running", true, {} } },
            { R"({"jobId":"j-1","version":3.9,"finishedAt":"soon"})", MailboxJobSnapshot { "j-1", 3, "", false, {} } },
            { R"({"jobId":"j-1","version":true})", MailboxJobSnapshot { "j-1", 1, "", false, {} } },
            { R"({"jobId":"j-1","version":2,"permissionRequests":[{"requestId":"p-1"},{"requestId":"p-1"},{}]})",
                MailboxJobSnapshot { "j-1", 2, "", false, { "p-1" } } },
            { R"({"jobId":"j-1","version":2,"permissionRequests":[{"requestId":"p-1"},"p-2"]})", MailboxJobSnapshot { "j-1", 2, "", false, {} } },
            { R"({"jobId":"j-1","version":"3"})", std::nullopt },
            { R"({"jobId":7,"version":3})", std::nullopt },
            { R"([{"jobId":"j-1","version":3}])", std::nullopt },
            { R"("j-1")", std::nullopt },
            { R"({})", std::nullopt },
            { R"({"jobId":"j-1","version":1e300})", std::nullopt },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.json);
            EXPECT_EQ(MailboxJobSnapshot::fromJSON(c.json), c.expected);
        }
    }

    TEST(MailboxJobSnapshot, StatusRequestsAndWatchesRoundTrip)
    {
        auto request = MailboxJobSnapshot::requestPath("j-1", 4, 20);
        EXPECT_EQ(request.target(), "/v1/jobs/j-1?wait=20&since=4");
        EXPECT_EQ(request.headers, (MailboxHeaderMap { { "accept", "application/json" } }));
        EXPECT_EQ(MailboxJobSnapshot::requestPath("j-1", 4, std::nullopt).query, "wait=0&since=4");
        EXPECT_EQ(MailboxJobSnapshot::requestPath("j-1", std::nullopt, 20).query, std::nullopt);
        auto odd = MailboxJobSnapshot::requestPath("a/b?c#d;e", -2, 1);
        EXPECT_EQ(odd.path, "/v1/jobs/a%2Fb%3Fc%23d%3Be");
        EXPECT_EQ(odd.jobWatch(), (MailboxRelayRequest::JobWatch { "a/b?c#d;e", -2, 1 }));

        auto watch = [](std::string method, std::string path, std::optional<std::string> query) {
            return MailboxRelayRequest::make(std::move(method), std::move(path), std::move(query), {}, {}).jobWatch();
        };
        using Watch = MailboxRelayRequest::JobWatch;
        struct Case {
            const char* name;
            std::optional<Watch> result;
            std::optional<Watch> expected;
        };
        const Case cases[] = {
            { "wait clamped to 25", watch("GET", "/v1/jobs/j-1", "since=4&wait=60"), Watch { "j-1", 4, 25 } },
            { "negative wait", watch("GET", "/v1/jobs/j-1", "since=4&wait=-3"), Watch { "j-1", 4, 0 } },
            { "since twice", watch("GET", "/v1/jobs/j-1", "since=4&since=5&&x"), Watch { "j-1", 5, 0 } },
            { "signed since", watch("GET", "/v1/jobs/j-1", "since=+7&wait=x"), Watch { "j-1", 7, 0 } },
            { "no since", watch("GET", "/v1/jobs/j-1", "wait=5"), std::nullopt },
            { "since not a number", watch("GET", "/v1/jobs/j-1", "since=4a"), std::nullopt },
            { "since past 64 bits", watch("GET", "/v1/jobs/j-1", "since=9223372036854775808"), std::nullopt },
            { "empty since", watch("GET", "/v1/jobs/j-1", "since=&wait=2"), std::nullopt },
            { "POST", watch("POST", "/v1/jobs/j-1", "since=4"), std::nullopt },
            { "no query", watch("GET", "/v1/jobs/j-1", std::nullopt), std::nullopt },
            { "trailing slash", watch("GET", "/v1/jobs/j-1/", "since=4"), std::nullopt },
            { "no id", watch("GET", "/v1/jobs/", "since=4"), std::nullopt },
            { "bad escape", watch("GET", "/v1/jobs/j%zz", "since=4"), std::nullopt },
            { "other path", watch("GET", "/v1/job/j-1", "since=4"), std::nullopt },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(c.result, c.expected);
        }
        EXPECT_TRUE(thrown<MailboxRequestError>([] { MailboxRelayRequest::fromURLRequest({ "", "GET", {}, {} }); }));
    }

}
}
