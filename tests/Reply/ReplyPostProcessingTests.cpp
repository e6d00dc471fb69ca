#include "VellumarMacCore/Reply/ReplyPostProcessing.h"

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "VellumarMacCore/Reply/JobControl.h"
#include "VellumarMacCore/Reply/JobSubmission.h"
#include "VellumarMacCore/Reply/Prompts.h"
#include "VellumarMacCore/Reply/ReplyRunner.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WorkFolderFiles.h"

#include <gtest/gtest.h>

#include <chrono>

namespace vellumar::test {

namespace {

    namespace fs = std::filesystem;

    constexpr std::string_view kConversation = "c-finish";

    std::string block(std::string_view body) { return "```action\n" + std::string(body) + "\n```\n"; }

    std::string attachBlock(const fs::path& file)
    {
        return block(JSON::object({ { "type", "attach_file" }, { "path", JSON(file.string()) } }).encoded());
    }

    const std::string kAskBot = block(R"({"type":"ask_bot","botId":"b2","message":"Hi"})");

    // One conversation's work folder and a run of bot "b1" in it, with the work folder's snapshot
    // taken as the run took it before Claude Code started.
    class FinishWorld {
        TemporaryFolder m_root;

    public:
        FinishWorld()
            : data({ .folder = fs::canonical(m_root.path()) / "home/.local/share/Vellumar",
                .home = m_root.path() / "home" })
            , work(data.workspaces.folder(kConversation))
            , control("j-1")
            , before(Workspaces::snapshot(work))
        {
            submission.conversationID = kConversation;
            submission.botID = "b1";
            submission.otherBots.push_back(OtherBot { .id = "b2", .name = "Helper", .role = "helps" });
            submission.allowedActions = { "ask_bot" };
        }

        FinishedReply finish(std::string text, std::vector<ApprovalStore::Request> requests = {})
        {
            answer.text = std::move(text);
            answer.approvalRequests = std::move(requests);
            return finishReply({ .submission = submission,
                                   .control = control,
                                   .workFolder = work,
                                   .permissions = permissions,
                                   .before = before,
                                   .answer = answer },
                data, nullptr);
        }

        RelayData data;
        fs::path work;
        JobControl control;
        Workspaces::Snapshot before;
        JobSubmission submission;
        ResolvedPermissions permissions;
        ClaudeReplyRunner::Answer answer;
    };

}

TEST(ReplyPostProcessing, TheUserNeverGetsAnEmptyBubbleUnlessActionsCome)
{
    FinishWorld world;
    writeText(world.work / "report.pdf", "%PDF");
    const std::pair<std::string, std::string> cases[] = {
        { "", "(The reply could not be read.)" },
        { block(R"({"type":"remember","text":"tea"})"), "Noted." },
        { attachBlock(world.work / "report.pdf"), "Attached the file." },
        { kAskBot, "" },
        { "Two files." + attachBlock(world.work / "report.pdf") + attachBlock("/etc/hostname")
                + attachBlock(world.work / "gone.txt"),
            "Two files.\n\n(Files that could not be attached)\n- hostname: this bot cannot read that place "
            "(allow it under \"Mac folders\" in the bot settings)\n- gone.txt: the file was not found" },
    };
    for (const auto& [reply, expected] : cases) {
        SCOPED_TRACE(reply);
        EXPECT_EQ(world.finish(reply).output.reply, expected);
    }
}

TEST(ReplyPostProcessing, FilesHoldTheAttachedCopiesOnceThenWrittenOnesUpToTwenty)
{
    FinishWorld world;
    writeText(world.work / "report.pdf", "%PDF");
    auto files = world.finish(attachBlock(world.work / "report.pdf")).output.files;
    // The copy is new since the run began too; it must not come back as a written file.
    ASSERT_EQ(files.size(), 2U);
    EXPECT_EQ(fileIDOf(files[1]), "report.pdf");

    FinishWorld full;
    std::string text = "Files:\n";
    for (int index = 0; index < 5; ++index) {
        fs::path file = full.work / "picked" / ("p" + std::to_string(index) + ".txt");
        writeText(file, "p");
        text += attachBlock(file);
    }
    // Written files newer than the copies, so that twenty of them are there to choose from.
    for (int index = 0; index < 30; ++index) {
        fs::path file = full.work / "written" / ("w" + std::to_string(index) + ".txt");
        writeText(file, "w");
        fs::last_write_time(file, fs::file_time_type::clock::now() + std::chrono::hours(1));
    }
    files = full.finish(text).output.files;
    ASSERT_EQ(files.size(), 20U);
    for (std::size_t index = 0; index < files.size(); ++index) {
        SCOPED_TRACE(index);
        auto id = fileIDOf(files[index]);
        EXPECT_TRUE(index < 5
                ? id.starts_with("attached/") && id.ends_with("/p" + std::to_string(index) + ".txt")
                : id.starts_with("written/"))
            << id;
    }
}

TEST(ReplyPostProcessing, RoutineRunGetsNoActionsCardsOrNote)
{
    FinishWorld world;
    world.submission.routineID = "r-daily";
    auto finished = world.finish("Report.\n" + kAskBot, { { "bash", "make test" } });
    EXPECT_TRUE(finished.output.actions.empty());
    EXPECT_FALSE(finished.actionNote);
    // The refused block is still told to the user.
    EXPECT_EQ(finished.output.reply,
        "Report.\n\n" + Prompts::invalidActionsNote({ "ask_bot is not available now" }));
}

}
