#include "tests/Relay/RelayRouterFixture.h"

#include "VellumarMacCore/Foundations/RelayIDs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <vector>

using namespace vellumar;
using vellumar::test::LatchedFakeRunner;
using vellumar::test::RelayRouterTest;

TEST_F(RelayRouterTest, WaitQueryIsStrictAboutNamesAndNumbers)
{
    auto id = submit("abcd");
    const std::pair<std::string, std::string> cases[] = {
        { "", "200" },
        { "?wait=0.5", "200" },
        { "?wait=%2B25&since=-1", "200" },
        { "?since=%2B7", "200" },
        { "?wait=26", "400 bad_request wait must be 0 to 25 seconds." },
        { "?wait=-1", "400 bad_request wait must be 0 to 25 seconds." },
        { "?wait=inf", "400 bad_request wait must be 0 to 25 seconds." },
        { "?wait=nan", "400 bad_request wait must be 0 to 25 seconds." },
        { "?wait=soon", "400 bad_request wait must be 0 to 25 seconds." },
        { "?wait=1s", "400 bad_request wait must be 0 to 25 seconds." },
        { "?since=x&wait=26", "400 bad_request wait must be 0 to 25 seconds." },
        { "?since=-2", "400 bad_request since must be a whole number." },
        { "?since=1.5", "400 bad_request since must be a whole number." },
        { "?since=", "400 bad_request since must be a whole number." },
        { "?since=%2B-1", "400 bad_request since must be a whole number." },
        { "?since=99999999999999999999", "400 bad_request since must be a whole number." },
        { "?wait=1&wait=2", "400 bad_request Only wait and since may be given." },
        { "?wait=1&conversationId=ios-abcd", "400 bad_request Only wait and since may be given." },
        { "?Wait=1", "400 bad_request Only wait and since may be given." },
    };
    for (const auto& [query, expected] : cases) {
        SCOPED_TRACE(query);
        auto response = get("/v1/jobs/" + id + query);
        EXPECT_EQ(response.status() == 200 ? "200" : outcome(response), expected);
        if (response.status() == 200) {
            EXPECT_EQ(text(bodyOf(response), "jobId"), id);
        }
    }
}

TEST_F(RelayRouterTest, JobPathsCheckTheIdThenTheTailThenTheMethod)
{
    auto id = submit("abcd");
    const std::string unknown = "j-0123456789abcdef";
    struct Case {
        const char* method;
        std::string target;
        std::string body;
        const char* outcome;
    };
    const Case cases[] = {
        { "GET", "/v1/jobs/J-" + id.substr(2), "", "404 not_found The job was not found." },
        { "GET", "/v1/jobs/j-0123456789ABCDEF", "", "404 not_found The job was not found." },
        { "GET", "/v1/jobs/" + id + "0", "", "404 not_found The job was not found." },
        { "GET", "/v1/jobs/" + unknown, "", "404 not_found The job was not found." },
        { "POST", "/v1/jobs/" + unknown + "/cancel", "", "404 not_found The job was not found." },
        { "POST", "/v1/jobs/" + unknown + "/cancel/x", "", "404 not_found The job was not found." },
        { "POST", "/v1/jobs/" + id, "", "405 method_not_allowed This method is not allowed here." },
        { "GET", "/v1/jobs", "", "405 method_not_allowed This method is not allowed here." },
        { "GET", "/v1/jobs/" + id + "/cancel", "",
            "405 method_not_allowed This method is not allowed here." },
        { "POST", "/v1/jobs/" + id + "/cancel/x", "", "404 not_found Not found." },
        { "POST", "/v1/jobs/" + id + "/retry", "", "404 not_found Not found." },
        { "GET", "/v1/jobs/" + id + "/permission", "",
            "405 method_not_allowed This method is not allowed here." },
        { "POST", "/v1/jobs", "", "400 bad_request The body must be a JSON object." },
        { "POST", "/v1/jobs", "{\"conversationId\": ", "400 bad_request The body is not valid JSON." },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(std::string(testCase.method) + " " + testCase.target);
        EXPECT_EQ(
            outcome(call({ .method = testCase.method, .target = testCase.target, .body = testCase.body })),
            testCase.outcome);
    }
}

TEST_F(RelayRouterTest, PermissionAnswerIsStrict)
{
    auto id = submit("abcd");
    auto run = runner->awaitStart(id);
    auto asked = std::async(std::launch::async, [control = run.control] {
        return control->ask(JSON::object({ { "requestId", "p-00112233aabb" }, { "canAlways", false } }), {});
    });
    ASSERT_TRUE(clock->awaitSleepers(1));
    const auto refused = "400 bad_request Send requestId and decision (once, conversation, always or deny).";
    const std::pair<std::string, std::string> cases[] = {
        { "", refused },
        { "[]", refused },
        { R"({"requestId": "p-00112233aabb", "decision": "Once"})", refused },
        { R"({"requestId": "p-00112233aabb", "decision": "once", "scope": "folder"})", refused },
        { R"({"requestId": "p-00112233AABB", "decision": "once"})", refused },
        { R"({"requestId": "p-00112233aabb"})", refused },
        { R"({"requestId": "p-00112233aabc", "decision": "once"})",
            "409 not_pending This question is no longer open (it expired or the work ended)." },
        { R"({"requestId": "p-00112233aabb", "decision": "once"})",
            R"({"decision":"once","requestId":"p-00112233aabb","scope":null})" },
    };
    for (const auto& [body, expected] : cases) {
        SCOPED_TRACE(body);
        auto response = post("/v1/jobs/" + id + "/permission", body);
        EXPECT_EQ(response.status() == 200 ? response.body() : outcome(response), expected);
    }
    ASSERT_EQ(asked.wait_for(LatchedFakeRunner::kPatience), std::future_status::ready);
    EXPECT_EQ(asked.get(), "once");
}

TEST_F(RelayRouterTest, AttachmentThatIsNotOnTheMacCreatesNoJob)
{
    const auto body
        = R"({"conversationId": "ios-abcd", "botId": "main", "message": "", "attachments": ["uploads/a.png"]})";
    const auto refused = "400 bad_request An attachment was not found on the Mac. Send it again.";
    EXPECT_EQ(outcome(post("/v1/jobs", body)), refused);
    auto workFolder = data.workspaces.folder("ios-abcd");
    EXPECT_EQ(outcome(post("/v1/jobs", body)), refused);
    std::filesystem::create_directories(workFolder / "uploads");
    std::ofstream(workFolder / "uploads" / "a.png") << "png";
    EXPECT_FALSE(jobs.hasWork("ios-abcd"));
    EXPECT_EQ(post("/v1/jobs", body).status(), 202);
    EXPECT_TRUE(jobs.hasWork("ios-abcd"));
}

TEST_F(RelayRouterTest, ClearAndCompactWaitForTheConversationsJobs)
{
    submit("other1");
    submit("other2");
    auto waiting = submit("abcd");
    ASSERT_TRUE(jobs.hasWork("ios-abcd"));
    const std::pair<std::string, std::string> actions[]
        = { { "clear", "" }, { "compact", R"({"botId": "main"})" } };
    for (const auto& [action, body] : actions) {
        SCOPED_TRACE(action);
        auto response = post("/v1/conversations/ios-abcd/" + action, body);
        EXPECT_EQ(outcome(response), "429 busy A reply is still being written. Try again when it is done.");
        EXPECT_EQ(response.header("Retry-After"), "5");
    }
    EXPECT_TRUE(runner->clears().empty());
    EXPECT_TRUE(runner->compactions().empty());
    auto canceled = bodyOf(post("/v1/conversations/ios-abcd/cancel"));
    EXPECT_EQ(canceled.encoded(), R"({"canceled":1,"conversationId":"ios-abcd"})");
    EXPECT_EQ(text(bodyOf(get("/v1/jobs/" + waiting)), "status"), "canceled");
}

TEST_F(RelayRouterTest, ClearAndCompactReadTheirBodiesStrictly)
{
    runner->setCompaction([](const CompactionRequest& request) {
        return CompactedConversation { .summary = "We talked about " + request.botID,
            .context = request.bot ? std::optional<JSON>(JSON::object({ { "n", 1 } })) : std::nullopt };
    });
    const auto clearRefused = "400 bad_request Only workspace (true or false) may be given.";
    const auto compactRefused = "400 bad_request Send botId (and optionally bot and permissions).";
    const std::pair<std::string, std::string> cases[][2] = {
        { { "clear", "" },
            { "keep",
                R"({"cleared":true,"conversationId":"ios-abcd","hadSession":true,)"
                R"("workspaceCleared":false})" } },
        { { "clear", "[true]" }, { "keep", "" } },
        { { "clear", R"({"workspace": true})" }, { "clear", "" } },
        { { "clear", R"({"workspace": false})" }, { "keep", "" } },
        { { "clear", R"({"workspace": "yes"})" }, { "", clearRefused } },
        { { "clear", R"({"workspace": null})" }, { "", clearRefused } },
        { { "clear", R"({"folder": true})" }, { "", clearRefused } },
        { { "compact", "" }, { "", compactRefused } },
        { { "compact", R"({"botId": "Main"})" }, { "", compactRefused } },
        { { "compact", R"({"botId": "main", "mode": "queue"})" }, { "", compactRefused } },
        { { "compact", R"({"botId": 7})" }, { "", compactRefused } },
        { { "compact", R"({"botId": "main", "permissions": null})" },
            { "", R"({"conversationId":"ios-abcd","summary":"We talked about main"})" } },
        { { "compact", R"({"botId": "main", "bot": {"name": "Ada", "role": "", "persona": ""}})" },
            { "", R"({"context":{"n":1},"conversationId":"ios-abcd","summary":"We talked about main"})" } },
        { { "compact", R"({"botId": "main", "permissions": 3})" }, { "", "400 bad_request" } },
        { { "compact", R"({"botId": "main", "bot": 3})" }, { "", "400 bad_request" } },
        { { "erase", "" }, { "", "404 not_found Not found." } },
    };
    for (const auto& [request, expected] : cases) {
        SCOPED_TRACE(request.first + " " + request.second);
        auto before = runner->clears().size();
        auto response = post("/v1/conversations/ios-abcd/" + request.first, request.second);
        auto seen = response.status() == 200 ? response.body() : outcome(response);
        if (!expected.second.empty()) {
            EXPECT_EQ(seen.substr(0, expected.second.size()), expected.second);
        }
        if (expected.first.empty())
            continue;
        ASSERT_EQ(runner->clears().size(), before + 1);
        EXPECT_EQ(
            runner->clears().back().second, expected.first == "clear" ? WorkFolder::clear : WorkFolder::keep);
    }
}

TEST_F(RelayRouterTest, ConversationPathsCheckShapeThenMethodThenId)
{
    const std::pair<std::string, std::string> cases[] = {
        { "GET /v1/conversations/ios-abcd/cancel",
            "405 method_not_allowed This method is not allowed here." },
        { "POST /v1/conversations/ios-abcd", "404 not_found Not found." },
        { "POST /v1/conversations/ios-abcd/cancel/x", "404 not_found Not found." },
        { "POST /v1/conversations/abcd/cancel", "400 bad_request conversationId is not valid." },
        { "GET /v1/conversations/abcd/erase", "405 method_not_allowed This method is not allowed here." },
    };
    for (const auto& [request, expected] : cases) {
        SCOPED_TRACE(request);
        auto space = request.find(' ');
        EXPECT_EQ(outcome(call({ .method = request.substr(0, space), .target = request.substr(space + 1) })),
            expected);
    }
}

// Each long poll holds only its own caller's thread: the health request still gets through while 32 wait
// on one job, and the job's end answers every one of them.
TEST_F(RelayRouterTest, ThirtyTwoLongPollsOfOneJobAreAllAnsweredWhenItEnds)
{
    constexpr std::size_t kPolls = 32;
    auto id = submit("abcd");
    runner->awaitStart(id);
    auto version = bodyOf(get("/v1/jobs/" + id)).subscript("version")->intValue().value();
    std::vector<std::future<HTTPResponse>> polls;
    for (std::size_t index = 0; index < kPolls; ++index) {
        polls.push_back(std::async(
            std::launch::async, [&, target = "/v1/jobs/" + id + "?wait=25&since=" + std::to_string(version)] {
                return get(target);
            }));
    }
    ASSERT_TRUE(clock->awaitSleepers(kPolls));
    auto health = std::async(std::launch::async, [&] { return get("/health"); });
    ASSERT_EQ(health.wait_for(LatchedFakeRunner::kPatience), std::future_status::ready);
    EXPECT_EQ(health.get().status(), 200);
    runner->reply(id, "Done.");
    for (auto& poll : polls) {
        ASSERT_EQ(poll.wait_for(LatchedFakeRunner::kPatience), std::future_status::ready);
        auto response = poll.get();
        ASSERT_EQ(response.status(), 200) << response.body();
        EXPECT_GT(bodyOf(response).subscript("version")->intValue().value(), version);
    }
}
