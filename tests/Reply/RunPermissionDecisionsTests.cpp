#include "VellumarMacCore/Reply/RunPermissionDecisions.h"

#include "VellumarMacCore/ClaudeCode/ClaudeStreamParser.h"
#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionDecider.h"
#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "VellumarMacCore/Reply/JobControl.h"
#include "tests/support/InteractivePeer.h"
#include "tests/support/PathEscapes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vellumar::test {

namespace {

    namespace fs = std::filesystem;

    constexpr std::string_view kNeedsConfirmation = "Refused: this needs a confirmation (only writes inside "
                                                    "folders the user made writable can be approved).";
    constexpr std::string_view kNobodyCanConfirm
        = "Refused: nobody can confirm during this run (a routine or a summary). Places allowed \"always\" "
          "in the bot settings work.";

    // The questions a job was asked and the answers it gives, in order; any thread.
    class ScriptedQuestions {
    public:
        explicit ScriptedQuestions(std::vector<std::string> answers)
            : m_answers(std::move(answers))
        {
        }
        std::string answer(const JSON& prompt)
        {
            std::lock_guard guard(m_lock);
            m_prompts.push_back(prompt);
            if (m_answers.empty())
                return "deny";
            std::string next = m_answers.front();
            m_answers.erase(m_answers.begin());
            return next;
        }
        std::vector<JSON> prompts() const
        {
            std::lock_guard guard(m_lock);
            return m_prompts;
        }

    private:
        mutable std::mutex m_lock;
        std::vector<std::string> m_answers;
        std::vector<JSON> m_prompts;
    };

    class DecisionWorld {
        TemporaryFolder m_root;

    public:
        DecisionWorld()
            : data({ .folder = fs::canonical(m_root.path()) / "home/.local/share/Vellumar",
                .home = m_root.path() / "home" })
            , runner(data, {})
        {
            fs::create_directories(m_root.path() / "home/project");
            work = data.workspaces.folder("c-decide");
            project = data.resolver.home / "project";
            permissions.folders.push_back(
                FolderGrant { .path = project, .writable = true, .label = "~/project" });
            permissions.granted = { "write" };
        }

        ClaudeReplyRunner::QuestionContext context(
            std::shared_ptr<JobControl> control, std::string conversation = "c-decide") const
        {
            return { const_cast<ClaudeReplyRunner&>(runner), std::move(conversation), permissions, work,
                std::move(control), approved };
        }

        std::shared_ptr<JobControl> asking(ScriptedQuestions& questions) const
        {
            return std::make_shared<JobControl>("j-1", std::nullopt, JobControl::EventHandler {},
                [&questions](const JSON& prompt, std::stop_token) { return questions.answer(prompt); });
        }

        RelayData data;
        ClaudeReplyRunner runner;
        fs::path work;
        fs::path project;
        ResolvedPermissions permissions;
        std::shared_ptr<ClaudeReplyRunner::ApprovedTools> approved
            = std::make_shared<ClaudeReplyRunner::ApprovedTools>();
    };

    JSON writeQuestion(const fs::path& file, std::string id = "toolu_1")
    {
        return JSON::object({ { "tool_name", "Write" },
            { "input", JSON::object({ { "file_path", JSON(file.string()) }, { "content", "hello" } }) },
            { "tool_use_id", JSON(std::move(id)) } });
    }

    JSON allowOf(const JSON& question)
    {
        return JSON::object({ { "behavior", "allow" }, { "updatedInput", *question.subscript("input") } });
    }

    JSON denyWith(std::string_view message)
    {
        return JSON::object({ { "behavior", "deny" }, { "message", JSON(message) } });
    }

    JSON allowWriting(const JSON& question, const fs::path& file)
    {
        JSON::Object input = *question.subscript("input")->objectValue();
        input["file_path"] = JSON(file.string());
        return JSON::object({ { "behavior", "allow" }, { "updatedInput", JSON(std::move(input)) } });
    }

    // Asks the permission sub-mode as Claude Code does and returns the decision it passes back.
    std::optional<JSON> askThroughApprovalTool(InteractivePeer& server, int id, const JSON& question)
    {
        JSON call = JSON::object({ { "jsonrpc", "2.0" }, { "id", id }, { "method", "tools/call" },
            { "params", JSON::object({ { "name", "approve" }, { "arguments", question } }) } });
        if (!server.send(call.encoded() + "\n"))
            return std::nullopt;
        auto line = server.readLine();
        auto reply = line ? JSON::decode(*line) : std::nullopt;
        const JSON* content = reply ? reply->subscript("result") : nullptr;
        content = content ? content->subscript("content") : nullptr;
        if (!content || !content->arrayValue() || content->arrayValue()->empty())
            return std::nullopt;
        const JSON* text = content->arrayValue()->front().subscript("text");
        return text && text->stringValue() ? JSON::decode(*text->stringValue()) : std::nullopt;
    }

}

TEST(RunPermissionDecisions, WriteInTheWorkFolderIsAllowedAtOnceWithTheInputUnchanged)
{
    DecisionWorld world;
    ScriptedQuestions questions({ "once" });
    JSON question = writeQuestion(world.work / "notes/plan.md");
    EXPECT_EQ(decidePermission(question, world.context(world.asking(questions))), allowOf(question));
    EXPECT_TRUE(questions.prompts().empty());
    // Allowed by the work folder, not by the user.
    EXPECT_TRUE(world.approved->stored().empty());
}

TEST(RunPermissionDecisions, WhatCannotBeApprovedIsRefusedWithoutAsking)
{
    DecisionWorld world;
    ScriptedQuestions questions({ "once" });
    struct Case {
        std::string name;
        JSON question;
    };
    const std::vector<Case> cases {
        { "Bash",
            JSON::object({ { "tool_name", "Bash" }, { "input", JSON::object({ { "command", "ls" } }) },
                { "tool_use_id", "toolu_b" } }) },
        { "missing tool name",
            JSON::object({ { "input", *writeQuestion(world.project / "a").subscript("input") } }) },
        { "tool name not a string", JSON::object({ { "tool_name", 7 }, { "input", JSON::object({}) } }) },
        { "Write without input", JSON::object({ { "tool_name", "Write" }, { "tool_use_id", "toolu_n" } }) },
        { "input not an object", JSON::object({ { "tool_name", "Write" }, { "input", "/tmp/x" } }) },
        { "question not an object", JSON("Write") },
        { "write outside every folder", writeQuestion("/etc/passwd") },
        { "write into the uploads", writeQuestion(world.work / "uploads/photo.jpg") },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(decidePermission(testCase.question, world.context(world.asking(questions))),
            denyWith(kNeedsConfirmation));
    }
    EXPECT_TRUE(questions.prompts().empty());
    EXPECT_TRUE(world.approved->stored().empty());
}

TEST(RunPermissionDecisions, EscapesThroughTheApprovalToolAreDecidedWhereTheWriteLands)
{
    DecisionWorld world;
    PathEscapes escapes(world.data.resolver.home, world.work, world.project);
    ScriptedQuestions questions(std::vector<std::string>(escapes.cases.size(), "once"));
    auto control = world.asking(questions);
    PermissionGate gate(
        [&](const JSON& question) { return decidePermission(question, world.context(control)); });
    InteractivePeer server({ VELLUMAR_EXECUTABLE, std::string(PermissionMCPServer::flag), gate.path() });
    int id = 0;
    for (const auto& escape : escapes.cases) {
        SCOPED_TRACE(escape.name);
        std::size_t asked = questions.prompts().size();
        JSON question = writeQuestion(escape.path);
        EXPECT_EQ(askThroughApprovalTool(server, ++id, question),
            escape.decision == PathEscape::Decision::deny ? denyWith(kNeedsConfirmation)
                                                          : allowWriting(question, escape.lands));
        auto prompts = questions.prompts();
        bool asks = escape.decision == PathEscape::Decision::ask;
        EXPECT_EQ(prompts.size(), asked + (asks ? 1 : 0));
        if (asks && prompts.size() > asked) {
            EXPECT_EQ(*prompts.back().subscript("path"),
                JSON(homeRelativePath(escape.lands, world.data.resolver.home)));
        }
    }
}

TEST(RunPermissionDecisions, EachAnswerHasItsReply)
{
    struct Case {
        std::string answer;
        std::optional<std::string> denial; // nullopt: allowed
        bool grantsTheScope;
    };
    const std::vector<Case> cases {
        { "once", std::nullopt, false },
        { "conversation", std::nullopt, true },
        { "always", std::nullopt, true },
        { "deny",
            "The user said no. Do not work around it; say briefly what you wanted to do and why, and end the "
            "reply.",
            false },
        { "timeout", "Refused: the user did not answer in time.", false },
        { "canceled", "Refused: the work was stopped.", false },
        { "busy", std::string(kNeedsConfirmation), false },
        { "ONCE", std::string(kNeedsConfirmation), false },
        { "", std::string(kNeedsConfirmation), false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.answer);
        DecisionWorld world;
        ScriptedQuestions questions({ testCase.answer });
        JSON question = writeQuestion(world.project / "src/main.cpp", "toolu_q");
        JSON reply = decidePermission(question, world.context(world.asking(questions)));
        EXPECT_EQ(reply, testCase.denial ? denyWith(*testCase.denial) : allowOf(question));
        EXPECT_EQ(questions.prompts().size(), 1U);
        EXPECT_EQ(world.approved->stored().contains("toolu_q"), !testCase.denial);
        EXPECT_EQ(world.runner.grants().covers("c-decide", world.project / "src/main.cpp"),
            testCase.grantsTheScope);
    }
}

TEST(RunPermissionDecisions, QuestionCarriesTheApprovalRequestWithAHomeRelativePath)
{
    DecisionWorld world;
    ScriptedQuestions questions({ "deny" });
    auto milliseconds = [] {
        return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    double before = milliseconds();
    decidePermission(writeQuestion(world.project / "a.txt"), world.context(world.asking(questions)));
    double after = milliseconds();
    auto prompts = questions.prompts();
    ASSERT_EQ(prompts.size(), 1U);
    const JSON* id = prompts[0].subscript("requestId");
    ASSERT_TRUE(id && id->stringValue());
    EXPECT_TRUE(isPermissionRequestID(*id->stringValue())) << *id->stringValue();
    EXPECT_EQ(*prompts[0].subscript("path"), JSON("~/project/a.txt"));
    auto expires = prompts[0].subscript("expiresAt")->numberValue().value_or(0);
    // Ten minutes after the question was asked, to the millisecond.
    EXPECT_GE(expires, std::floor(before) + 600'000);
    EXPECT_LE(expires, std::ceil(after) + 600'000);
}

TEST(RunPermissionDecisions, ConversationAnswerCoversLaterQuestionsOfThatConversationOnly)
{
    DecisionWorld world;
    ScriptedQuestions questions({ "conversation", "once", "once" });
    auto control = world.asking(questions);
    JSON first = writeQuestion(world.project / "report.md", "toolu_1");
    EXPECT_EQ(decidePermission(first, world.context(control)), allowOf(first));

    // The same conversation in a later run: nobody is asked again.
    auto laterRun = world.asking(questions);
    JSON again = writeQuestion(world.project / "report.md", "toolu_2");
    EXPECT_EQ(decidePermission(again, world.context(laterRun)), allowOf(again));
    EXPECT_EQ(questions.prompts().size(), 1U);
    EXPECT_TRUE(world.approved->stored().contains("toolu_2"));

    // Another file and another conversation are asked afresh.
    decidePermission(writeQuestion(world.project / "other.md", "toolu_3"), world.context(control));
    decidePermission(
        writeQuestion(world.project / "report.md", "toolu_4"), world.context(control, "c-other"));
    EXPECT_EQ(questions.prompts().size(), 3U);
}

TEST(RunPermissionDecisions, GrantsDoNotOutliveTheRunner)
{
    DecisionWorld world;
    ScriptedQuestions questions({ "conversation", "deny" });
    decidePermission(writeQuestion(world.project / "a.md"), world.context(world.asking(questions)));
    ClaudeReplyRunner restarted(world.data, {});
    ClaudeReplyRunner::QuestionContext context { restarted, "c-decide", world.permissions, world.work,
        world.asking(questions), world.approved };
    // Asked again after the restart, and this time refused.
    EXPECT_EQ(*decidePermission(writeQuestion(world.project / "a.md"), context).subscript("behavior"),
        JSON("deny"));
    EXPECT_EQ(questions.prompts().size(), 2U);
}

TEST(RunPermissionDecisions, ConversationAnswerForASkillsFileGrantsTheWholeSkillsFolder)
{
    DecisionWorld world;
    ScriptedQuestions questions({ "conversation" });
    auto control = world.asking(questions);
    decidePermission(writeQuestion(world.project / ".claude/skills/pdf/SKILL.md"), world.context(control));
    JSON sibling = writeQuestion(world.project / ".claude/skills/csv/SKILL.md", "toolu_s");
    EXPECT_EQ(decidePermission(sibling, world.context(control)), allowOf(sibling));
    EXPECT_EQ(questions.prompts().size(), 1U);
}

TEST(RunPermissionDecisions, WithoutAQuestionHandlerOnlyAlwaysPlacesAreAllowed)
{
    DecisionWorld world;
    // An empty place and the root would cover every file.
    world.permissions.alwaysWrites = { "", "/", world.project / "docs" };
    auto control = std::make_shared<JobControl>("compact");
    EXPECT_EQ(decidePermission(writeQuestion(world.project / "src/a.cpp"), world.context(control)),
        denyWith(kNobodyCanConfirm));
    JSON always = writeQuestion(world.project / "docs/guide.md", "toolu_always");
    EXPECT_EQ(decidePermission(always, world.context(control)), allowOf(always));
    EXPECT_EQ(world.approved->stored(), std::set<std::string> { "toolu_always" });
}

TEST(RunPermissionDecisions, OnceIsAskedForEachFile)
{
    DecisionWorld world;
    ScriptedQuestions questions({ "once", "once" });
    auto control = world.asking(questions);
    decidePermission(writeQuestion(world.project / "a.md", "toolu_a"), world.context(control));
    decidePermission(writeQuestion(world.project / "a.md", "toolu_b"), world.context(control));
    EXPECT_EQ(questions.prompts().size(), 2U);
    EXPECT_EQ(world.approved->stored(), (std::set<std::string> { "toolu_a", "toolu_b" }));
}

TEST(RunPermissionDecisions, QuestionsWaitOnTheirOwnThreadsAndEachGetsItsOwnAnswer)
{
    DecisionWorld world;
    std::mutex lock;
    std::condition_variable changed;
    std::map<std::string, std::string> answers; // by path shown to the user
    int waiting = 0;
    auto control = std::make_shared<JobControl>(
        "j-1", std::nullopt, JobControl::EventHandler {}, [&](const JSON& prompt, std::stop_token) {
            std::string path = *prompt.subscript("path")->stringValue();
            std::unique_lock guard(lock);
            ++waiting;
            changed.notify_all();
            changed.wait(guard, [&] { return answers.contains(path); });
            return answers[path];
        });
    JSON first = writeQuestion(world.project / "one.md", "toolu_1");
    JSON second = writeQuestion(world.project / "two.md", "toolu_2");
    JSON firstReply;
    JSON secondReply;
    {
        std::jthread one([&] { firstReply = decidePermission(first, world.context(control)); });
        std::jthread two([&] { secondReply = decidePermission(second, world.context(control)); });
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return waiting == 2; });
        EXPECT_TRUE(control->waitState().questionPending);
        answers["~/project/two.md"] = "deny";
        answers["~/project/one.md"] = "once";
        changed.notify_all();
    }
    EXPECT_EQ(firstReply, allowOf(first));
    EXPECT_EQ(*secondReply.subscript("behavior"), JSON("deny"));
    EXPECT_EQ(world.approved->stored(), std::set<std::string> { "toolu_1" });
}

TEST(RunPermissionDecisions, ActivityMarksApprovedOnlyWhatTheUserApproved)
{
    DecisionWorld world;
    // Without the write grant, a write in a granted folder counts as approved only through the user.
    world.permissions.granted.clear();
    ScriptedQuestions questions({ "once", "deny" });
    auto control = world.asking(questions);
    decidePermission(writeQuestion(world.work / "w.txt", "toolu_work"), world.context(control));
    decidePermission(writeQuestion(world.project / "yes.txt", "toolu_yes"), world.context(control));
    decidePermission(writeQuestion(world.project / "no.txt", "toolu_no"), world.context(control));

    ClaudeStreamParser parser(
        [] { return std::chrono::system_clock::time_point(std::chrono::seconds(1000)); });
    auto toolUse = [](std::string id, const fs::path& file) {
        return JSON::object({ { "type", "tool_use" }, { "id", JSON(std::move(id)) }, { "name", "Write" },
            { "input", JSON::object({ { "file_path", JSON(file.string()) } }) } });
    };
    parser.consume(JSON::object({ { "type", "assistant" },
                                    { "message",
                                        JSON::object({ { "role", "assistant" },
                                            { "content",
                                                JSON::array({ toolUse("toolu_work", world.work / "w.txt"),
                                                    toolUse("toolu_yes", world.project / "yes.txt"),
                                                    toolUse("toolu_no", world.project / "no.txt") }) } }) } })
                       .encoded());
    parser.consume(R"({"type":"result","subtype":"success","result":"done","permission_denials":)"
                   R"([{"tool_name":"Write","tool_use_id":"toolu_no","tool_input":{}}]})");
    world.runner.recordToolActivity("c-decide", parser, world.permissions, world.approved->stored());

    // Newest first.
    auto stored = world.data.activity.entries("c-decide");
    std::vector<JSON> oldestFirst(stored.rbegin(), stored.rend());
    const auto* entries = &oldestFirst;
    ASSERT_EQ(entries->size(), 3U);
    EXPECT_EQ((*entries)[0].subscript("approved"), nullptr);
    EXPECT_EQ(*(*entries)[1].subscript("approved"), JSON(true));
    EXPECT_EQ(*(*entries)[2].subscript("status"), JSON("denied"));
    EXPECT_EQ((*entries)[2].subscript("approved"), nullptr);
}

}
