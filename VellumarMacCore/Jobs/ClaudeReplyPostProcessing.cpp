// What a finished turn becomes for the job: the reply the user reads and the files the run wrote.
#include "VellumarMacCore/Jobs/ClaudeReplyRunner.h"

namespace vellumar {

ReplyOutput ClaudeReplyRunner::finishReply(
    const Turn& turn, const Answer& answer, const Workspaces::Snapshot& before)
{
    Workspaces::removeClaudeFiles(turn.workFolder);
    if (turn.stop.stop_requested())
        throw CancellationError();
    // FIXME: action blocks, memory operations, attached files, approval cards and the note about
    // refused blocks are not taken out of the reply yet; until they are, the reply goes out as
    // Claude Code wrote it.
    ReplyOutput output;
    output.reply = answer.text;
    output.context = answer.context;
    output.compacted = answer.compacted;
    output.files = Workspaces::outputFiles(before, Workspaces::snapshot(turn.workFolder));
    return output;
}

}
