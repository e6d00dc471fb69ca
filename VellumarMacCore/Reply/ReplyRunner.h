// The interface through which the job manager and the routine scheduler have Claude Code write a
// reply, and the router clears or compacts a conversation.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Permissions/PermissionSettings.h"
#include "VellumarMacCore/Reply/BotProfile.h"
#include "VellumarMacCore/Reply/JobControl.h"
#include "VellumarMacCore/Reply/JobRecords.h"
#include "VellumarMacCore/Reply/JobSubmission.h"

#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

namespace vellumar {

// Thrown by a run or a compaction that was stopped; the job then ends as stopped, not as failed.
struct CancellationError : std::exception {
    // What the user must be told of the stopped run all the same: what it left in their repositories
    // that the Git protection could not undo.
    std::optional<std::string> note = std::nullopt;

    CancellationError() = default;
    explicit CancellationError(std::optional<std::string> told)
        : note(std::move(told))
    {
    }
    const char* what() const noexcept override { return "The work was stopped."; }
};

// Whether clearing a conversation also empties its work folder.
enum class WorkFolder { keep, clear };

struct ClearedConversation {
    bool hadSession { false }; // a Claude Code session was stored for the conversation
    bool workspaceCleared { false }; // the work folder was emptied without error
};

struct CompactionRequest {
    std::string conversationID;
    std::string botID;
    std::optional<BotProfile> bot;
    std::optional<PermissionSettings> permissions;
};

struct CompactedConversation {
    std::string summary;
    std::optional<JSON> context;
};

// Every operation blocks the calling thread and takes the conversation's lock for its whole length,
// so operations on one conversation run one after the other. Implementations are shared by all
// threads at once.
class ReplyRunner {
public:
    virtual ~ReplyRunner() = default;

    // One reply run for one job. Reports progress and asks questions through `control`, which it may
    // use from several threads. Once `stop` is requested it ends promptly, by returning or by
    // throwing CancellationError; failures the user should see are RelayHTTPError.
    virtual ReplyOutput run(
        const JobSubmission& submission, std::shared_ptr<JobControl> control, std::stop_token stop)
        = 0;

    // Forgets the conversation's Claude Code session with its grants and notes, and with
    // WorkFolder::clear empties its work folder. Never throws.
    virtual ClearedConversation clearConversation(const std::string& conversationID, WorkFolder workFolder)
        = 0;

    // Summarises the conversation into a new Claude Code session. Throws RelayHTTPError for what the
    // phone should see and CancellationError once `stop` is requested.
    virtual CompactedConversation compact(const CompactionRequest& request, std::stop_token stop) = 0;
};

}
