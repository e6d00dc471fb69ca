#include "VellumarMacCore/Reply/RunPermissionDecisions.h"

#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionDecider.h"
#include "VellumarMacCore/Reply/JobControl.h"

#include <algorithm>
#include <chrono>

namespace vellumar {

namespace {

    constexpr std::string_view kNeedsConfirmation = "Refused: this needs a confirmation (only writes inside "
                                                    "folders the user made writable can be approved).";
    constexpr std::string_view kNobodyCanConfirm
        = "Refused: nobody can confirm during this run (a routine or a summary). Places allowed \"always\" "
          "in the bot settings work.";
    constexpr std::string_view kUserSaidNo = "The user said no. Do not work around it; say briefly what you "
                                             "wanted to do and why, and end the reply.";
    constexpr std::string_view kNoAnswer = "Refused: the user did not answer in time.";
    constexpr std::string_view kStopped = "Refused: the work was stopped.";

    constexpr std::size_t kRequestIDBytes = 6;
    constexpr auto kQuestionLifetime = std::chrono::seconds(600);

    // The input as Claude Code sent it, except that the file is named as the decider found it: the
    // path as written may reach it through links that could still change, or lead elsewhere.
    JSON allowReply(const JSON& input, const std::filesystem::path& file)
    {
        JSON::Object members = *input.objectValue();
        members["file_path"] = JSON(file.string());
        return JSON::object({ { "behavior", "allow" }, { "updatedInput", JSON(std::move(members)) } });
    }

    bool isInsideAlwaysWritable(const std::filesystem::path& path, const ResolvedPermissions& permissions)
    {
        return std::any_of(permissions.alwaysWrites.begin(), permissions.alwaysWrites.end(),
            [&](const std::filesystem::path& folder) { return isPathCoveredBy(path, folder); });
    }

    // The user's answer to a question the gate thread waits for; the job manager always gives one.
    JSON actOnAnswer(std::string_view answer, const JSON& question, const PermissionDecider::Target& target,
        const ClaudeReplyRunner::QuestionContext& context, JSON allowed)
    {
        if (answer == "conversation" || answer == "always") {
            // "always" lasts through the bot's settings on the phone; here it is as long as "conversation".
            context.runner.grants().add(context.conversationKey, target.scope);
            return noteApproved(question, *context.approvedTools, std::move(allowed));
        }
        if (answer == "once")
            return noteApproved(question, *context.approvedTools, std::move(allowed));
        if (answer == "deny")
            return denyReply(kUserSaidNo);
        if (answer == "timeout")
            return denyReply(kNoAnswer);
        if (answer == "canceled")
            return denyReply(kStopped);
        return denyReply(kNeedsConfirmation);
    }

}

JSON denyReply(std::string_view message)
{
    return JSON::object({ { "behavior", "deny" }, { "message", JSON(message) } });
}

JSON noteApproved(const JSON& question, ClaudeReplyRunner::ApprovedTools& approvedTools, JSON allowed)
{
    if (const JSON* id = question.subscript("tool_use_id"); id && id->stringValue())
        approvedTools.insert(*id->stringValue());
    return allowed;
}

JSON decidePermission(const JSON& question, const ClaudeReplyRunner::QuestionContext& context)
{
    try {
        const JSON* name = question.subscript("tool_name");
        std::string_view tool = name && name->stringValue() ? std::string_view(*name->stringValue()) : "";
        const JSON* input = question.subscript("input");
        auto outcome = PermissionDecider::decide(tool, input, context.permissions, context.workFolder);
        if (outcome.kind == PermissionDecider::Outcome::Kind::deny)
            return denyReply(kNeedsConfirmation);
        // Only an object with a "file_path" gets past the decider.
        JSON allowed = allowReply(*input, outcome.file);
        if (outcome.kind == PermissionDecider::Outcome::Kind::allowWorkspace)
            return allowed;
        if (!outcome.target)
            return denyReply(kNeedsConfirmation);

        const auto& target = *outcome.target;
        if (isInsideAlwaysWritable(target.path, context.permissions)
            || context.runner.grants().covers(context.conversationKey, target.path))
            return noteApproved(question, *context.approvedTools, std::move(allowed));
        if (!context.control->canAsk())
            return denyReply(kNobodyCanConfirm);

        std::string requestID = "p-" + RelayIDs::randomHex(kRequestIDBytes);
        JSON prompt = PermissionDecider::requestJSON(target, requestID,
            std::chrono::system_clock::now() + kQuestionLifetime, context.runner.data().resolver.home);
        // Blocks this gate thread only; the job manager answers every question, also when it expires
        // or the job stops, so the thread always wakes.
        std::string answer = context.control->ask(prompt, context.runEnded);
        return actOnAnswer(answer, question, target, context, std::move(allowed));
    } catch (...) {
        // The gate thread must always answer; a failure here refuses rather than reaching it.
        return denyReply(kNeedsConfirmation);
    }
}

}
