// A whole conversation through the reply runner with the real Claude Code CLI from tests/peers
// against the scripted model endpoint: turns that remember, attach and ask, then a compaction and a
// clear, with every store read back from disk at the end.
#include "tests/support/JobsTestSupport.h"
#include "RealClaudeWrapper.h"
#include "ReplyRunnerFixture.h"

#include "VellumarMacCore/Reply/RunPermissionDecisions.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

JSON textStep(const std::string& text) { return JSON::object({ { "text", text } }); }

JSON writeStep(const fs::path& file, const std::string& content)
{
    return JSON::object({ { "tool_use",
        JSON::object({ { "name", "Write" },
            { "input", JSON::object({ { "file_path", file.string() }, { "content", content } }) } }) } });
}

std::string actionBlock(const JSON& body) { return "```action\n" + body.encoded() + "\n```\n"; }

// The body of the newest request the endpoint received.
JSON lastRequestBody(const test::ScriptedModel& model)
{
    std::string log = model.requestLog();
    while (!log.empty() && log.back() == '\n')
        log.pop_back();
    auto line = log.substr(log.find_last_of('\n') == std::string::npos ? 0 : log.find_last_of('\n') + 1);
    return *test::decoded(line).subscript("body");
}

// Everything of a request except what the assistant said earlier in the session.
std::string withoutAssistantTurns(const JSON& body)
{
    std::string kept = body.subscript("system") ? body.subscript("system")->encoded() : std::string();
    for (const auto& message : *body.subscript("messages")->arrayValue()) {
        if (*message.subscript("role")->stringValue() != "assistant")
            kept += message.encoded();
    }
    return kept;
}

}

TEST(ClaudeReplyConversationRealCLI, RemembersAttachesAsksCompactsAndClears)
{
    test::RunnerWorld world;
    test::TemporaryFolder places;
    fs::path documents = fs::canonical(places.path()) / "documents";
    fs::path project = fs::canonical(places.path()) / "project";
    fs::create_directories(documents);
    fs::create_directories(project / ".git");
    std::ofstream(documents / "plan.txt") << "Lyon in May";

    // The script answers by the number of assistant messages a request carries, so one script serves
    // every turn of the resumed session: the remembering turn, the attaching turn, the turn with two
    // writes into Git's folder, and then the summary the compaction asks for. The hand-over run starts
    // a session with no answers and gets the first step again; its text is not used.
    const std::string summary = "## Important facts\nPrefers tea; the plan is Lyon in May.";
    test::ScriptedModel model(world.folder / "model",
        JSON::array(
            { textStep(actionBlock(JSON::object({ { "type", "remember" }, { "text", "Prefers  tea" } }))
                  + "I will keep that in mind."),
                textStep("Here is the plan.\n"
                    + actionBlock(JSON::object(
                        { { "type", "attach_file" }, { "path", (documents / "plan.txt").string() } }))),
                writeStep(project / ".git/notes.txt", "once"),
                writeStep(project / ".git/description", "kept"), textStep("Both notes are written."),
                textStep(summary) })
            .encoded());
    fs::path claude = test::realClaudeWrapper(world.folder.path(), model, world.home);
    world.makeData();

    ClaudeReplyRunner::Options options;
    options.locate = [claude] { return std::optional(claude); };
    options.path = [] { return std::string("/usr/local/bin:/usr/bin:/bin"); };
    options.baseEnvironment = { { "HOME", world.home.string() } };
    test::RunnerWorld::openGates(options, decidePermission);
    ClaudeReplyRunner runner(*world.data, std::move(options));

    // The first question is allowed once; the second for the rest of the conversation.
    std::mutex promptsLock;
    std::vector<JSON> prompts;
    auto control = std::make_shared<JobControl>(
        "j-1", std::nullopt, JobControl::EventHandler {}, [&](const JSON& prompt, std::stop_token) {
            std::lock_guard guard(promptsLock);
            prompts.push_back(prompt);
            return std::string(prompts.size() == 1 ? "once" : "conversation");
        });
    PermissionSettings settings;
    settings.folders = { PermissionSettings::Folder { documents.string(), false },
        PermissionSettings::Folder { project.string(), true } };
    auto turn = [&](const std::string& message) {
        auto job = test::RunnerWorld::submission("ios-1", message);
        job.permissions = settings;
        return runner.run(job, control, {});
    };
    fs::path workFolder = world.workFolder("ios-1");

    ReplyOutput remembered = turn("Remember that I prefer tea.");
    EXPECT_EQ(remembered.reply, "I will keep that in mind.");
    EXPECT_EQ(remembered.memory,
        JSON::object({ { "added", JSON::array({ "Prefers tea" }) }, { "removed", JSON::array({}) } }));
    auto firstSession = world.data->sessions.sessionID("ios-1", "bot-1");
    ASSERT_TRUE(firstSession) << model.requestLog();

    ReplyOutput attached = turn("Send me the plan.");
    EXPECT_EQ(attached.reply, "Here is the plan.");
    // The stored memory, spaces already tidied, reached the model apart from the earlier answer.
    EXPECT_NE(withoutAssistantTurns(lastRequestBody(model)).find("Prefers tea"), std::string::npos)
        << model.requestLog();
    ASSERT_EQ(attached.files.size(), 1U);
    std::string copy = *attached.files[0].subscript("fileId")->stringValue();
    EXPECT_TRUE(copy.starts_with("attached/") && copy.ends_with("/plan.txt")) << copy;

    ReplyOutput written = turn("Write the two notes.");
    EXPECT_EQ(written.reply, "Both notes are written.");
    EXPECT_EQ(test::readFile(project / ".git/notes.txt"), "once");
    EXPECT_EQ(test::readFile(project / ".git/description"), "kept");
    {
        std::lock_guard guard(promptsLock);
        ASSERT_EQ(prompts.size(), 2U) << model.requestLog();
        EXPECT_EQ(*prompts[0].subscript("reason"), JSON("This is Git's own folder (.git)."));
    }
    EXPECT_TRUE(runner.grants().covers("ios-1", project / ".git/description"));
    EXPECT_EQ(world.data->sessions.sessionID("ios-1", "bot-1"), firstSession);

    auto compacted = runner.compact({ "ios-1", "bot-1", std::nullopt, settings }, {});
    EXPECT_EQ(compacted.summary, summary);
    auto secondSession = world.data->sessions.sessionID("ios-1", "bot-1");
    ASSERT_TRUE(secondSession);
    EXPECT_NE(*secondSession, *firstSession);
    {
        // Read back from disk by stores that did not write it.
        RelayData reread({ .folder = world.dataFolder, .home = world.home });
        auto entry = reread.sessions.entry("ios-1", "bot-1");
        ASSERT_TRUE(entry);
        EXPECT_EQ(*entry->at("sessionId").stringValue(), *secondSession);
        EXPECT_EQ(*entry->at("summary").stringValue(), summary);
        EXPECT_FALSE(entry->contains("recent"));
    }

    auto cleared = runner.clearConversation("ios-1", WorkFolder::keep);
    EXPECT_TRUE(cleared.hadSession);
    EXPECT_FALSE(cleared.workspaceCleared);
    EXPECT_FALSE(runner.grants().covers("ios-1", project / ".git/description"));

    RelayData reread({ .folder = world.dataFolder, .home = world.home });
    auto sessions = test::decoded(test::readFile(world.dataFolder / "sessions.json"));
    EXPECT_FALSE(sessions.subscript("ios-1")) << sessions.encoded();
    EXPECT_FALSE(reread.sessions.entry("ios-1", "bot-1"));

    ASSERT_TRUE(fs::exists(world.dataFolder / "memory.json"));
    auto memories = reread.memory.memories("ios-1");
    ASSERT_EQ(memories.size(), 1U);
    EXPECT_EQ(*memories[0].subscript("text"), JSON("Prefers tea"));

    // Newest first: the write allowed for the conversation, then the one allowed once.
    ASSERT_TRUE(fs::is_directory(world.dataFolder / "activity"));
    auto activity = reread.activity.entries("ios-1");
    ASSERT_EQ(activity.size(), 2U);
    EXPECT_EQ(*activity[0].subscript("target"), JSON((project / ".git/description").string()));
    EXPECT_EQ(*activity[1].subscript("target"), JSON((project / ".git/notes.txt").string()));
    for (const auto& entry : activity)
        EXPECT_EQ(entry.subscript("approved") ? *entry.subscript("approved") : JSON(), JSON(true));

    EXPECT_EQ(test::readFile(workFolder / copy), "Lyon in May");
}
