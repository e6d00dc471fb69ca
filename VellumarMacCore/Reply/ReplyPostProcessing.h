// What a finished turn becomes for the job: the reply without its action blocks, the memory it
// changed, the files it attached and wrote, the approval cards it asked for, and a text whenever
// the reply would otherwise reach the user as an empty bubble.
#pragma once

#include "VellumarMacCore/ConversationData/Workspaces.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"
#include "VellumarMacCore/Reply/JobRecords.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

namespace vellumar {

class JobControl;
class RelayData;
class RoutineDirectory;
struct JobSubmission;
struct ResolvedPermissions;

// One turn as the run left it.
struct FinishedTurn {
    const JobSubmission& submission;
    JobControl& control;
    const std::filesystem::path& workFolder;
    const ResolvedPermissions& permissions;
    // The work folder before Claude Code ran, to tell which files the run wrote.
    const Workspaces::Snapshot& before;
    const ClaudeReplyRunner::Answer& answer;
    std::stop_token stop;
};

struct FinishedReply {
    ReplyOutput output;
    // The notice about refused action blocks for the bot's next turn; the caller keeps it as the
    // conversation's action note. Never set for a routine's run.
    std::optional<std::string> actionNote;
};

// Throws CancellationError when the job was stopped after Claude Code's files were removed and
// before anything else changed. Runs inside the conversation's lock; `routines` may be null.
// Applies memory operations and adds pending approvals through the stores' own locks.
FinishedReply finishReply(
    const FinishedTurn& turn, RelayData& data, const std::shared_ptr<RoutineDirectory>& routines);

}
