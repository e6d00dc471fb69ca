// The prompts as the real Claude Code CLI passes them on to the model: the system prompt given with
// --append-system-prompt and the turn text given on standard input must reach the model unchanged.
#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Reply/Prompts.h"
#include "tests/support/ScriptedModel.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

// Adds the texts of a "system" member or of a message's "content": a string or a list of blocks.
void collect(const JSON* content, std::vector<std::string>& texts)
{
    if (const auto* text = content ? content->stringValue() : nullptr)
        texts.push_back(*text);
    for (const auto& block : content && content->arrayValue() ? *content->arrayValue() : JSON::Array {}) {
        if (const auto* text = block.subscript("text"); text && text->stringValue())
            texts.push_back(*text->stringValue());
    }
}

bool anyContains(const std::vector<std::string>& texts, const std::string& piece)
{
    return std::any_of(
        texts.begin(), texts.end(), [&](const auto& text) { return text.find(piece) != std::string::npos; });
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
    for (std::size_t from = 0; from < log.size();) {
        auto end = log.find('\n', from);
        auto line = log.substr(from, end == std::string::npos ? std::string::npos : end - from);
        from = end == std::string::npos ? log.size() : end + 1;
        auto entry = JSON::decode(line);
        const auto* body = entry ? entry->subscript("body") : nullptr;
        const auto* messages = body ? body->subscript("messages") : nullptr;
        std::vector<std::string> system;
        std::vector<std::string> user;
        collect(body ? body->subscript("system") : nullptr, system);
        for (const auto& message :
            messages && messages->arrayValue() ? *messages->arrayValue() : JSON::Array {}) {
            if (message.subscript("role") && *message.subscript("role") == JSON("user"))
                collect(message.subscript("content"), user);
        }
        if (!anyContains(user, "[Current settings]"))
            continue;
        seen = true;
        EXPECT_TRUE(anyContains(system, systemPrompt));
        EXPECT_TRUE(anyContains(user, turn));
    }
    EXPECT_TRUE(seen) << log;
}
