// A data folder, a home folder and a reply runner over them, for the tests that run the reply runner
// with a fake `claude` and with the real one.
#pragma once

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "VellumarMacCore/Reply/JobControl.h"
#include "VellumarMacCore/Reply/JobSubmission.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::test {

struct RunnerWorld {
    TemporaryFolder folder;
    std::filesystem::path home = folder / "home";
    std::filesystem::path dataFolder = folder / "data";
    std::filesystem::path claude = folder / "claude"; // what the runner starts as Claude Code
    std::unique_ptr<RelayData> data;
    ClaudeReplyRunner::Options options;
    std::unique_ptr<ClaudeReplyRunner> runner;

    // The events a job's control received, readable from the test thread.
    struct Events {
        std::mutex lock;
        std::vector<RunnerEvent> received;
        bool contains(const RunnerEvent& event)
        {
            std::lock_guard guard(lock);
            return std::find(received.begin(), received.end(), event) != received.end();
        }
    };
    std::shared_ptr<Events> events = std::make_shared<Events>();

    RunnerWorld()
    {
        options.locate = [this] { return std::optional(claude); };
        options.path = [] { return std::string("/usr/local/bin:/usr/bin:/bin"); };
        options.baseEnvironment = { { "HOME", home.string() } };
    }

    // Anything the data should find on its first read (a session record, say) is written before.
    RelayData& makeData()
    {
        if (!data) {
            std::filesystem::create_directories(home);
            std::filesystem::create_directories(dataFolder);
            data = std::make_unique<RelayData>(RelayData::Options { .folder = dataFolder, .home = home });
        }
        return *data;
    }

    ClaudeReplyRunner& start()
    {
        runner = std::make_unique<ClaudeReplyRunner>(makeData(), options);
        return *runner;
    }

    std::filesystem::path workFolder(const std::string& conversationID) const
    {
        return data->workspaces.folderURL(conversationID);
    }

    std::shared_ptr<JobControl> control(std::optional<std::string> stoppedNote = std::nullopt)
    {
        return std::make_shared<JobControl>(
            "j-1", std::move(stoppedNote), [log = events](const RunnerEvent& event) {
                std::lock_guard guard(log->lock);
                log->received.push_back(event);
            });
    }

    ReplyOutput run(
        const JobSubmission& job, std::stop_token stop = {}, std::optional<std::string> stoppedNote = {})
    {
        return runner->run(job, control(std::move(stoppedNote)), std::move(stop));
    }

    static JobSubmission submission(
        const std::string& message = "Hello", const std::string& conversationID = "ios-1")
    {
        JobSubmission submission;
        submission.conversationID = conversationID;
        submission.botID = "bot-1";
        submission.message = message;
        submission.timeLimit = 600;
        return submission;
    }

    // The permission sub-mode of the real executable, deciding with `decide`.
    void openGates(ClaudeReplyRunner::DecidePermission decide)
    {
        options.permissionHelper
            = PermissionHelper { VELLUMAR_EXECUTABLE, { std::string(PermissionMCPServer::flag) } };
        options.decidePermission = std::move(decide);
    }
};

// What `body` throws as RelayHTTPError, "stopped" for a cancellation; a test failure when it throws
// neither.
template <typename Body> RelayHTTPError relayErrorOf(Body&& body)
{
    try {
        body();
    } catch (const RelayHTTPError& error) {
        return error;
    } catch (const CancellationError&) {
        return { 0, "stopped", "" };
    }
    ADD_FAILURE() << "no RelayHTTPError was thrown";
    return { 0, "", "" };
}

inline std::optional<std::string> argumentAfter(const std::vector<std::string>& argv, std::string_view option)
{
    auto found = std::find(argv.begin(), argv.end(), option);
    if (found == argv.end() || std::next(found) == argv.end())
        return std::nullopt;
    return *std::next(found);
}

}
