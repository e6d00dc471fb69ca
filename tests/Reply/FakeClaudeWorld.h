// A reply runner whose `claude` is tests/Reply/peers/fake_claude.py, a python3 stand-in that records
// how each start was made and plays the step a test scripted for it: the failures and the timing
// Claude Code shows cannot be provoked on demand from the real CLI.
#pragma once

#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/support/JobsTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>

namespace vellumar::test {

inline constexpr const char* kFakeSessionID = "2f0c7a1e-5b7d-4d8e-9a43-1c2b3d4e5f60";

inline JSON initLine(const std::string& sessionID = kFakeSessionID)
{
    return JSON::object({ { "type", "system" }, { "subtype", "init" }, { "session_id", sessionID } });
}

inline JSON resultLine(const std::string& text, bool isError = false, const char* sessionID = kFakeSessionID)
{
    JSON::Object line { { "type", "result" }, { "subtype", isError ? "error_during_execution" : "success" },
        { "is_error", isError }, { "result", text } };
    if (sessionID)
        line.emplace("session_id", sessionID);
    return line;
}

// A start that answers `text` in the session `kFakeSessionID`, having used 1234 tokens of context.
inline JSON replyStep(const std::string& text, bool writeClaudeFile = false)
{
    auto assistant = JSON::object({ { "type", "assistant" }, { "session_id", kFakeSessionID },
        { "message",
            JSON::object({ { "role", "assistant" },
                { "content", JSON::array({ JSON::object({ { "type", "text" }, { "text", text } }) }) },
                { "usage", JSON::object({ { "input_tokens", 1200 }, { "output_tokens", 34 } }) } }) } });
    return JSON::object({ { "stdout", JSON::array({ initLine(), assistant, resultLine(text) }) },
        { "writeClaudeFile", writeClaudeFile } });
}

inline const JSON kHangStep = JSON::object({ { "hang", true }, { "writeClaudeFile", true } });

struct FakeClaudeWorld : RunnerWorld {
    std::filesystem::path fakeFolder = folder / "fake";
    std::filesystem::path executable = fakeFolder / "claude";
    int hanging = -1; // the read end of fakeFolder/"hanging", a FIFO a hanging start writes to

    FakeClaudeWorld()
    {
        claude = executable;
        std::filesystem::create_directories(fakeFolder);
        std::filesystem::copy_file(sourceDir() / "tests/Reply/peers/fake_claude.py", executable);
        std::filesystem::permissions(executable, std::filesystem::perms::owner_all);
        // Opened before any start, so that a start that signals never waits for a reader.
        ::mkfifo((fakeFolder / "hanging").c_str(), 0600);
        hanging = ::open((fakeFolder / "hanging").c_str(), O_RDONLY | O_NONBLOCK);
    }
    ~FakeClaudeWorld() { ::close(hanging); }

    void play(const JSON& steps) { std::ofstream(fakeFolder / "steps.json") << steps.encoded(); }

    // Whether a start has begun to hang, within a patience that guards against a hang of the test.
    bool awaitHanging() const
    {
        pollfd signal { hanging, POLLIN, 0 };
        char line[16];
        return ::poll(&signal, 1, 120'000) == 1 && ::read(hanging, line, sizeof line) > 0;
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

    // Writes a stored session "old-session-1" for ("ios-1", "bot-1") last used `ageSeconds` ago.
    void storeSession(std::int64_t ageSeconds, const std::optional<std::string>& summary = std::nullopt,
        std::optional<std::int64_t> contextTokens = std::nullopt)
    {
        JSON::Object entry { { "sessionId", "old-session-1" }, { "botId", "bot-1" },
            { "updatedAt", static_cast<std::int64_t>(std::time(nullptr) - ageSeconds) } };
        if (summary)
            entry.emplace("summary", *summary);
        if (contextTokens)
            entry.emplace("contextTokens", *contextTokens);
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

inline std::optional<std::string> argumentAfter(const JSON& call, std::string_view option)
{
    return argumentAfter(argvOf(call), option);
}

inline std::string stdinOf(const JSON& call) { return *call.subscript("stdin")->stringValue(); }

}
