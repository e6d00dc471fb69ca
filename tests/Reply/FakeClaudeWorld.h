// A reply runner whose `claude` is tests/Reply/peers/fake_claude.py, a python3 stand-in that records
// how each start was made and plays the step a test scripted for it: the failures and the timing
// Claude Code shows cannot be provoked on demand from the real CLI.
#pragma once

#include "tests/support/JobsTestSupport.h"
#include "ReplyRunnerFixture.h"

#include <ctime>
#include <fstream>

namespace vellumar::test {

inline constexpr const char* kFakeSessionID = "2f0c7a1e-5b7d-4d8e-9a43-1c2b3d4e5f60";

inline JSON initLine(const std::string& sessionID = kFakeSessionID)
{
    return JSON::object({ { "type", "system" }, { "subtype", "init" }, { "session_id", sessionID } });
}

inline JSON assistantLine(const std::string& text)
{
    return JSON::object({ { "type", "assistant" }, { "session_id", kFakeSessionID },
        { "message",
            JSON::object({ { "role", "assistant" },
                { "content", JSON::array({ JSON::object({ { "type", "text" }, { "text", text } }) }) },
                { "usage", JSON::object({ { "input_tokens", 1200 }, { "output_tokens", 34 } }) } }) } });
}

inline JSON resultLine(const std::string& text, bool isError = false)
{
    return JSON::object({ { "type", "result" }, { "subtype", isError ? "error_during_execution" : "success" },
        { "is_error", isError }, { "result", text }, { "session_id", kFakeSessionID } });
}

// A start that answers `text` in the session `kFakeSessionID`.
inline JSON replyStep(const std::string& text)
{
    return JSON::object({ { "stdout", JSON::array({ initLine(), assistantLine(text), resultLine(text) }) } });
}

struct FakeClaudeWorld : RunnerWorld {
    std::filesystem::path fakeFolder = folder / "fake";
    std::filesystem::path executable = fakeFolder / "claude";
    ClaudeReplyRunner::Options options;
    std::unique_ptr<ClaudeReplyRunner> runner;

    FakeClaudeWorld()
    {
        std::filesystem::create_directories(fakeFolder);
        std::filesystem::copy_file(sourceDir() / "tests/Reply/peers/fake_claude.py", executable);
        std::filesystem::permissions(executable, std::filesystem::perms::owner_all);
        options.locate = [this] { return std::optional(executable); };
        options.path = [] { return std::string("/usr/local/bin:/usr/bin:/bin"); };
        options.baseEnvironment = { { "HOME", home.string() } };
    }

    void play(const JSON& steps) { std::ofstream(fakeFolder / "steps.json") << steps.encoded(); }

    ClaudeReplyRunner& start()
    {
        if (!data)
            makeData();
        runner = std::make_unique<ClaudeReplyRunner>(*data, options);
        return *runner;
    }

    ReplyOutput run(
        const JobSubmission& job, std::stop_token stop = {}, std::optional<std::string> stoppedNote = {})
    {
        return runner->run(job, control("j-1", std::move(stoppedNote)), std::move(stop));
    }

    // What each start recorded, in start order.
    std::vector<JSON> calls() const
    {
        std::vector<JSON> found;
        for (int call = 0;; ++call) {
            std::filesystem::path file = fakeFolder / ("call-" + std::to_string(call) + ".json");
            if (!std::filesystem::exists(file))
                return found;
            found.push_back(decoded(readFile(file)));
        }
    }

    bool started(int call) const
    {
        return std::filesystem::exists(fakeFolder / ("started-" + std::to_string(call)));
    }

    // Writes a stored session "old-session-1" for ("ios-1", "bot-1") last used `ageSeconds` ago.
    void storeSession(std::int64_t ageSeconds, const std::optional<std::string>& summary,
        std::optional<std::int64_t> contextTokens = std::nullopt)
    {
        JSON::Object entry { { "sessionId", JSON(std::string("old-session-1")) }, { "botId", JSON("bot-1") },
            { "updatedAt", JSON(static_cast<long long>(std::time(nullptr) - ageSeconds)) } };
        if (summary)
            entry.emplace("summary", JSON(*summary));
        if (contextTokens)
            entry.emplace("contextTokens", JSON(static_cast<long long>(*contextTokens)));
        std::filesystem::create_directories(dataFolder);
        std::ofstream(dataFolder / "sessions.json")
            << JSON(JSON::Object { { "ios-1", JSON(entry) } }).encoded();
    }
};

inline std::vector<std::string> argvOf(const JSON& call)
{
    std::vector<std::string> argv;
    for (const auto& argument : *call.subscript("argv")->arrayValue())
        argv.push_back(*argument.stringValue());
    return argv;
}

inline std::optional<std::string> argumentAfter(const std::vector<std::string>& argv, std::string_view option)
{
    auto found = std::find(argv.begin(), argv.end(), option);
    if (found == argv.end() || std::next(found) == argv.end())
        return std::nullopt;
    return *std::next(found);
}

inline std::string stdinOf(const JSON& call) { return *call.subscript("stdin")->stringValue(); }

}
