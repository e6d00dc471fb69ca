// Compaction with the real Claude Code CLI from tests/peers against the scripted model endpoint.
// The runner is pointed at a shell script that keeps each start's arguments and standard input, adds
// the endpoint's variables the runner keeps away from Claude Code, and then runs the real CLI.
#include "FakeClaudeWorld.h"
#include "RealClaudeWrapper.h"

#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Reply/Prompts.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

struct RecordedStart {
    std::vector<std::string> argv;
    std::string input;
};

struct RecordingCLIWorld : test::RunnerWorld {
    std::unique_ptr<test::ScriptedModel> model;
    std::unique_ptr<ClaudeReplyRunner> runner;
    fs::path starts = folder / "starts";

    explicit RecordingCLIWorld(const JSON& steps)
    {
        model = std::make_unique<test::ScriptedModel>(folder / "model", steps.encoded());
        fs::create_directories(starts);
        std::string prelude = "n=$(ls '" + starts.string() + "' | grep -c '^argv-')\n";
        prelude += "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + starts.string() + "/argv-'$n\n";
        prelude += "cat > '" + starts.string() + "/input-'$n\n";
        prelude += "exec < '" + starts.string() + "/input-'$n\n";
        fs::path claude = test::realClaudeWrapper(folder.path(), *model, home, prelude);
        makeData();

        ClaudeReplyRunner::Options options;
        options.locate = [claude] { return std::optional(claude); };
        options.path = [] { return std::string("/usr/local/bin:/usr/bin:/bin"); };
        options.baseEnvironment = { { "HOME", home.string() } };
        runner = std::make_unique<ClaudeReplyRunner>(*data, std::move(options));
    }

    std::vector<RecordedStart> recordedStarts() const
    {
        std::vector<RecordedStart> found;
        for (int index = 0; fs::exists(starts / ("argv-" + std::to_string(index))); ++index) {
            RecordedStart start;
            std::string packed = test::readFile(starts / ("argv-" + std::to_string(index)));
            for (std::size_t begin = 0; begin < packed.size();) {
                std::size_t end = packed.find('\0', begin);
                start.argv.push_back(packed.substr(begin, end - begin));
                begin = end + 1;
            }
            start.input = test::readFile(starts / ("input-" + std::to_string(index)));
            found.push_back(std::move(start));
        }
        return found;
    }
};

}

TEST(ClaudeReplyCompactionRealCLI, SummarisesTheStoredSessionAndContinuesInANewOne)
{
    // Step 1 answers the summarise request, which resumes a session holding one answer. The
    // hand-over run starts a session with none, so it gets step 0 again; its text is not used.
    std::string longSummary = "## Important facts\n" + test::repeated("Lyon in May. ", 538) + "tail";
    ASSERT_GE(characterCount(longSummary), 7000u);
    RecordingCLIWorld world(JSON::array(
        { JSON::object({ { "text", "First answer." } }), JSON::object({ { "text", longSummary } }) }));

    auto job = test::RunnerWorld::submission("ios-1", "Where shall we go?");
    world.runner->run(job, world.control(), {});
    auto firstSession = world.data->sessions.sessionID("ios-1", "bot-1");
    ASSERT_TRUE(firstSession) << world.model->requestLog();

    auto compacted = world.runner->compact({ "ios-1", "bot-1", std::nullopt, std::nullopt }, {});

    std::string expectedSummary = prefixCharacters(longSummary, 6000);
    EXPECT_EQ(compacted.summary, expectedSummary);
    EXPECT_EQ(characterCount(compacted.summary), 6000u);
    ASSERT_TRUE(compacted.context);
    EXPECT_GT(compacted.context->subscript("tokens")->intValue().value_or(0), 0);

    auto starts = world.recordedStarts();
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_EQ(test::argumentAfter(starts[1].argv, "--resume"), *firstSession);
    EXPECT_EQ(starts[1].input, Prompts::summaryRequest());
    EXPECT_FALSE(test::argumentAfter(starts[2].argv, "--resume"));
    EXPECT_EQ(starts[2].input, Prompts::summaryHandover(expectedSummary));
    for (const auto& start : starts)
        EXPECT_FALSE(test::argumentAfter(start.argv, "--autocompact"));
    // The summarise request reached the model as the user's newest message.
    EXPECT_NE(world.model->requestLog().find("Summarise the conversation so far"), std::string::npos);

    auto newSession = world.data->sessions.sessionID("ios-1", "bot-1");
    ASSERT_TRUE(newSession);
    EXPECT_NE(*newSession, *firstSession);
    auto entry = world.data->sessions.entry("ios-1", "bot-1");
    ASSERT_TRUE(entry);
    EXPECT_EQ(*entry->at("summary").stringValue(), expectedSummary);
    EXPECT_FALSE(entry->contains("recent"));
    EXPECT_FALSE(entry->contains("state"));
    EXPECT_EQ(entry->at("actions").boolValue(), false);
    EXPECT_TRUE(entry->contains("today"));
    auto stored = test::decoded(test::readFile(world.dataFolder / "sessions.json"));
    EXPECT_EQ(*stored.subscript("ios-1")->subscript("sessionId")->stringValue(), *newSession);

    world.runner->run(test::RunnerWorld::submission("ios-1", "And when?"), world.control(), {});
    starts = world.recordedStarts();
    ASSERT_EQ(starts.size(), 4u);
    EXPECT_EQ(test::argumentAfter(starts[3].argv, "--resume"), *newSession);
}
