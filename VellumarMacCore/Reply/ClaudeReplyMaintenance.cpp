// Clearing and compacting a conversation, each under the conversation's lock so that it waits for
// a reply being written and a later reply waits for it.
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"

#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Reply/ActionExtractor.h"

namespace vellumar {

namespace {

    // A compaction's runs have their own limit, whatever the job's: summarising a long session is
    // slow, and the failure texts name this limit.
    constexpr double kCompactionTimeLimit = 600;
    constexpr std::size_t kSummaryCharacters = 6000;
    constexpr std::string_view kCompactionJobID = "compact";

}

ClearedConversation ClaudeReplyRunner::clearConversation(
    const std::string& conversationID, WorkFolder workFolder)
{
    ConversationLocks::Hold hold(m_locks, conversationID);
    ClearedConversation cleared;
    cleared.hadSession = m_data.sessions.forgetSession(conversationID);
    m_grants.remove(conversationID);
    {
        std::lock_guard guard(m_lock);
        m_nextTurnNotes.erase(conversationID);
    }
    if (workFolder == WorkFolder::clear)
        cleared.workspaceCleared = m_data.workspaces.clear(conversationID);
    return cleared;
}

CompactedConversation ClaudeReplyRunner::compact(const CompactionRequest& request, std::stop_token stop)
{
    ConversationLocks::Hold hold(m_locks, request.conversationID);
    auto claude = locateClaude();
    auto permissions = resolvePermissions(request.permissions);
    auto workFolder = m_data.workspaces.folder(request.conversationID);
    auto actions = m_data.sessions.actions(request.conversationID, request.botID)
        ? Prompts::ActionsBlock::included
        : Prompts::ActionsBlock::omitted;
    return tellingWhatStayed<CompactedConversation>(
        [&](std::vector<GitGuard::MovedChange>& stayed) {
            return compactSession(request.conversationID, request.botID, request.bot, permissions, workFolder,
                claude, actions, stop, stayed);
        },
        &CompactedConversation::summary, stop);
}

CompactedConversation ClaudeReplyRunner::compactSession(const std::string& conversationID,
    const std::string& botID, const std::optional<BotProfile>& bot, const ResolvedPermissions& permissions,
    const std::filesystem::path& workFolder, const std::filesystem::path& claude,
    Prompts::ActionsBlock actions, std::stop_token stop, std::vector<GitGuard::MovedChange>& stayed)
{
    auto sessionID = m_data.sessions.sessionID(conversationID, botID);
    if (!sessionID)
        throw RelayHTTPError(409, "no_session",
            "There is nothing to summarise yet (the conversation was cleared or has not started).");

    ProcessRun run { .conversationID = conversationID,
        .permissions = permissions,
        .workFolder = workFolder,
        .claude = claude,
        .settings = writeSettingsFile(conversationID, workFolder, permissions),
        .systemPrompt = systemPromptFor(botID, bot, actions),
        .autoCompactTokens = std::nullopt,
        .resumeSessionID = sessionID,
        .input = Prompts::summaryRequest(),
        .timeLimit = kCompactionTimeLimit,
        // Nobody can be asked during a compaction, and no job's progress is touched by it.
        .control = std::make_shared<JobControl>(std::string(kCompactionJobID)),
        .stop = std::move(stop),
        .stayed = &stayed };

    RunOutcome summarised = runLeavingNoInstructionFiles(run);
    if (summarised.isLostSession()) {
        m_data.sessions.endSession(conversationID);
        throw RelayHTTPError(
            409, "no_session", "The earlier conversation is no longer on the Mac. Start a new one.");
    }
    std::string text = failureMessage(summarised, permissions.bash, kCompactionTimeLimit);
    std::string summary = prefixCharacters(
        Prompts::stripEarlierAttachments(ActionExtractor::stripBlocks(text)), kSummaryCharacters);
    if (summary.empty())
        throw RelayHTTPError(502, "empty_reply", "The summary could not be made.");

    run.resumeSessionID.reset();
    run.input = Prompts::summaryHandover(summary);
    RunOutcome handedOver = runLeavingNoInstructionFiles(run);
    failureMessage(handedOver, permissions.bash, kCompactionTimeLimit);
    const auto& parser = handedOver.process.parser;
    if (!parser.sessionID())
        throw RelayHTTPError(
            502, "claude_failed", "A new conversation could not be started from the summary.");

    m_data.sessions.recordReply(conversationID, botID, *parser.sessionID(),
        { .state = std::nullopt,
            .actions = actions == Prompts::ActionsBlock::included,
            .contextTokens = parser.contextTokens(),
            .summary = summary });
    return { summary, parser.contextJSON() };
}

}
