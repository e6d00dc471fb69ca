// A phone's whole road over the local network, played by curl against the relay host, with the real
// Claude Code CLI answering from the scripted model endpoint and the real executable as its approval tool.
#include "tests/RelayHost/RelayHostFixture.h"
#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/support/CurlAnswer.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

std::string textOf(const JSON& object, std::string_view key)
{
    const auto* member = object.subscript(key);
    return member && member->stringValue() ? *member->stringValue() : member ? member->encoded() : "absent";
}

}

TEST(RelayHostEndToEnd, APhonePairsChatsApprovesAWriteDownloadsTheFileAndUnpairs)
{
    test::RunnerWorld runnerWorld;
    fs::path project = runnerWorld.home / "project";
    // A protected place inside a writable folder: a write there is asked of the phone.
    fs::create_directories(project / ".git");
    auto data = std::make_shared<RelayData>(
        RelayData::Options { .folder = runnerWorld.dataFolder, .home = runnerWorld.home });
    fs::path report = fs::weakly_canonical(data->workspaces.folderURL("ios-e2e")) / "report.txt";
    runnerWorld.openGates();
    runnerWorld.playReal(JSON::array({ test::writeStep(project / ".git/notes", "approved write"),
        test::writeStep(report, "the report"), test::textStep("Both files are written.") }));
    auto runner = std::make_shared<ClaudeReplyRunner>(*data, runnerWorld.options);
    test::HostWorld world({}, runner, data);
    world.host->start(world.names);

    // Pairing, with the code of the offer the Mac shows.
    auto offer = world.host->makePairingOffer("127.0.0.1");
    ASSERT_TRUE(offer);
    auto paired = test::curlAnswerOf(world.curl("/v1/pair",
        { "--data", R"({"code": ")" + offer->payload.code + R"(", "deviceName": "Test phone"})" }));
    ASSERT_EQ(paired.status, 200) << paired.text;
    const auto bearer = "Authorization: Bearer " + textOf(paired.body, "token");
    auto call = [&](const std::string& target, std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), { "-H", bearer });
        return test::curlAnswerOf(world.curl(target, std::move(extra)));
    };

    auto submitted = call("/v1/jobs",
        { "--data",
            R"({"conversationId": "ios-e2e", "botId": "main", "message": "Write the files.",)"
            R"( "permissions": {"folders": [{"path": ")"
                + project.string() + R"(", "access": "write"}]}})" });
    ASSERT_EQ(submitted.status, 202) << submitted.text;
    const auto jobID = textOf(submitted.body, "jobId");

    // Long polls until the end, answering the one question the write into Git's folder asks.
    auto status = submitted.body;
    int questions = 0;
    for (int poll = 0; poll < 60 && textOf(status, "status") != "done"; ++poll) {
        SCOPED_TRACE(status.encoded());
        ASSERT_TRUE(textOf(status, "status") == "queued" || textOf(status, "status") == "running");
        const auto* requests = status.subscript("permissionRequests");
        if (requests && requests->arrayValue() && !requests->arrayValue()->empty()) {
            auto requestID = textOf(requests->arrayValue()->front(), "requestId");
            auto answered = call("/v1/jobs/" + jobID + "/permission",
                { "--data", R"({"requestId": ")" + requestID + R"(", "decision": "once"})" });
            ASSERT_EQ(answered.status, 200) << answered.text;
            ++questions;
        }
        auto polled = call("/v1/jobs/" + jobID + "?wait=25&since=" + textOf(status, "version"));
        ASSERT_EQ(polled.status, 200) << polled.text;
        status = polled.body;
    }
    ASSERT_EQ(textOf(status, "status"), "done") << runnerWorld.model->requestLog();
    EXPECT_EQ(textOf(*status.subscript("result"), "reply"), "Both files are written.");
    EXPECT_EQ(questions, 1);
    EXPECT_EQ(test::readFile(project / ".git/notes"), "approved write");

    auto download = call("/v1/files/ios-e2e/report.txt");
    EXPECT_EQ(download.status, 200) << download.text;
    EXPECT_EQ(download.text, "the report");

    auto forgotten = call("/v1/pair/forget", { "--data", "" });
    EXPECT_EQ(forgotten.text, R"({"forgotten":true})");
    auto afterwards = call("/health");
    EXPECT_EQ(afterwards.status, 401);
    EXPECT_TRUE(world.host->devices().all().empty());
}
