// The turn of a reply run: which session it continues, the text Claude Code reads, the process runs
// with their gate and temporary folder, the one retry of a lost session, and what the outcome means.
#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"

#include "Platform/Log.h"
#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/ClaudeCode/SandboxPlaceholders.h"
#include "VellumarMacCore/ConversationData/Workspaces.h"
#include "VellumarMacCore/Foundations/FolderTree.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/TextScanner.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"
#include "VellumarMacCore/GitProtection/GitProtection.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionDecider.h"
#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "VellumarMacCore/Reply/MovedAsideActivity.h"
#include "VellumarMacCore/Reply/MovedAsideFiles.h"

#include <algorithm>
#include <iterator>
#include <cctype>
#include <malloc.h>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    constexpr std::int64_t kSelfCompactionLowest = 100'000;
    constexpr std::int64_t kSelfCompactionHighest = 1'000'000;
    // A retry with less time than this left would only fail on its own time limit.
    constexpr double kShortestRetrySeconds = 5;
    constexpr std::size_t kErrorLineCharacters = 200;
    // Of Claude Code's standard error, the end that a failure's log line keeps.
    constexpr std::size_t kLoggedErrorTailBytes = 1'000;

    // Markers Claude Code prints when it cannot reach the account, and when it is older than the
    // options it is given.
    constexpr std::string_view kLoginMarkers[] = { "/login", "not logged in", "log in", "invalid api key" };
    constexpr std::string_view kTooOldMarkers[] = { "unknown option", "claude update" };

    // Byte offsets of the text without White_Space at either end.
    std::string_view trimmedWhiteSpace(std::string_view text)
    {
        std::size_t index = 0;
        std::size_t first = text.size();
        std::size_t end = 0;
        while (index < text.size()) {
            std::size_t start = index;
            auto scalar = detail::nextScalar(text, index);
            if (scalar >= 0 && detail::isWhiteSpace(static_cast<char32_t>(scalar)))
                continue;
            first = std::min(first, start);
            end = index;
        }
        return first < end ? text.substr(first, end - first) : std::string_view();
    }

    // Every scalar that ends a line: LF, VT, FF, CR, NEL, LS and PS.
    bool isLineBreak(std::int32_t scalar)
    {
        return (scalar >= 0x0A && scalar <= 0x0D) || scalar == 0x85 || scalar == 0x2028 || scalar == 0x2029;
    }

    // The first `count` scalars of valid UTF-8, or all of it.
    std::string_view prefixScalars(std::string_view text, std::size_t count)
    {
        std::size_t index = 0;
        for (std::size_t taken = 0; taken < count && index < text.size(); ++taken)
            detail::nextScalar(text, index);
        return text.substr(0, index);
    }

    // The end of `text`, its last `bytes` at most from a scalar's start, on one line: each run of white
    // space (line breaks too) as one space, and any other control character as "?", which the journal
    // would otherwise keep as a blob.
    std::string oneLineTail(std::string_view text, std::size_t bytes)
    {
        text = trimmedWhiteSpace(text);
        std::size_t index = text.size() > bytes ? text.size() - bytes : 0;
        while (index < text.size() && (static_cast<unsigned char>(text[index]) & 0xC0) == 0x80)
            ++index;
        std::string line;
        bool spaceBefore = false;
        while (index < text.size()) {
            std::size_t start = index;
            auto scalar = detail::nextScalar(text, index);
            if (scalar >= 0 && detail::isWhiteSpace(static_cast<char32_t>(scalar))) {
                spaceBefore = !line.empty();
                continue;
            }
            if (std::exchange(spaceBefore, false))
                line.push_back(' ');
            if (scalar < 0x20 || scalar == 0x7F)
                line.push_back('?');
            else
                line.append(text.substr(start, index - start));
        }
        return line;
    }

    std::string lowercasedASCII(std::string text)
    {
        std::transform(text.begin(), text.end(), text.begin(),
            [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return text;
    }

    // The Git folder whose "commondir" is Claude Code's own: its working directory's (see
    // `ClaudeInvocation::gitProtection`). The placeholders' need no such exception: each names its own
    // folder, which the guard takes for no change, also in the runs that share its notes.
    std::vector<fs::path> commonDirsOfOthers(const fs::path& workFolder)
    {
        if (auto gitFolder = resolvingSymlinks(workFolder / ".git"))
            return { std::move(*gitFolder) };
        return {};
    }

    // What keeps Git outside the sandbox from running what the run's commands write into the
    // repositories, from before the process reads its input until it has ended: placeholders the
    // sandbox makes read-only, and a guard that puts back what changes in every repository, and moves
    // aside what appears at a name kept off, as it happens. Its watch stays on the repositories after
    // the run, so that the next run notes again only what changed.
    struct GitRunProtection {
        // For the repositories the run's settings protect, so that each "commondir" they deny has its
        // placeholder before Claude Code starts.
        GitRunProtection(const ClaudeReplyRunner::RunSettings& settings, const fs::path& dataFolder)
            : placeholders(settings.git.gitFolders, dataFolder)
            , liveRuns(dataFolder)
        {
        }
        // Once the guard has started.
        ~GitRunProtection()
        {
            if (watch)
                GitGuardWatch::keep(std::move(watch), liveRuns);
            // glibc keeps what the run's threads freed in their arenas: in a thousand repositories the
            // guard's start and its end's sweep took tens of MB that the program would otherwise go on
            // holding after the run, what it keeps of them included.
            guard.reset();
            ::malloc_trim(0);
        }

        // While Claude Code starts, which has no more than the first character of its input, so runs
        // nothing of the model's, before this has returned, however long that takes: finding what only the
        // guard takes (`GitRepositories::forGuard`) and noting a thousand repositories take about as long
        // as the process's start on a quiet machine, and far longer on a busy one.
        void startGuard(const ClaudeReplyRunner::RunSettings& settings, const fs::path& workFolder)
        {
            const GitRepositories::Protection& git = GitRepositories::forGuard(settings.git);
            std::unique_ptr<GitGuardWatch> kept = GitGuardWatch::takeKept(liveRuns);
            guard.emplace(git.guarded, git.guardedGitFiles, commonDirsOfOthers(workFolder),
                GitGuard::Options { .places = settings.writablePlaces,
                    .liveRuns = liveRuns,
                    .settings = GitCountedSettings::gitReaderForThisProcess(),
                    .keptOff = settings.keptOff,
                    .unchangedSinceKept = kept ? kept->unchangedSinceKept() : std::set<fs::path> {},
                    .searchedFirstOfGitFiles = git.searchedFirstOfGitFiles });
            watch = std::make_unique<GitGuardWatch>(*guard,
                GitGuardWatch::Options { .places = settings.writablePlaces,
                    .onMovedAside = [this](const auto& moved) { movedAside.add(moved); } },
                std::move(kept));
        }

        // Once the process has ended: the last comparison, and the sweep of what the commands left for
        // the user's next Git command. Nothing when the process never got its input.
        void finish()
        {
            if (!watch)
                return;
            if (watch->running() && watch->unwatchedCount() == 0)
                comparisons = MovedAsideActivity::Comparisons::asChangesCame;
            watch->finish();
        }

        CommonDirPlaceholders placeholders;
        fs::path liveRuns;
        std::optional<GitGuard> guard;
        MovedAsideFiles movedAside;
        std::unique_ptr<GitGuardWatch> watch;
        // Known once finished: as changes came only where the watch's thread followed every unit to the end.
        MovedAsideActivity::Comparisons comparisons = MovedAsideActivity::Comparisons::later;
    };

    bool containsAny(std::string_view text, std::span<const std::string_view> markers)
    {
        return std::any_of(markers.begin(), markers.end(),
            [text](auto marker) { return text.find(marker) != std::string_view::npos; });
    }

    // The lowercased standard-error tail and result text that failure markers are looked for in.
    std::string failureProbe(const ClaudeProcess::Outcome& outcome)
    {
        const auto& final = outcome.parser.final();
        return lowercasedASCII(outcome.stderrTail + " " + (final ? final->text : std::string()));
    }

    bool endedWell(const ClaudeProcess::Outcome& outcome)
    {
        const auto& final = outcome.parser.final();
        return final && !final->isError && outcome.status == 0;
    }

    std::string joinedParts(const std::vector<std::optional<std::string>>& parts)
    {
        std::string text;
        for (const auto& part : parts) {
            if (!part)
                continue;
            if (!text.empty())
                text += "\n\n";
            text += *part;
        }
        return text;
    }

    // Closes the gate and removes the temporary folder on every way out of a process run.
    struct RunResources {
        std::unique_ptr<PermissionGate> gate;
        std::optional<fs::path> temporaryFolder;
        // Closing the gate waits for its questions; once the process is gone they wait for nobody.
        std::stop_source questionsEnd;

        RunResources() = default;
        RunResources(const RunResources&) = delete;
        RunResources& operator=(const RunResources&) = delete;
        ~RunResources()
        {
            questionsEnd.request_stop();
            if (temporaryFolder)
                ClaudeReplyRunner::removeQuietly(*temporaryFolder);
            if (gate)
                gate->close();
        }
    };

    [[noreturn]] void fail(int status, std::string code, std::string message)
    {
        throw RelayHTTPError(status, std::move(code), std::move(message));
    }

}

bool ClaudeReplyRunner::RunOutcome::isLostSession() const
{
    if (endedWell(process))
        return false;
    std::string probe = failureProbe(process);
    return probe.find("no conversation found") != std::string::npos
        || (probe.find("session") != std::string::npos && probe.find("not found") != std::string::npos);
}

std::string ClaudeReplyRunner::RunOutcome::errorLine(std::string_view text)
{
    std::size_t lineStart = 0;
    std::size_t index = 0;
    while (lineStart < text.size()) {
        std::size_t lineEnd = index;
        bool atBreak = false;
        while (index < text.size()) {
            lineEnd = index;
            if (isLineBreak(detail::nextScalar(text, index))) {
                atBreak = true;
                break;
            }
        }
        if (!atBreak)
            lineEnd = text.size();
        auto line = trimmedWhiteSpace(text.substr(lineStart, lineEnd - lineStart));
        if (!line.empty())
            return std::string(prefixScalars(line, kErrorLineCharacters));
        lineStart = index;
    }
    return {};
}

std::string ClaudeReplyRunner::failureMessage(
    const RunOutcome& outcome, bool commandsAllowed, double timeLimit)
{
    const auto& process = outcome.process;
    if (process.stopReason) {
        switch (process.stopReason->kind) {
        case ClaudeProcess::StopReason::Kind::timeLimit:
            fail(504, "timeout",
                "The reply took longer than its time limit ("
                    + std::to_string(static_cast<std::int64_t>(timeLimit / 60)) + " min).");
        case ClaudeProcess::StopReason::Kind::stalled:
            if (process.stopReason->label == "startup")
                fail(504, "timeout",
                    "Claude Code did not start working. If the Mac shows a question (privacy or login), "
                    "answer it "
                    "there, then try again.");
            if (process.stopReason->label == "fileTool")
                fail(504, "timeout",
                    "A file operation did not finish. macOS may be asking on the Mac whether Vellumar for "
                    "Mac may "
                    "open that folder.");
            fail(504, "timeout", "Claude Code stopped responding.");
        case ClaudeProcess::StopReason::Kind::cancelled:
            if (process.outputTooLarge)
                fail(502, "claude_failed", "Claude Code sent more output than the Mac accepts.");
            throw CancellationError();
        }
    }

    const auto& final = process.parser.final();
    if (final && !final->isError) {
        const std::string& text = final->text.empty() ? process.parser.lastAssistantText() : final->text;
        auto reply = trimmedWhiteSpace(text);
        if (reply.empty())
            fail(502, "empty_reply", "Claude Code returned an empty reply.");
        return std::string(reply);
    }

    std::string probe = failureProbe(process);
    if (containsAny(probe, kLoginMarkers))
        fail(502, "claude_failed",
            "Claude Code is not logged in on the Mac. Run claude in Terminal and log in.");
    if (commandsAllowed && probe.find("sandbox") != std::string::npos)
        fail(502, "sandbox_unavailable",
            "The sandbox for commands could not start. Turn off commands in the bot settings.");
    if (containsAny(probe, kTooOldMarkers))
        fail(502, "claude_failed", "Claude Code on the Mac is too old. Run claude update in Terminal.");
    if (final) {
        std::string detail = RunOutcome::errorLine(final->text);
        fail(502, "claude_failed",
            detail.empty() ? std::string("Claude Code reported an error.")
                           : "Claude Code reported an error: " + detail);
    }
    const std::string stopped
        = "Claude Code stopped without a reply (exit " + std::to_string(process.status) + ")";
    // The phone hears only the exit status; why it ended is in what it said last on standard error.
    std::string said = oneLineTail(process.stderrTail, kLoggedErrorTailBytes);
    platform::logError(stopped
        + (said.empty() ? "; it wrote nothing to standard error." : "; its standard error ended: " + said));
    fail(502, "claude_failed", stopped + ".");
}

std::vector<ApprovalStore::Request> ClaudeReplyRunner::approvalRequests(
    const std::vector<ClaudeStreamParser::Denial>& denials, const ResolvedPermissions& permissions)
{
    std::vector<fs::path> writableFolders;
    for (const auto& folder : permissions.folders) {
        if (folder.writable)
            writableFolders.push_back(folder.path);
    }
    const bool bashGated = permissions.applyingGates().bashGated;
    const bool writeAwaitsApproval = permissions.approve.contains("write")
        && !permissions.granted.contains("write") && !writableFolders.empty();

    auto isInWritableFolder = [&](const ClaudeStreamParser::Denial& denial) {
        const JSON* path = denial.input ? denial.input->subscript("file_path") : nullptr;
        const std::string* text = path ? path->stringValue() : nullptr;
        if (!text)
            return false;
        auto resolved = MovedAsideActivity::kernelResolved(*text);
        return resolved
            && std::any_of(writableFolders.begin(), writableFolders.end(),
                [&](const fs::path& writable) { return isPathInside(*resolved, writable); });
    };

    std::vector<ApprovalStore::Request> requests;
    for (const auto& denial : denials) {
        std::string kind;
        if (denial.tool == "Bash" && bashGated)
            kind = "bash";
        else if (std::find(
                     PermissionDecider::fileTools.begin(), PermissionDecider::fileTools.end(), denial.tool)
                != PermissionDecider::fileTools.end()
            && writeAwaitsApproval && isInWritableFolder(denial))
            kind = "write";
        else
            continue;
        std::string detail = ApprovalStore::toolDetail(denial.tool, denial.input ? &*denial.input : nullptr);
        if (detail.empty())
            continue;
        ApprovalStore::Request request { std::move(kind), std::move(detail) };
        if (std::find(requests.begin(), requests.end(), request) == requests.end())
            requests.push_back(std::move(request));
    }
    return requests;
}

void ClaudeReplyRunner::recordToolActivity(std::string_view conversationKey, const ClaudeStreamParser& parser,
    const ResolvedPermissions& permissions, const std::set<std::string>& approved,
    const std::vector<MovedAsideFiles::Added>& movedAside, MovedAsideActivity::Comparisons comparisons)
{
    if (parser.tools().empty())
        return;
    std::set<std::string> deniedIDs;
    for (const auto& denial : parser.denials()) {
        if (denial.toolUseID)
            deniedIDs.insert(*denial.toolUseID);
    }
    const auto marked = MovedAsideActivity::statuses(parser.tools(), deniedIDs, movedAside, comparisons);
    std::vector<std::string> grantedWritePrefixes;
    if (permissions.granted.contains("write")) {
        for (const auto& folder : permissions.folders) {
            if (folder.writable)
                grantedWritePrefixes.push_back(folder.path.string() + "/");
        }
    }
    std::vector<JSON> entries;
    for (const auto& use : parser.tools()) {
        JSON::Object entry { { "at", JSON(static_cast<long long>(use.at)) }, { "tool", JSON(use.tool) },
            { "kind", JSON(use.kind) }, { "target", JSON(use.target) }, { "status", JSON(use.status) } };
        bool writeGranted = use.kind == "write"
            && std::any_of(grantedWritePrefixes.begin(), grantedWritePrefixes.end(),
                [&](const std::string& prefix) { return use.target.starts_with(prefix); });
        if (deniedIDs.contains(use.id))
            entry.insert_or_assign("status", JSON("denied"));
        else if (auto status = marked.find(use.id); status != marked.end())
            entry.insert_or_assign("status", JSON(std::string(status->second)));
        else if (approved.contains(use.id) || (use.kind == "command" && permissions.granted.contains("bash"))
            || writeGranted)
            entry.emplace("approved", JSON(true));
        entries.emplace_back(std::move(entry));
    }
    m_data.activity.append(conversationKey, entries);
}

ClaudeReplyRunner::RunOutcome ClaudeReplyRunner::runProcess(const ProcessRun& run)
{
    // Made before Claude Code starts: the sandbox keeps commands from writing "uploads", and where it is
    // missing Claude Code holds a read-only placeholder at its name for the whole run, where the phone's
    // uploads could not land. A folder that cannot be made fails only those uploads.
    FolderTree(run.workFolder).privateChild(std::string(Workspaces::uploadsName));
    // Noted before anything runs, so that what the run's commands change shows against it: the
    // placeholders before Claude Code starts, the guard before it reads its input.
    ResolvedPermissions gated = run.permissions.applyingGates();
    std::optional<SandboxPlaceholders> sandboxPlaceholders;
    std::optional<GitRunProtection> gitProtection;
    if (gated.bash) {
        sandboxPlaceholders.emplace(run.settings.deniedWrites, run.settings.writablePlaces, m_data.folder);
        gitProtection.emplace(run.settings, m_data.folder);
    }

    auto approved = std::make_shared<ApprovedTools>();
    RunResources resources;
    std::optional<std::string> mcpConfig;
    if (m_permissionHelper) {
        QuestionContext context { *this, run.conversationID, run.permissions, run.workFolder, run.control,
            approved, resources.questionsEnd.get_token() };
        try {
            resources.gate = std::make_unique<PermissionGate>(
                [decide = m_decidePermission, context](
                    const JSON& question) { return decide(question, context); });
            mcpConfig = m_permissionHelper->mcpConfig(resources.gate->path());
        } catch (const std::exception&) {
            // Without a gate Claude Code's own settings decide alone; the run still goes on.
            resources.gate.reset();
        }
    }

    ClaudeProcess::Launch launch { .executable = run.claude,
        .arguments = ClaudeInvocation::fullArguments(run.permissions,
            { .appendedSystemPrompt = run.systemPrompt,
                .settingsFile = run.settings.file,
                .mcpConfigPath = mcpConfig,
                .resumeSessionID = run.resumeSessionID,
                .autoCompact = run.autoCompactTokens }),
        .input = run.input,
        .directory = run.workFolder,
        .environment = {},
        .timeLimit = run.timeLimit,
        .clock = m_now,
        .stall = m_stallLimits,
        .waiting = [control = run.control] { return control->waitState(); },
        .onEvent = [control = run.control](const RunnerEvent& event) { control->onEvent(event); } };
    // The watch compares as things change; without its thread, or once it failed, each command's end is
    // the next best.
    std::exception_ptr guardFailed;
    if (gitProtection) {
        launch.beforeInput = [&] {
            try {
                if (m_guardStarting)
                    m_guardStarting();
                gitProtection->startGuard(run.settings, run.workFolder);
            } catch (...) {
                guardFailed = std::current_exception();
                throw;
            }
        };
        launch.afterToolResult = [&gitProtection] {
            if (!gitProtection->watch->running())
                gitProtection->watch->compareAll();
        };
    }
    resources.temporaryFolder = makeTemporaryFolder();
    launch.environment
        = childEnvironment(m_baseEnvironment, m_path ? m_path() : std::string(), *resources.temporaryFolder);

    ClaudeProcess process;
    RunOutcome outcome { [&] {
        std::stop_callback cancelOnStop(run.stop, [&process] { process.cancel(); });
        return process.start(launch);
    }() };
    if (guardFailed)
        std::rethrow_exception(guardFailed);
    // Once more at the end: a command left running in the background, or one whose result never came.
    std::vector<MovedAsideFiles::Added> added;
    if (gitProtection) {
        gitProtection->finish();
        added = gitProtection->movedAside.changes();
    }
    std::vector<GitGuard::MovedChange> movedAside;
    std::ranges::transform(added, std::back_inserter(movedAside), &MovedAsideFiles::Added::change);
    // First, so that nothing failing below keeps it from the user.
    if (run.stayed)
        std::ranges::copy_if(movedAside, std::back_inserter(*run.stayed),
            [](const GitGuard::MovedChange& change) { return change.stayed.has_value(); });
    // Told on the bot's next turn, however this one ends: Claude Code offers no way to reach the model
    // during the run (its hooks are off), and the bot's next steps should not write the file again.
    std::set<fs::path> writtenByFileTools;
    for (const auto& use : outcome.process.parser.tools()) {
        if (auto target = MovedAsideActivity::writtenName(use))
            writtenByFileTools.insert(std::move(*target));
    }
    if (auto notice = Prompts::movedAsideNotice(movedAside, writtenByFileTools))
        keepForNextTurn(run.conversationID, std::move(*notice));
    recordToolActivity(run.conversationID, outcome.process.parser, run.permissions, approved->stored(), added,
        gitProtection ? gitProtection->comparisons : MovedAsideActivity::Comparisons::later);
    return outcome;
}

ClaudeReplyRunner::RunOutcome ClaudeReplyRunner::runLeavingNoInstructionFiles(const ProcessRun& run)
{
    try {
        auto outcome = runProcess(run);
        Workspaces::removeClaudeFiles(run.workFolder);
        return outcome;
    } catch (...) {
        Workspaces::removeClaudeFiles(run.workFolder);
        throw;
    }
}

ClaudeReplyRunner::Answer ClaudeReplyRunner::runTurn(const Turn& turn)
{
    const JobSubmission& submission = turn.submission;
    const auto begun = m_now();
    const bool routine = submission.routineID.has_value();
    const bool actionsAllowed = !submission.allowedActions.empty() && !routine;
    const auto actions = actionsAllowed ? Prompts::ActionsBlock::included : Prompts::ActionsBlock::omitted;
    const auto autoCompact
        = submission.autoCompact.value_or(AutoCompactSetting { "off", AutoCompactSetting::kDefaultTokens });

    std::string systemPrompt = systemPromptFor(submission.botID, submission.bot, actions);
    RunSettings settings = writeSettingsFile(submission.conversationID, turn.workFolder, turn.permissions);
    Prompts::Sections sections = contextSections(submission, turn.permissions);

    SessionChoice session;
    std::optional<Prompts::Digests> storedState;
    std::vector<SessionStore::PostedResult> posted;
    auto readSession = [&](SessionStore::Locked& store) {
        session = chooseSession(store.sessionID(submission.conversationID, submission.botID),
            store.lastSession(submission.conversationID, submission.botID),
            store.summaryAndRecent(submission.conversationID, submission.botID));
        storedState = session.resumeSessionID ? store.state(submission.conversationID, submission.botID)
                                              : std::nullopt;
        posted = store.postedResults(submission.conversationID, submission.botID);
    };
    // A routine's run stands alone: no stored session, state or posted results.
    if (!routine)
        m_data.sessions.withLock(readSession);

    std::optional<std::int64_t> autoCompactTokens;
    std::optional<JSON> compacted;
    if (session.resumeSessionID && autoCompact.mode == "auto") {
        if (autoCompact.tokens >= kSelfCompactionLowest && autoCompact.tokens <= kSelfCompactionHighest) {
            autoCompactTokens = autoCompact.tokens;
        } else if (auto tokens = m_data.sessions.contextTokens(submission.conversationID, submission.botID);
                   tokens && *tokens >= autoCompact.tokens) {
            turn.control->onEvent(RunnerEvent::compacting());
            try {
                auto result = compactSession(submission.conversationID, submission.botID, submission.bot,
                    turn.permissions, turn.workFolder, turn.claude, actions, turn.stop, turn.stayed);
                m_data.sessions.withLock(readSession);
                compacted = JSON::object({ { "by", "relay" }, { "summary", result.summary } });
            } catch (const CancellationError&) {
                throw;
            } catch (...) {
                // The turn goes on in the old session.
            }
            // The compaction wrote its own settings into the same file: the turn's run needs settings
            // that name the repositories its own placeholders go into.
            settings = writeSettingsFile(submission.conversationID, turn.workFolder, turn.permissions);
        }
    }

    auto input
        = [&](const std::optional<Prompts::Digests>& state, const std::optional<std::string>& handover) {
              return joinedParts({ Prompts::settingsNotice(sections, state), handover,
                  handover ? std::nullopt : Prompts::routineResultsNotice(posted), turn.notices,
                  turn.messageText });
          };
    ProcessRun run { .conversationID = submission.conversationID,
        .permissions = turn.permissions,
        .workFolder = turn.workFolder,
        .claude = turn.claude,
        .settings = std::move(settings),
        .systemPrompt = std::move(systemPrompt),
        .autoCompactTokens = autoCompactTokens,
        .resumeSessionID = session.resumeSessionID,
        .input = input(storedState, session.handover),
        .timeLimit = submission.timeLimit,
        .control = turn.control,
        .stop = turn.stop,
        .stayed = &turn.stayed };
    RunOutcome outcome = runLeavingNoInstructionFiles(run);

    const auto& final = outcome.process.parser.final();
    bool unusableEnd = !final || final->isError || outcome.process.status != 0;
    if (run.resumeSessionID && !outcome.process.stopReason
        && (outcome.isLostSession() || (turn.notices && unusableEnd))) {
        m_data.sessions.endSession(submission.conversationID);
        auto history = m_data.sessions.summaryAndRecent(submission.conversationID, submission.botID);
        auto handover = Prompts::conversationSoFar(history.summary, history.recent);
        double elapsed = std::chrono::duration<double>(m_now() - begun).count();
        double remaining = submission.timeLimit - elapsed;
        if (remaining <= kShortestRetrySeconds)
            fail(504, "timeout", "The reply took longer than its time limit.");
        run.resumeSessionID.reset();
        run.input = input(std::nullopt, handover);
        run.timeLimit = remaining;
        outcome = runLeavingNoInstructionFiles(run);
    }

    if (turn.stop.stop_requested())
        throw CancellationError();
    Answer answer;
    answer.text = failureMessage(outcome, turn.permissions.bash, submission.timeLimit);

    const auto& parser = outcome.process.parser;
    answer.compacted = parser.compacted() ? std::optional(JSON::object({ { "by", "claude" } })) : compacted;
    if (!routine) {
        m_data.sessions.withLock([&](SessionStore::Locked& store) {
            if (parser.sessionID()) {
                SessionStore::ReplyDetails details { .state
                    = parser.compacted() ? std::nullopt : std::optional(Prompts::settingsDigests(sections)),
                    .actions = !submission.allowedActions.empty(),
                    .contextTokens = parser.contextTokens() };
                store.recordReply(submission.conversationID, submission.botID, *parser.sessionID(), details);
            }
            store.dropPosted(
                submission.conversationID, submission.botID, static_cast<std::int64_t>(posted.size()));
            store.recordTurn(submission.conversationID, submission.botID, turn.messageText, answer.text);
        });
    }
    answer.context = parser.contextJSON();
    answer.approvalRequests = approvalRequests(parser.denials(), turn.permissions);
    return answer;
}

}
