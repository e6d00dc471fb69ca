#include "VellumarMacCore/Reply/ReplyPostProcessing.h"

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Reply/ActionExtractor.h"
#include "VellumarMacCore/Reply/JobControl.h"
#include "VellumarMacCore/Reply/JobSubmission.h"
#include "VellumarMacCore/Reply/Prompts.h"
#include "VellumarMacCore/Reply/ReplyAttachments.h"
#include "VellumarMacCore/Reply/RoutineDirectory.h"

#include <algorithm>
#include <set>

namespace vellumar {

namespace {

    constexpr std::string_view kRefusedFilesHeading = "(Files that could not be attached)\n";
    constexpr std::string_view kAttachedText = "Attached the file.";
    constexpr std::string_view kNotedText = "Noted.";
    constexpr std::string_view kUnreadableText = "(The reply could not be read.)";

    ActionExtractor::Context extractorContext(
        const JobSubmission& submission, const std::shared_ptr<RoutineDirectory>& routines)
    {
        ActionExtractor::Context context;
        context.botID = submission.botID;
        context.primary = submission.bot && submission.bot->primary;
        for (const auto& other : submission.otherBots)
            context.otherBotIDs.insert(other.id);
        if (routines) {
            context.routines = routines->routineIndex();
            context.routinesEnabled = routines->routinesEnabled();
            context.timeZone = routines->timeZone();
        }
        return context;
    }

    std::optional<JSON> memoryChanges(const MemoryStore::Changes& changes)
    {
        if (changes.added.empty() && changes.removed.empty())
            return std::nullopt;
        auto texts = [](const std::vector<std::string>& items) {
            return JSON(JSON::Array(items.begin(), items.end()));
        };
        return JSON::object({ { "added", texts(changes.added) }, { "removed", texts(changes.removed) } });
    }

    std::string fileIDOf(const JSON& entry)
    {
        const JSON* id = entry.subscript("fileId");
        return id && id->stringValue() ? *id->stringValue() : std::string();
    }

    // The attached copies first, then what the run wrote that is not one of them, at most the
    // number the phone lists for one reply.
    std::vector<JSON> replyFiles(std::vector<JSON> attached, const std::vector<JSON>& written)
    {
        std::set<std::string> attachedIDs;
        for (const auto& entry : attached)
            attachedIDs.insert(fileIDOf(entry));
        std::vector<JSON> files = std::move(attached);
        for (const auto& entry : written) {
            if (files.size() >= Workspaces::maxOutputFiles)
                break;
            if (!attachedIDs.contains(fileIDOf(entry)))
                files.push_back(entry);
        }
        return files;
    }

    void appendParagraph(std::string& text, std::string_view paragraph)
    {
        if (!text.empty())
            text += "\n\n";
        text += paragraph;
    }

}

FinishedReply finishReply(
    const FinishedTurn& turn, RelayData& data, const std::shared_ptr<RoutineDirectory>& routines)
{
    Workspaces::removeClaudeFiles(turn.workFolder);
    if (turn.stop.stop_requested())
        throw CancellationError();

    const JobSubmission& submission = turn.submission;
    const bool isRoutineRun = submission.routineID.has_value();
    auto extracted = ActionExtractor::extract(turn.answer.text,
        isRoutineRun ? std::vector<std::string> {} : submission.allowedActions,
        extractorContext(submission, routines));

    FinishedReply finished;
    ReplyOutput& output = finished.output;
    if (!extracted.memory.empty())
        output.memory = memoryChanges(data.memory.apply(submission.conversationID, extracted.memory));

    if (!extracted.attachments.empty())
        turn.control.onEvent(RunnerEvent::attaching());
    AttachResult attachments = attach(extracted.attachments, turn.workFolder, turn.permissions, data);
    const bool attachedAny = !attachments.attached.empty();
    output.files = replyFiles(std::move(attachments.attached),
        Workspaces::outputFiles(turn.before, Workspaces::snapshot(turn.workFolder)));

    std::string text = std::move(extracted.text);
    output.actions = std::move(extracted.actions);
    if (!extracted.reasons.empty()) {
        appendParagraph(text, Prompts::invalidActionsNote(extracted.reasons));
        if (!isRoutineRun)
            finished.actionNote = Prompts::invalidActionsNotice(extracted.reasons);
    }
    if (!turn.answer.approvalRequests.empty() && !isRoutineRun) {
        for (auto& card : data.approvals.add(submission.conversationID, turn.answer.approvalRequests))
            output.actions.push_back(std::move(card));
    }
    if (!attachments.refused.empty()) {
        std::string lines(kRefusedFilesHeading);
        for (std::size_t index = 0; index < attachments.refused.size(); ++index)
            lines += (index ? "\n- " : "- ") + attachments.refused[index];
        appendParagraph(text, lines);
    }

    if (text.empty() && output.actions.empty()) {
        if (attachedAny)
            text = kAttachedText;
        else if (!extracted.memory.empty())
            text = kNotedText;
        else
            text = kUnreadableText;
    }
    output.reply = std::move(text);
    output.context = turn.answer.context;
    output.compacted = turn.answer.compacted;
    return finished;
}

}
