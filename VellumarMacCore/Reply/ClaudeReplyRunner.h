// The reply runner: turns one chat job into one Claude Code run under its conversation's lock, with
// the bot's resolved permissions, the turn's text and notices, a private temporary folder, a filtered
// environment, a permission gate for the run's questions and a session that continues from the last
// turn; then maps what Claude Code left behind to the reply or to the failure the user sees.
#pragma once

#include "VellumarMacCore/ClaudeCode/ClaudeProcess.h"
#include "VellumarMacCore/ClaudeCode/ClaudeStreamParser.h"
#include "VellumarMacCore/ClaudeCode/CommandGit.h"
#include "VellumarMacCore/ConversationData/ApprovalStore.h"
#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/ConversationData/SessionStore.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/GitProtection/GitProtection.h"
#include "VellumarMacCore/Permissions/PermissionGrants.h"
#include "VellumarMacCore/Permissions/PermissionHelper.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "VellumarMacCore/Reply/ConversationLocks.h"
#include "VellumarMacCore/Reply/MovedAsideActivity.h"
#include "VellumarMacCore/Reply/MovedAsideFiles.h"
#include "VellumarMacCore/Reply/Prompts.h"
#include "VellumarMacCore/Reply/ReplyRunner.h"
#include "VellumarMacCore/Reply/RoutineDirectory.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

// One instance for the life of the application, shared by every job's thread. Its own lock guards
// only the routine directory and the next turns' notes and is never held while anything else runs.
class ClaudeReplyRunner final : public ReplyRunner {
public:
    using Locate = std::function<std::optional<std::filesystem::path>()>;
    using SearchPath = std::function<std::string()>;
    using Environment = ClaudeProcess::Environment;
    using MonotonicClock = std::function<std::chrono::steady_clock::time_point()>;

    // The tool uses the user allowed while one process run was going on, by Claude Code's tool-use id.
    // Written from the gate's connection threads, read once after the run.
    class ApprovedTools {
    public:
        void insert(std::string toolUseID);
        std::set<std::string> stored() const;

    private:
        mutable std::mutex m_lock;
        std::set<std::string> m_stored;
    };

    // What one permission question of a run is decided over. Everything in it is owned or locked,
    // since the gate's threads may still be answering after the run has ended.
    struct QuestionContext {
        ClaudeReplyRunner& runner;
        std::string conversationKey;
        ResolvedPermissions permissions; // as resolved, gates not applied
        std::filesystem::path workFolder;
        std::shared_ptr<JobControl> control;
        std::shared_ptr<ApprovedTools> approvedTools;
        std::stop_token runEnded; // stopped once the process that asks has gone
    };

    // Answers one question of the gate with the reply object for Claude Code. Runs on the gate's
    // connection threads, several at once, and may block as long as the user takes.
    using DecidePermission = std::function<JSON(const JSON& question, const QuestionContext& context)>;

    struct Options {
        // Where `claude` is; absent when it is not installed.
        Locate locate;
        // The PATH that children get.
        SearchPath path;
        // The application's environment; filtered before every run.
        Environment baseEnvironment;
        // How Claude Code starts the permission sub-mode. Without it a run opens no gate and Claude
        // Code's own settings decide alone.
        std::optional<PermissionHelper> permissionHelper;
        // The run's permission decisions; the real ones when empty.
        DecidePermission decidePermission;
        // Measures how much of a job's time limit a turn, and each of its runs of Claude Code, has used;
        // the steady clock when empty.
        MonotonicClock now;
        // For tests: runs on the run's thread as the Git guard's start begins, before it notes anything, as
        // a busy machine would hold it there.
        std::function<void()> guardStarting;
    };

    // The turn's result before post-processing turns it into the job's output.
    struct Answer {
        std::string text; // trimmed
        std::optional<JSON> context;
        std::optional<JSON> compacted;
        std::vector<ApprovalStore::Request> approvalRequests;
    };

    // One finished process.
    struct RunOutcome {
        ClaudeProcess::Outcome process;

        // The stored session was not found by Claude Code.
        bool isLostSession() const;
        // The first non-empty line of `text`, trimmed, at most 200 characters.
        static std::string errorLine(std::string_view text);
    };

    // Which session a turn continues, and the text a new session starts from.
    struct SessionChoice {
        std::optional<std::string> resumeSessionID;
        std::optional<std::string> handover;

        friend bool operator==(const SessionChoice&, const SessionChoice&) = default;
    };

    // A run's settings file, and what it protects in the Git repositories of the run's writable places.
    struct RunSettings {
        std::filesystem::path file;
        GitRepositories::Protection git;
        // What the sandbox, or Claude Code itself, denies commands to write, and where they may write:
        // where its placeholders go.
        std::vector<std::string> deniedWrites;
        std::vector<std::filesystem::path> writablePlaces;
        // What the run's guard keeps from appearing (`ClaudeInvocation::keptOffPaths`).
        std::vector<std::filesystem::path> keptOff;
    };

    // Everything one process run needs; shared by the turn and the compaction runs.
    struct ProcessRun {
        std::string conversationID;
        ResolvedPermissions permissions; // as resolved; the run applies the gates itself
        std::filesystem::path workFolder;
        std::filesystem::path claude;
        RunSettings settings;
        std::string systemPrompt;
        std::optional<std::int64_t> autoCompactTokens;
        std::optional<std::string> resumeSessionID;
        std::string input;
        double timeLimit { 0 }; // seconds
        std::shared_ptr<JobControl> control;
        std::stop_token stop;
        // Where what the Git protection could not undo is added as the run ends, whether the reply then
        // ends well or not; none for a run whose reply no user reads.
        std::vector<GitGuard::MovedChange>* stayed = nullptr;
    };

    static constexpr std::array<std::string_view, 18> keptEnvironmentNames { "HOME", "USER", "LOGNAME",
        "SHELL", "TMPDIR", "LANG", "LC_ALL", "LC_CTYPE", "__CF_USER_TEXT_ENCODING", "HTTPS_PROXY",
        "HTTP_PROXY", "NO_PROXY", "https_proxy", "http_proxy", "no_proxy", "SSL_CERT_FILE",
        "NODE_EXTRA_CA_CERTS", "CLAUDE_CONFIG_DIR" };
    static constexpr std::array<std::string_view, 10> removedEnvironmentNames { "ANTHROPIC_API_KEY",
        "ANTHROPIC_AUTH_TOKEN", "ANTHROPIC_BASE_URL", "CLAUDE_CODE_USE_BEDROCK", "CLAUDE_CODE_USE_VERTEX",
        "CLAUDE_CODE_USE_FOUNDRY", "AWS_BEARER_TOKEN_BEDROCK", "CLAUDECODE", "CLAUDE_CODE_ENTRYPOINT",
        "CLAUDE_CODE_SSE_PORT" };
    // A stored session idle longer than this (seconds) is replaced by a new one when there is
    // something to hand over.
    static constexpr double sessionIdleLimit = 3600;
    static constexpr std::string_view temporaryFolderTemplate = "/tmp/vl-XXXXXXXX";
    static constexpr std::string_view settingsFolderName = "claude-settings";
    // The extension of a run's excludes file, which has its settings file's name otherwise.
    static constexpr std::string_view excludesExtension = ".git-excludes";

    // Removes the "commondir" and sandbox placeholders that a killed process's runs left
    // (`CommonDirPlaceholders::removeLeftBehind` and `SandboxPlaceholders::removeLeftBehind` on the
    // registry of live runs in the data folder), and puts back what its runs' commands changed in their
    // repositories (`GitGuard::restoreLeftBehind`).
    ClaudeReplyRunner(RelayData& data, Options options);
    ClaudeReplyRunner(const ClaudeReplyRunner&) = delete;
    ClaudeReplyRunner& operator=(const ClaudeReplyRunner&) = delete;

    // Set once by the relay host; runs before that see no routines.
    void setRoutineDirectory(std::shared_ptr<RoutineDirectory> directory);

    ReplyOutput run(
        const JobSubmission& submission, std::shared_ptr<JobControl> control, std::stop_token stop) override;
    ClearedConversation clearConversation(const std::string& conversationID, WorkFolder workFolder) override;
    CompactedConversation compact(const CompactionRequest& request, std::stop_token stop) override;

    RelayData& data() const noexcept { return m_data; }
    PermissionGrants& grants() noexcept { return m_grants; }
    const ClaudeProcess::StallLimits& stallLimits() const noexcept { return m_stallLimits; }

    // --- Pieces of a run, each usable on its own.

    static bool isPassedEnvironmentName(std::string_view name);
    // The passed entries of `base`, then PATH, LANG when missing, and CLAUDE_CODE_TMPDIR.
    static Environment childEnvironment(
        const Environment& base, const std::string& path, const std::filesystem::path& temporaryFolder);
    // A fresh 0700 folder from `temporaryFolderTemplate`. Throws RelayHTTPError 507.
    static std::filesystem::path makeTemporaryFolder();
    // The conversation's settings file in the data folder; ":" cannot be part of its name.
    static std::filesystem::path settingsFile(
        const std::filesystem::path& dataFolder, std::string_view conversationID);
    // Resumes a stored session unless it idled past `sessionIdleLimit` and there is something to
    // hand over; a new session gets the hand-over text.
    static SessionChoice chooseSession(const std::optional<std::string>& storedSessionID,
        std::optional<double> ageSeconds, const SessionStore::SummaryAndRecent& history);
    // The reply text of a finished run, or the failure it stands for: RelayHTTPError, or
    // CancellationError for a stopped run. `timeLimit` is the job's full limit in seconds.
    static std::string failureMessage(const RunOutcome& outcome, bool commandsAllowed, double timeLimit);
    // The denied operations that the user may approve for a later run.
    static std::vector<ApprovalStore::Request> approvalRequests(
        const std::vector<ClaudeStreamParser::Denial>& denials, const ResolvedPermissions& permissions);
    // Removes a file or folder tree, ignoring every failure; no link inside is followed.
    static void removeQuietly(const std::filesystem::path& url);

    // One Claude Code process with its approved tools, gate and temporary folder, all gone when it
    // returns or throws. Throws the errors of the temporary folder and of starting the process.
    RunOutcome runProcess(const ProcessRun& run);
    // Appends what the run's tools did, and which of them the user approved, to the activity log; a call
    // that made, or could have made, what the Git protection moved aside or could not undo during the run
    // (`movedAside`, found as `comparisons` says) shows as such (`MovedAsideActivity::statuses`), not as
    // what Claude Code saw.
    void recordToolActivity(std::string_view conversationKey, const ClaudeStreamParser& parser,
        const ResolvedPermissions& permissions, const std::set<std::string>& approved,
        const std::vector<MovedAsideFiles::Added>& movedAside, MovedAsideActivity::Comparisons comparisons);
    // Summarises the stored session and continues the conversation in a new one from the summary,
    // adding what its runs could not undo to `stayed` however it ends. The caller holds the
    // conversation's lock.
    CompactedConversation compactSession(const std::string& conversationID, const std::string& botID,
        const std::optional<BotProfile>& bot, const ResolvedPermissions& permissions,
        const std::filesystem::path& workFolder, const std::filesystem::path& claude,
        Prompts::ActionsBlock actions, std::stop_token stop, std::vector<GitGuard::MovedChange>& stayed);

private:
    // One job's turn as preparation leaves it.
    struct Turn {
        const JobSubmission& submission;
        std::shared_ptr<JobControl> control;
        std::stop_token stop;
        std::filesystem::path claude;
        std::string messageText; // the message with its attachments section
        std::optional<std::string> notices;
        ResolvedPermissions permissions;
        std::filesystem::path workFolder;
        // What the Git protection could not undo in the turn's runs, a compaction's before it included,
        // for the user (`Prompts::stayedNote`).
        std::vector<GitGuard::MovedChange>& stayed;
    };

    // Runs the turn, telling the user what stayed (`tellingWhatStayed`).
    ReplyOutput reply(const JobSubmission& submission, const std::shared_ptr<JobControl>& control,
        const std::stop_token& stop);
    // The one place the user is told what the Git protection could not undo in the runs of `body`, which
    // adds it to the list it is given, however `body` ends: at the end of the text its result shows
    // (`shown`), of the error the phone gets (an unforeseen failure as 500 "internal"), or with the
    // cancellation. Where `stop` was requested by then, the run ends as stopped with the note whatever
    // `body` did: the job is stopped, and would show neither its reply nor its error.
    template <typename Result>
    static Result tellingWhatStayed(const std::function<Result(std::vector<GitGuard::MovedChange>&)>& body,
        std::string Result::*shown, const std::stop_token& stop);
    Answer runTurn(const Turn& turn);
    // `runProcess`, removing the instruction files the run left in the work folder however it ends:
    // none may steer the conversation's next run.
    RunOutcome runLeavingNoInstructionFiles(const ProcessRun& run);
    ReplyOutput finishReply(const Turn& turn, const Answer& answer, const Workspaces::Snapshot& before);
    // Adds `note` to what the conversation's next turn (not a routine's) is told first.
    void keepForNextTurn(const std::string& conversationID, std::string note);

    std::shared_ptr<RoutineDirectory> routineDirectory() const;
    std::unique_ptr<icu::TimeZone> routineTimeZone() const;
    std::filesystem::path locateClaude() const;
    ResolvedPermissions resolvePermissions(const std::optional<PermissionSettings>& settings) const;
    // Finds the Git repositories to protect and writes the settings for them. Throws RelayHTTPError 507.
    RunSettings writeSettingsFile(std::string_view conversationID, const std::filesystem::path& workFolder,
        const ResolvedPermissions& permissions) const;
    // For a run with commands: the user's Git identity, and the excludes file of Claude Code's leftovers
    // and of the placeholders the run's `settings` will show, written beside the settings file. Throws
    // the errors of writing it.
    CommandGit::Handover writeCommandGitHandover(const RunSettings& settings,
        const std::filesystem::path& workFolder, const ResolvedPermissions& permissions) const;
    std::string systemPromptFor(
        std::string_view botID, const std::optional<BotProfile>& bot, Prompts::ActionsBlock actions) const;
    Prompts::Sections contextSections(
        const JobSubmission& submission, const ResolvedPermissions& permissions);

    RelayData& m_data;
    PermissionGrants m_grants;
    const Locate m_locate;
    const SearchPath m_path;
    const Environment m_baseEnvironment;
    const std::optional<PermissionHelper> m_permissionHelper;
    const DecidePermission m_decidePermission;
    const MonotonicClock m_now;
    const std::function<void()> m_guardStarting;
    const ClaudeProcess::StallLimits m_stallLimits { 75.0, 90.0, 600.0 };
    ConversationLocks m_locks;

    mutable std::mutex m_lock;
    std::shared_ptr<RoutineDirectory> m_routineDirectory;
    // Per conversation, what its next turn is told of the turns before.
    std::map<std::string, std::vector<std::string>, std::less<>> m_nextTurnNotes;
};

}
