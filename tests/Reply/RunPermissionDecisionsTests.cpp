#include "VellumarMacCore/Reply/RunPermissionDecisions.h"

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionDecider.h"
#include "VellumarMacCore/Reply/JobControl.h"
#include "tests/support/PathEscapes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace vellumar::test {

namespace {

    namespace fs = std::filesystem;

    constexpr std::string_view kNeedsConfirmation = "Refused: this needs a confirmation (only writes inside "
                                                    "folders the user made writable can be approved).";

    // A runner over a home holding a writable "project" folder whose writes the user has granted, and
    // a user who gives `answer` to every question of the jobs it makes.
    class DecisionWorld {
        TemporaryFolder m_root;
        std::string m_answer;

    public:
        explicit DecisionWorld(std::string answer = "once")
            : m_answer(std::move(answer))
            , data({ .folder = fs::canonical(m_root.path()) / "home/.local/share/Vellumar",
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

        // The gate asks on the deciding thread.
        std::shared_ptr<JobControl> asking()
        {
            return std::make_shared<JobControl>("j-1", std::nullopt, JobControl::EventHandler {},
                [this](const JSON& prompt, std::stop_token) {
                    prompts.push_back(prompt);
                    return m_answer;
                });
        }

        JSON decide(const JSON& question, std::shared_ptr<JobControl> control)
        {
            return decidePermission(
                question, { runner, "c-decide", permissions, work, std::move(control), approved });
        }

        std::vector<JSON> prompts;
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

    // The allowing reply, with the file named as the decider found it.
    JSON allowWriting(const JSON& question, std::optional<fs::path> file = std::nullopt)
    {
        JSON::Object input = *question.subscript("input")->objectValue();
        if (file)
            input["file_path"] = JSON(file->string());
        return JSON::object({ { "behavior", "allow" }, { "updatedInput", JSON(std::move(input)) } });
    }

    JSON denyWith(std::string_view message)
    {
        return JSON::object({ { "behavior", "deny" }, { "message", message } });
    }

}

// Whatever cannot be approved is refused without asking; the reply names the file where the write lands.
TEST(RunPermissionDecisions, DecidesWhereTheWriteLandsAndAsksOnlyAboutWhatTheUserMayApprove)
{
    DecisionWorld world;
    PathEscapes escapes(world.data.resolver.home, world.work, world.project);
    std::vector<PathEscape> cases = escapes.cases;
    cases.push_back({ "the work folder", world.work / "notes/plan.md", PathEscape::Decision::allowWorkspace,
        world.work / "notes/plan.md" });
    cases.push_back({ "outside every folder", "/etc/passwd", PathEscape::Decision::deny, {} });
    cases.push_back({ "an upload", world.work / "uploads/photo.jpg", PathEscape::Decision::deny, {} });
    auto control = world.asking();
    for (const auto& escape : cases) {
        SCOPED_TRACE(escape.name);
        std::size_t asked = world.prompts.size();
        JSON question = writeQuestion(escape.path, escape.name);
        EXPECT_EQ(world.decide(question, control),
            escape.decision == PathEscape::Decision::deny ? denyWith(kNeedsConfirmation)
                                                          : allowWriting(question, escape.lands));
        bool asks = escape.decision == PathEscape::Decision::ask;
        ASSERT_EQ(world.prompts.size(), asked + (asks ? 1 : 0));
        if (asks) {
            EXPECT_EQ(*world.prompts.back().subscript("path"),
                JSON(homeRelativePath(escape.lands, world.data.resolver.home)));
        }
        // Allowed by the work folder, not by the user.
        EXPECT_EQ(world.approved->stored().contains(escape.name), asks);
    }
    for (const JSON& question : { JSON("Write"),
             JSON::object({ { "tool_name", "Bash" }, { "input", JSON::object({ { "command", "ls" } }) } }) })
        EXPECT_EQ(world.decide(question, control), denyWith(kNeedsConfirmation)) << question.encoded();
}

// The scope a lasting answer grants covers the conversation's later questions, in later runs too; other
// answers are asked again.
TEST(RunPermissionDecisions, EachAnswerHasItsReply)
{
    const std::string userSaidNo
        = "The user said no. Do not work around it; say briefly what you wanted to do "
          "and why, and end the reply.";
    struct Case {
        std::string answer;
        std::optional<std::string> denial; // nullopt: allowed
        bool grantsTheScope;
    };
    const Case cases[] {
        { "once", std::nullopt, false },
        { "conversation", std::nullopt, true },
        { "always", std::nullopt, true },
        { "deny", userSaidNo, false },
        { "busy", std::string(kNeedsConfirmation), false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.answer);
        DecisionWorld world(testCase.answer);
        JSON question = writeQuestion(world.project / "src/main.cpp", "toolu_q");
        EXPECT_EQ(world.decide(question, world.asking()),
            testCase.denial ? denyWith(*testCase.denial) : allowWriting(question));
        ASSERT_EQ(world.prompts.size(), 1U);
        EXPECT_EQ(world.approved->stored().contains("toolu_q"), !testCase.denial);
        EXPECT_EQ(world.runner.grants().covers("c-decide", world.project / "src/main.cpp"),
            testCase.grantsTheScope);
        EXPECT_FALSE(world.runner.grants().covers("c-other", world.project / "src/main.cpp"));
        JSON again = writeQuestion(world.project / "src/main.cpp", "toolu_again");
        EXPECT_EQ(world.decide(again, world.asking()),
            testCase.denial ? denyWith(*testCase.denial) : allowWriting(again));
        EXPECT_EQ(world.prompts.size(), testCase.grantsTheScope ? 1U : 2U);
    }
}

TEST(RunPermissionDecisions, WithoutAQuestionHandlerOnlyAlwaysPlacesAreAllowed)
{
    DecisionWorld world;
    // An empty place and the root would cover every file.
    world.permissions.alwaysWrites = { "", "/", world.project / "docs" };
    auto control = std::make_shared<JobControl>("compact");
    EXPECT_EQ(world.decide(writeQuestion(world.project / "src/a.cpp"), control),
        denyWith(
            "Refused: nobody can confirm during this run (a routine or a summary). Places allowed \"always\" "
            "in the bot settings work."));
    JSON always = writeQuestion(world.project / "docs/guide.md", "toolu_always");
    EXPECT_EQ(world.decide(always, control), allowWriting(always));
    EXPECT_EQ(world.approved->stored(), std::set<std::string> { "toolu_always" });
}

}
