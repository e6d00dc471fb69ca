// How one permission question of a Claude Code run is answered: at once from the run's
// permissions and the conversation's grants, or by asking the user through the job.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"

#include <string_view>

namespace vellumar {

// The reply object for Claude Code: allow with the question's input, its "file_path" replaced by
// where the decider found the write lands, or deny with a sentence that tells Claude Code what
// happened. Never throws; blocks the calling gate thread for as long as the user takes to answer,
// holding no lock meanwhile. Any thread, several at once.
JSON decidePermission(const JSON& question, const ClaudeReplyRunner::QuestionContext& context);

// {"behavior": "deny", "message": message}.
JSON denyReply(std::string_view message);

// Records the question's tool use as allowed because of the user, then answers `allowReply`.
JSON noteApproved(const JSON& question, ClaudeReplyRunner::ApprovedTools& approvedTools, JSON allowReply);

}
