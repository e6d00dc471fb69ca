// Clearing and compacting a conversation, each under the conversation's lock so that it waits for
// a reply being written and a later reply waits for it.
#include "VellumarMacCore/Jobs/ClaudeReplyRunner.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"

namespace vellumar {

ClearedConversation ClaudeReplyRunner::clearConversation(
    const std::string& conversationID, WorkFolder workFolder)
{
    ConversationLocks::Hold hold(m_locks, conversationID);
    ClearedConversation cleared;
    cleared.hadSession = m_data.sessions.forgetSession(conversationID);
    m_grants.remove(conversationID);
    {
        std::lock_guard guard(m_lock);
        m_actionNotes.erase(conversationID);
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
    auto compacted = compactSession(
        request.conversationID, request.botID, request.bot, permissions, workFolder, claude, actions, stop);
    Workspaces::removeClaudeFiles(workFolder);
    return compacted;
}

CompactedConversation ClaudeReplyRunner::compactSession(const std::string&, const std::string&,
    const std::optional<BotProfile>&, const ResolvedPermissions&, const std::filesystem::path&,
    const std::filesystem::path&, Prompts::ActionsBlock, std::stop_token stop)
{
    if (stop.stop_requested())
        throw CancellationError();
    // FIXME: the summarise run and the hand-over run are not written yet; until they are, a
    // compaction fails and an automatic one leaves the turn in its old session.
    throw RelayHTTPError(500, "internal", "Something went wrong on the Mac.");
}

}
