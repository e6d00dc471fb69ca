// What a finished turn becomes for the job: the reply without its action blocks, memory applied,
// files attached, approval cards made, and the note about refused blocks kept for the next turn.
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"

#include "VellumarMacCore/Reply/ReplyPostProcessing.h"

namespace vellumar {

ReplyOutput ClaudeReplyRunner::finishReply(
    const Turn& turn, const Answer& answer, const Workspaces::Snapshot& before)
{
    FinishedReply finished = vellumar::finishReply({ .submission = turn.submission,
                                                       .control = *turn.control,
                                                       .workFolder = turn.workFolder,
                                                       .permissions = turn.permissions,
                                                       .before = before,
                                                       .answer = answer,
                                                       .stop = turn.stop },
        m_data, routineDirectory());
    if (finished.actionNote)
        keepForNextTurn(turn.submission.conversationID, std::move(*finished.actionNote));
    return finished.output;
}

void ClaudeReplyRunner::keepForNextTurn(const std::string& conversationID, std::string note)
{
    std::lock_guard guard(m_lock);
    m_nextTurnNotes[conversationID].push_back(std::move(note));
}

}
