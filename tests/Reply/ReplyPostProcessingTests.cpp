#include "VellumarMacCore/Reply/ReplyPostProcessing.h"

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "VellumarMacCore/Reply/JobControl.h"
#include "VellumarMacCore/Reply/JobSubmission.h"
#include "VellumarMacCore/Reply/ReplyRunner.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

namespace vellumar::test {

namespace {

    namespace fs = std::filesystem;

    constexpr std::string_view kConversation = "c-finish";

    std::string block(std::string_view body) { return "```action\n" + std::string(body) + "\n```\n"; }

    std::string attachBlock(const fs::path& file)
    {
        return block(JSON::object({ { "type", "attach_file" }, { "path", JSON(file.string()) } }).encoded());
    }

    void writeText(const fs::path& file, std::string_view text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

    std::string fileIDOf(const JSON& entry)
    {
        const JSON* id = entry.subscript("fileId");
        return id && id->stringValue() ? *id->stringValue() : std::string();
    }

    class FinishWorld {
        TemporaryFolder m_root;

    public:
        FinishWorld()
            : data({ .folder = fs::canonical(m_root.path()) / "home/.local/share/Vellumar",
                .home = m_root.path() / "home" })
            , work(data.workspaces.folder(kConversation))
            , control("j-1", std::nullopt, [this](const RunnerEvent& event) {
                std::lock_guard guard(m_eventsLock);
                m_events.push_back(event.kind);
            })
        {
            submission.conversationID = kConversation;
            submission.botID = "b1";
            submission.otherBots.push_back(OtherBot { .id = "b2", .name = "Helper", .role = "helps" });
            submission.allowedActions = { "ask_bot" };
        }

        // Takes the snapshot that the run would have taken before Claude Code started.
        void startRun() { before = Workspaces::snapshot(work); }

        FinishedReply finish(
            std::string text, std::vector<ApprovalStore::Request> requests = {}, std::stop_token stop = {})
        {
            answer.text = std::move(text);
            answer.approvalRequests = std::move(requests);
            return finishReply({ .submission = submission,
                                   .control = control,
                                   .workFolder = work,
                                   .permissions = permissions,
                                   .before = before,
                                   .answer = answer,
                                   .stop = stop },
                data, nullptr);
        }

        std::vector<RunnerEvent::Kind> events()
        {
            std::lock_guard guard(m_eventsLock);
            return m_events;
        }

        RelayData data;
        fs::path work;
        JobControl control;
        JobSubmission submission;
        ResolvedPermissions permissions;
        Workspaces::Snapshot before;
        ClaudeReplyRunner::Answer answer;

    private:
        std::mutex m_eventsLock;
        std::vector<RunnerEvent::Kind> m_events;
    };

    const std::string kAskBot = block(R"({"type":"ask_bot","botId":"b2","message":"Hi"})");

}

TEST(ReplyPostProcessing, PlainReplyPassesThroughWithTheRunsFiles)
{
    FinishWorld world;
    world.startRun();
    writeText(world.work / "out.txt", "made");
    auto finished = world.finish("Here you go.");
    EXPECT_EQ(finished.output.reply, "Here you go.");
    ASSERT_EQ(finished.output.files.size(), 1U);
    EXPECT_EQ(fileIDOf(finished.output.files[0]), "out.txt");
    EXPECT_TRUE(finished.output.actions.empty());
    EXPECT_FALSE(finished.output.memory);
    EXPECT_FALSE(finished.actionNote);
    EXPECT_TRUE(world.events().empty());
}

TEST(ReplyPostProcessing, OnlyARememberBlockIsNoted)
{
    FinishWorld world;
    world.startRun();
    auto finished = world.finish(block(R"({"type":"remember","text":"Prefers  tea"})"));
    EXPECT_EQ(finished.output.reply, "Noted.");
    EXPECT_EQ(finished.output.memory,
        JSON::object({ { "added", JSON::array({ "Prefers tea" }) }, { "removed", JSON::array({}) } }));
    ASSERT_EQ(world.data.memory.memories(kConversation).size(), 1U);
}

TEST(ReplyPostProcessing, RememberingWhatIsAlreadyKnownStillReadsNotedWithoutMemoryChanges)
{
    FinishWorld world;
    world.startRun();
    world.finish(block(R"({"type":"remember","text":"Prefers tea"})"));
    auto again = world.finish(block(R"({"type":"remember","text":"Prefers tea"})"));
    EXPECT_EQ(again.output.reply, "Noted.");
    EXPECT_FALSE(again.output.memory);
}

TEST(ReplyPostProcessing, OnlyAnAttachmentReadsAttachedAndIsListedOnce)
{
    FinishWorld world;
    world.startRun();
    writeText(world.work / "report.pdf", "%PDF");
    auto finished = world.finish(attachBlock(world.work / "report.pdf"));
    EXPECT_EQ(finished.output.reply, "Attached the file.");
    ASSERT_EQ(finished.output.files.size(), 2U);
    std::string copy = fileIDOf(finished.output.files[0]);
    EXPECT_TRUE(copy.starts_with("attached/") && copy.ends_with("/report.pdf")) << copy;
    // The copy is also a file new since the run began; it must not come back as a written one.
    EXPECT_EQ(fileIDOf(finished.output.files[1]), "report.pdf");
    EXPECT_EQ(world.events(), std::vector<RunnerEvent::Kind> { RunnerEvent::Kind::attaching });
}

TEST(ReplyPostProcessing, FilesHoldTheAttachedOnesThenWrittenOnesUpToTwenty)
{
    FinishWorld world;
    world.startRun();
    std::string text = "Files:\n";
    for (int index = 0; index < 5; ++index) {
        fs::path file = world.work / "picked" / ("p" + std::to_string(index) + ".txt");
        writeText(file, "p");
        text += attachBlock(file);
    }
    for (int index = 0; index < 30; ++index)
        writeText(world.work / "written" / ("w" + std::to_string(index) + ".txt"), "w");
    auto finished = world.finish(text);
    ASSERT_EQ(finished.output.files.size(), 20U);
    for (int index = 0; index < 5; ++index) {
        SCOPED_TRACE(index);
        EXPECT_TRUE(fileIDOf(finished.output.files[index]).starts_with("attached/"));
        EXPECT_TRUE(fileIDOf(finished.output.files[index]).ends_with("/p" + std::to_string(index) + ".txt"));
    }
    for (std::size_t index = 5; index < 20; ++index)
        EXPECT_FALSE(fileIDOf(finished.output.files[index]).starts_with("attached/")) << index;
}

TEST(ReplyPostProcessing, ActionOnlyReplyStaysEmpty)
{
    FinishWorld world;
    world.startRun();
    auto finished = world.finish(kAskBot);
    EXPECT_EQ(finished.output.reply, "");
    ASSERT_EQ(finished.output.actions.size(), 1U);
    EXPECT_EQ(*finished.output.actions[0].subscript("type"), JSON("ask_bot"));
}

TEST(ReplyPostProcessing, ApprovalCardsFollowTheActions)
{
    FinishWorld world;
    world.startRun();
    auto finished = world.finish("Done.\n" + kAskBot, { { "bash", "make test" } });
    ASSERT_EQ(finished.output.actions.size(), 2U);
    EXPECT_EQ(*finished.output.actions[0].subscript("type"), JSON("ask_bot"));
    EXPECT_EQ(*finished.output.actions[1].subscript("type"), JSON("approve_operation"));
    EXPECT_EQ(*finished.output.actions[1].subscript("kind"), JSON("bash"));
    EXPECT_EQ(finished.output.reply, "Done.");
}

TEST(ReplyPostProcessing, RoutineRunGetsNoActionsCardsOrNote)
{
    FinishWorld world;
    world.submission.routineID = "r-daily";
    world.startRun();
    auto finished = world.finish("Report.\n" + kAskBot, { { "bash", "make test" } });
    EXPECT_TRUE(finished.output.actions.empty());
    EXPECT_FALSE(finished.actionNote);
    // The refused block is still told to the user.
    EXPECT_TRUE(finished.output.reply.starts_with("Report.\n\n")) << finished.output.reply;
    EXPECT_GT(finished.output.reply.size(), std::string("Report.\n\n").size());
}

TEST(ReplyPostProcessing, InvalidBlockAloneBecomesTheNoteWithoutLeadingBlankLine)
{
    FinishWorld world;
    world.startRun();
    auto finished = world.finish(block("{not json"));
    EXPECT_FALSE(finished.output.reply.empty());
    EXPECT_FALSE(finished.output.reply.starts_with("\n"));
    EXPECT_NE(finished.output.reply, "(The reply could not be read.)");
    EXPECT_TRUE(finished.actionNote);
    EXPECT_NE(finished.output.reply.find("the JSON is not valid"), std::string::npos)
        << finished.output.reply;
}

TEST(ReplyPostProcessing, FailedAttachmentIsListedInsteadOfAFallbackText)
{
    FinishWorld world;
    world.startRun();
    auto finished = world.finish(attachBlock(world.work / "missing.pdf"));
    EXPECT_EQ(
        finished.output.reply, "(Files that could not be attached)\n- missing.pdf: the file was not found");
    EXPECT_TRUE(finished.output.files.empty());
}

TEST(ReplyPostProcessing, RefusedFilesFollowTheTextAfterABlankLine)
{
    FinishWorld world;
    world.startRun();
    writeText(world.work / "ok.txt", "ok");
    auto finished = world.finish("Two files." + attachBlock(world.work / "ok.txt")
        + attachBlock("/etc/hostname") + attachBlock(world.work / "gone.txt"));
    EXPECT_EQ(finished.output.reply,
        "Two files.\n\n(Files that could not be attached)\n"
        "- hostname: this bot cannot read that place (allow it under \"Mac folders\" in the bot settings)\n"
        "- gone.txt: the file was not found");
}

TEST(ReplyPostProcessing, EmptyReplyIsMarkedUnreadable)
{
    FinishWorld world;
    world.startRun();
    EXPECT_EQ(world.finish("").output.reply, "(The reply could not be read.)");
}

TEST(ReplyPostProcessing, StoppedJobChangesNothingButClaudesFiles)
{
    FinishWorld world;
    world.startRun();
    writeText(world.work / "CLAUDE.md", "steer");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(
        world.finish(block(R"({"type":"remember","text":"x"})"), { { "bash", "ls" } }, stop.get_token()),
        CancellationError);
    EXPECT_FALSE(fs::exists(world.work / "CLAUDE.md"));
    EXPECT_TRUE(world.data.memory.memories(kConversation).empty());
}

TEST(ReplyPostProcessing, ContextAndCompactionAreHandedThrough)
{
    FinishWorld world;
    world.startRun();
    world.answer.context = JSON::object({ { "tokens", 1200 } });
    world.answer.compacted = JSON::object({ { "tokens", 300 } });
    auto finished = world.finish("Hi");
    EXPECT_EQ(finished.output.context, JSON::object({ { "tokens", 1200 } }));
    EXPECT_EQ(finished.output.compacted, JSON::object({ { "tokens", 300 } }));
}

}
