// A whole conversation with the real Claude Code CLI against the scripted model: turns that resume,
// remember, attach and ask, then a compaction and a clear, with the stores read back from disk.
#include "tests/Reply/ReplyRunnerFixture.h"

#include "VellumarMacCore/Foundations/Graphemes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sstream>

using namespace vellumar;
namespace fs = std::filesystem;
using test::textStep;

namespace {

std::string actionBlock(const JSON& body) { return "```action\n" + body.encoded() + "\n```\n"; }

}

TEST(ClaudeReplyConversationRealCLI, ResumesRemembersAttachesAsksCompactsAndClears)
{
    test::TemporaryFolder places;
    fs::path documents = fs::canonical(places.path()) / "documents";
    fs::path project = fs::canonical(places.path()) / "project";
    fs::path outside = fs::canonical(places.path()) / "outside.txt";
    fs::create_directories(documents);
    fs::create_directories(project / ".git");
    std::ofstream(documents / "plan.txt") << "Lyon in May";

    // The script answers by the number of assistant messages a request carries, so it serves the turns
    // only while the session is resumed; the summary's action block goes and it is cut to 6000
    // characters. The hand-over run starts afresh and gets the first step again, unused.
    const std::string summary = "## Important facts\nPrefers tea; the plan is Lyon in May. "
        + test::repeated("Lyon in May. ", 538) + "tail";
    test::RunnerWorld world;
    world.options.baseEnvironment
        = { { "HOME", world.home.string() }, { "USER", "ada" }, { "ANTHROPIC_API_KEY", "sk-secret" },
              { "ANTHROPIC_BASE_URL", "http://elsewhere" }, { "LD_PRELOAD", "/tmp/evil.so" },
              { "PATH", "/evil" }, { "CLAUDECODE", "1" }, { "EDITOR", "vi" }, { "HTTPS_PROXY_EXTRA", "x" } };
    world.openGates();
    auto& runner = world.startReal(JSON::array(
        { textStep(actionBlock(JSON::object({ { "type", "remember" }, { "text", "Prefers  tea" } }))
              + "I will keep that in mind."),
            textStep("Here is the plan.\n"
                + actionBlock(JSON::object(
                    { { "type", "attach_file" }, { "path", (documents / "plan.txt").string() } }))),
            test::writeStep(outside, "never"), test::writeStep(project / ".git/notes.txt", "once"),
            test::writeStep(project / ".git/description", "kept"), textStep("Both notes are written."),
            textStep(actionBlock(JSON::object({ { "type", "remember" }, { "text", "x" } })) + summary) }));

    // The first question is allowed once; the second for the rest of the conversation.
    std::mutex promptsLock;
    std::vector<JSON> prompts;
    auto control = world.control([&](const JSON& prompt, std::stop_token) {
        std::lock_guard guard(promptsLock);
        prompts.push_back(prompt);
        return std::string(prompts.size() == 1 ? "once" : "conversation");
    });
    PermissionSettings settings;
    settings.folders = { PermissionSettings::Folder { documents.string(), false },
        PermissionSettings::Folder { project.string(), true } };
    auto turn = [&](const std::string& message) {
        auto job = test::RunnerWorld::submission(message);
        job.permissions = settings;
        return runner.run(job, control, {});
    };
    fs::path workFolder = world.workFolder("ios-1");

    ReplyOutput remembered = turn("Remember that I prefer tea.");
    EXPECT_EQ(remembered.reply, "I will keep that in mind.");
    EXPECT_EQ(remembered.memory,
        JSON::object({ { "added", JSON::array({ "Prefers tea" }) }, { "removed", JSON::array({}) } }));
    auto firstSession = world.data->sessions.sessionID("ios-1", "bot-1");
    ASSERT_TRUE(firstSession) << world.model->requestLog();
    auto first = world.calls().at(0);
    EXPECT_EQ(*first.subscript("cwd"), JSON(fs::canonical(workFolder).string()));
    EXPECT_EQ(test::argumentAfter(first, "--settings"),
        ClaudeReplyRunner::settingsFile(world.dataFolder, "ios-1").string());
    EXPECT_EQ(test::modeOf(ClaudeReplyRunner::settingsFile(world.dataFolder, "ios-1")), 0600u);
    // Only what Claude Code needs of the environment, with the runner's search path and a language.
    std::string temporaryFolder = *first.subscript("env")->subscript("CLAUDE_CODE_TMPDIR")->stringValue();
    EXPECT_EQ(*first.subscript("env"),
        JSON::object(
            { { "HOME", world.home.string() }, { "USER", "ada" }, { "PATH", "/usr/local/bin:/usr/bin:/bin" },
                { "LANG", "en_US.UTF-8" }, { "CLAUDE_CODE_TMPDIR", temporaryFolder } }));
    // Claude Code hands the system prompt and the turn text to the model unchanged.
    std::string bodies;
    std::istringstream log(world.model->requestLog());
    for (std::string line; std::getline(log, line);) {
        if (auto entry = JSON::decode(line); entry && entry->subscript("body"))
            bodies += entry->subscript("body")->encoded();
    }
    for (const auto& text : { test::stdinOf(first), *test::argumentAfter(first, "--append-system-prompt") }) {
        auto quoted = JSON(text).encoded();
        EXPECT_NE(bodies.find(quoted.substr(1, quoted.size() - 2)), std::string::npos) << text;
    }
    // Private while the run lasts, gone with the gate after it.
    EXPECT_EQ(*first.subscript("temporaryFolderMode"), JSON("700"));
    EXPECT_FALSE(fs::exists(temporaryFolder));
    EXPECT_FALSE(fs::exists(test::gateFolder(first)));

    ReplyOutput attached = turn("Send me the plan.");
    EXPECT_EQ(attached.reply, "Here is the plan.");
    // The stored memory, spaces already tidied, is handed to Claude Code with the next turn.
    auto second = world.calls().at(1);
    EXPECT_EQ(test::argumentAfter(second, "--resume"), *firstSession);
    EXPECT_NE((test::stdinOf(second) + test::argumentAfter(second, "--append-system-prompt").value_or(""))
                  .find("Prefers tea"),
        std::string::npos);
    ASSERT_EQ(attached.files.size(), 1U);
    std::string copy = *attached.files[0].subscript("fileId")->stringValue();

    ReplyOutput written = turn("Write the two notes.");
    EXPECT_EQ(written.reply, "Both notes are written.");
    EXPECT_EQ(test::readFile(project / ".git/notes.txt"), "once");
    EXPECT_EQ(test::readFile(project / ".git/description"), "kept");
    EXPECT_FALSE(fs::exists(outside));
    {
        std::lock_guard guard(promptsLock);
        ASSERT_EQ(prompts.size(), 2U) << world.model->requestLog();
        EXPECT_EQ(*prompts[0].subscript("reason"), JSON("This is Git's own folder (.git)."));
    }
    EXPECT_TRUE(runner.grants().covers("ios-1", project / ".git/description"));
    EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), firstSession);

    auto compacted = runner.compact({ "ios-1", "bot-1", std::nullopt, settings }, {});
    std::string cut = prefixCharacters(summary, 6000);
    EXPECT_EQ(compacted.summary, cut);
    auto starts = world.calls();
    ASSERT_EQ(starts.size(), 5U);
    EXPECT_EQ(test::argumentAfter(starts[3], "--resume"), *firstSession);
    EXPECT_EQ(test::stdinOf(starts[3]), Prompts::summaryRequest());
    EXPECT_FALSE(test::argumentAfter(starts[4], "--resume"));
    EXPECT_EQ(test::stdinOf(starts[4]), Prompts::summaryHandover(cut));
    auto secondSession = world.data->sessions.sessionID("ios-1", "bot-1");
    ASSERT_TRUE(secondSession);
    EXPECT_NE(*secondSession, *firstSession);

    runner.grants().add("ios-2", project);
    runner.clearConversation("ios-1", WorkFolder::keep);
    EXPECT_FALSE(runner.grants().covers("ios-1", project / ".git/description"));
    EXPECT_TRUE(runner.grants().covers("ios-2", project / ".git/description"));
    // Read back from disk by stores that did not write it.
    RelayData reread({ .folder = world.dataFolder, .home = world.home });
    EXPECT_FALSE(reread.sessions.entry("ios-1", "bot-1"));
    auto memories = reread.memory.memories("ios-1");
    ASSERT_EQ(memories.size(), 1U);
    EXPECT_EQ(*memories[0].subscript("text"), JSON("Prefers tea"));
    // Newest first: the write allowed for the conversation, the one allowed once, the one refused unasked.
    auto activity = reread.activity.entries("ios-1");
    ASSERT_EQ(activity.size(), 3U);
    const std::pair<fs::path, const char*> logged[] = { { project / ".git/description", "ok" },
        { project / ".git/notes.txt", "ok" }, { outside, "denied" } };
    for (std::size_t index = 0; index < activity.size(); ++index) {
        SCOPED_TRACE(activity[index].encoded());
        EXPECT_EQ(*activity[index].subscript("target"), JSON(logged[index].first.string()));
        EXPECT_EQ(*activity[index].subscript("status"), JSON(logged[index].second));
    }
    EXPECT_EQ(test::readFile(workFolder / copy), "Lyon in May");
    EXPECT_TRUE(runner.clearConversation("ios-1", WorkFolder::clear).workspaceCleared);
    EXPECT_FALSE(fs::exists(workFolder / copy));
}
