// The prompts as the real Claude Code CLI passes them on to the model: the system prompt given with
// --append-system-prompt and the turn text given on standard input must reach the model unchanged.
#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Reply/Prompts.h"
#include "tests/support/ScriptedModel.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>
#include <memory>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

// A text as it appears inside any JSON string that holds it, since escaping goes character by
// character.
std::string escaped(const std::string& text)
{
    auto quoted = JSON(text).encoded();
    return quoted.substr(1, quoted.size() - 2);
}

}

TEST(PromptsRealCLI, SystemPromptAndTurnTextReachTheModelUnchanged)
{
    test::TemporaryFolder folder;
    fs::path home = folder / "home";
    fs::path work = folder / "work";
    fs::create_directories(home);
    fs::create_directories(work / "uploads");
    test::ScriptedModel model(folder / "model", R"([{"text": "OK"}])");

    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone("Europe/Berlin"));
    BotProfile bot { "Mika", "Coach", "Speaks in \"quotes\" and `ticks`…\nSecond line", true };
    auto systemPrompt = Prompts::systemPrompt("mika", bot, Prompts::ActionsBlock::included, *zone);
    Prompts::Sections sections {
        { "permissions", Prompts::permissionsSection(ResolvedPermissions {}, home) },
        { "memory", Prompts::memoryList({}) },
        { "bots", Prompts::botsSection("mika", bot, { { "ana", "Ana", "" } }) },
    };
    auto turn = *Prompts::settingsNotice(sections, std::nullopt) + "\n\n"
        + Prompts::attachmentsSection("  What is in uploads/missing.pdf?  ", { "uploads/missing.pdf" }, work);

    std::vector<std::string> command = { "env", "-C", work.string(), "-i" };
    for (const auto& [name, value] : model.claudeEnvironment(home))
        command.push_back(name + "=" + value);
    command.push_back(test::realClaudeExecutable().string());
    for (const auto& argument :
        ClaudeInvocation::fullArguments(ResolvedPermissions {}, { .appendedSystemPrompt = systemPrompt }))
        command.push_back(argument);
    auto run = test::runPeer(command, turn);
    ASSERT_EQ(run.exitStatus, 0) << run.output;

    bool seen = false;
    auto log = model.requestLog();
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        auto entry = JSON::decode(line);
        const auto* body = entry ? entry->subscript("body") : nullptr;
        auto messages = body && body->subscript("messages") ? body->subscript("messages")->encoded() : "";
        if (messages.find("[Current settings]") == std::string::npos)
            continue;
        seen = true;
        ASSERT_TRUE(body->subscript("system"));
        EXPECT_NE(body->subscript("system")->encoded().find(escaped(systemPrompt)), std::string::npos);
        EXPECT_NE(messages.find(escaped(turn)), std::string::npos);
    }
    EXPECT_TRUE(seen) << log;
}
