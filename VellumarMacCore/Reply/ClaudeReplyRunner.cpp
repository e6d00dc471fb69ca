#include "VellumarMacCore/Reply/ClaudeReplyRunner.h"

#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/ClaudeCode/SandboxPlaceholders.h"
#include "VellumarMacCore/Foundations/FolderTree.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/GitProtection/GitProtection.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Reply/Prompts.h"
#include "VellumarMacCore/Reply/RunPermissionDecisions.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    constexpr std::string_view kNoticeSeparator = "\n\n";

    std::string joined(const std::vector<std::string>& pieces, std::string_view separator)
    {
        std::string text;
        for (const auto& piece : pieces) {
            if (!text.empty())
                text += separator;
            text += piece;
        }
        return text;
    }

    void throwIfStopped(const std::stop_token& stop)
    {
        if (stop.stop_requested())
            throw CancellationError();
    }

    // `text`, then `note` apart from it.
    std::string endedWith(const std::string& text, const std::string& note)
    {
        return text.empty() ? note : text + std::string(kNoticeSeparator) + note;
    }

    // The approval notice counts only approvals whose kind the bot's settings let the user approve;
    // the others were consumed all the same.
    std::optional<std::string> takeApprovals(
        RelayData& data, const JobSubmission& submission, ResolvedPermissions& permissions)
    {
        if (submission.approvals.empty())
            return std::nullopt;
        auto taken = data.approvals.take(submission.conversationID, submission.approvals);
        std::vector<ApprovalStore::Approved> counted;
        for (auto& approved : taken.approved) {
            if (!permissions.approve.contains(approved.kind))
                continue;
            permissions.granted.insert(approved.kind);
            counted.push_back(std::move(approved));
        }
        return Prompts::approvalNotices(counted, taken.expiredCount, RelayData::defaultLabels());
    }

}

void ClaudeReplyRunner::ApprovedTools::insert(std::string toolUseID)
{
    std::lock_guard guard(m_lock);
    m_stored.insert(std::move(toolUseID));
}

std::set<std::string> ClaudeReplyRunner::ApprovedTools::stored() const
{
    std::lock_guard guard(m_lock);
    return m_stored;
}

ClaudeReplyRunner::ClaudeReplyRunner(RelayData& data, Options options)
    : m_data(data)
    , m_locate(std::move(options.locate))
    , m_path(std::move(options.path))
    , m_baseEnvironment(std::move(options.baseEnvironment))
    , m_permissionHelper(std::move(options.permissionHelper))
    , m_decidePermission(options.decidePermission ? std::move(options.decidePermission)
                                                  : DecidePermission(vellumar::decidePermission))
    , m_now(options.now ? std::move(options.now)
                        : MonotonicClock([] { return std::chrono::steady_clock::now(); }))
    , m_guardStarting(std::move(options.guardStarting))
{
    // Read while the start goes on: the user's programs that a hook's folder could shadow.
    HookSearchPath::readLoginSearchPath(m_baseEnvironment);
    // Built once at each start, before the first run: the placeholders a killed process left go now,
    // where otherwise only a later run including the same place would remove them.
    CommonDirPlaceholders::removeLeftBehind(m_data.folder);
    SandboxPlaceholders::removeLeftBehind(m_data.folder);
    // And what a killed process's commands changed in the repositories it guarded goes back.
    GitGuard::restoreLeftBehind(m_data.folder, GitCountedSettings::gitReaderForThisProcess());
    // A settings file (and its excludes file) is written while the job's request is still being
    // answered, so a process killed then leaves the write's copy; each is written afresh before every run.
    removeTemporaryLeftovers(m_data.folder / settingsFolderName, [](std::string_view target) {
        return target.ends_with(".json") || target.ends_with(excludesExtension);
    });
}

void ClaudeReplyRunner::setRoutineDirectory(std::shared_ptr<RoutineDirectory> directory)
{
    std::lock_guard guard(m_lock);
    m_routineDirectory = std::move(directory);
}

std::shared_ptr<RoutineDirectory> ClaudeReplyRunner::routineDirectory() const
{
    std::lock_guard guard(m_lock);
    return m_routineDirectory;
}

std::unique_ptr<icu::TimeZone> ClaudeReplyRunner::routineTimeZone() const
{
    if (auto directory = routineDirectory())
        return directory->timeZone();
    return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createDefault());
}

ReplyOutput ClaudeReplyRunner::run(
    const JobSubmission& submission, std::shared_ptr<JobControl> control, std::stop_token stop)
{
    // Behind earlier runs, clearings and compactions of the conversation; released on every path.
    ConversationLocks::Hold hold(m_locks, submission.conversationID);
    return reply(submission, control, stop);
}

ReplyOutput ClaudeReplyRunner::reply(
    const JobSubmission& submission, const std::shared_ptr<JobControl>& control, const std::stop_token& stop)
{
    throwIfStopped(stop);
    fs::path claude = locateClaude();
    const bool routine = submission.routineID.has_value();

    std::vector<std::string> notices;
    if (control->stoppedNote())
        notices.push_back(*control->stoppedNote());
    if (!routine) {
        std::lock_guard guard(m_lock);
        if (auto notes = m_nextTurnNotes.find(submission.conversationID); notes != m_nextTurnNotes.end()) {
            std::move(notes->second.begin(), notes->second.end(), std::back_inserter(notices));
            m_nextTurnNotes.erase(notes);
        }
    }

    ResolvedPermissions permissions = resolvePermissions(submission.permissions);
    if (auto approvalNotice = takeApprovals(m_data, submission, permissions))
        notices.push_back(std::move(*approvalNotice));

    fs::path workFolder = m_data.workspaces.folder(submission.conversationID);
    for (const auto& attachment : submission.attachments) {
        try {
            Workspaces::resolveReadable(attachment, workFolder);
        } catch (...) {
            throw RelayHTTPError(
                400, "bad_request", "An attachment was not found on the Mac. Send it again.");
        }
    }
    std::string messageText
        = Prompts::attachmentsSection(submission.message, submission.attachments, workFolder);
    Workspaces::Snapshot before = Workspaces::snapshot(workFolder);

    std::optional<std::string> turnNotices
        = notices.empty() ? std::nullopt : std::optional(joined(notices, kNoticeSeparator));
    return tellingWhatStayed<ReplyOutput>(
        [&](std::vector<GitGuard::MovedChange>& stayed) {
            Turn turn { .submission = submission,
                .control = control,
                .stop = stop,
                .claude = std::move(claude),
                .messageText = std::move(messageText),
                .notices = std::move(turnNotices),
                .permissions = std::move(permissions),
                .workFolder = std::move(workFolder),
                .stayed = stayed };
            return finishReply(turn, runTurn(turn), before);
        },
        &ReplyOutput::reply, stop);
}

template <typename Result>
Result ClaudeReplyRunner::tellingWhatStayed(
    const std::function<Result(std::vector<GitGuard::MovedChange>&)>& body, std::string Result::*shown,
    const std::stop_token& stop)
{
    std::vector<GitGuard::MovedChange> stayed;
    // What stays in a repository matters more than how the run ended, and a stopped job shows its stop.
    auto noteUnlessStopped = [&] {
        auto note = Prompts::stayedNote(stayed);
        if (note && stop.stop_requested())
            throw CancellationError { std::move(note) };
        return note;
    };
    try {
        Result result = body(stayed);
        if (auto note = noteUnlessStopped())
            result.*shown = endedWith(result.*shown, *note);
        return result;
    } catch (const RelayHTTPError& error) {
        auto note = noteUnlessStopped();
        if (!note)
            throw;
        throw RelayHTTPError(
            error.status(), error.code(), endedWith(error.message(), *note), error.retryAfter());
    } catch (const CancellationError&) {
        throw CancellationError { Prompts::stayedNote(stayed) };
    } catch (...) {
        auto note = noteUnlessStopped();
        if (!note)
            throw;
        const RelayHTTPError internal = RelayHTTPError::internal();
        throw RelayHTTPError(internal.status(), internal.code(), endedWith(internal.message(), *note));
    }
}

template ReplyOutput ClaudeReplyRunner::tellingWhatStayed<ReplyOutput>(
    const std::function<ReplyOutput(std::vector<GitGuard::MovedChange>&)>&, std::string ReplyOutput::*,
    const std::stop_token&);
template CompactedConversation ClaudeReplyRunner::tellingWhatStayed<CompactedConversation>(
    const std::function<CompactedConversation(std::vector<GitGuard::MovedChange>&)>&,
    std::string CompactedConversation::*, const std::stop_token&);

fs::path ClaudeReplyRunner::locateClaude() const
{
    auto claude = m_locate ? m_locate() : std::nullopt;
    if (!claude)
        throw RelayHTTPError(503, "claude_unavailable", "Claude Code is not installed on the Mac.");
    return *claude;
}

ResolvedPermissions ClaudeReplyRunner::resolvePermissions(
    const std::optional<PermissionSettings>& settings) const
{
    std::optional<std::string> loginPath;
    if (m_path)
        loginPath = m_path();
    return m_data.resolver.resolve(settings.value_or(PermissionSettings()), loginPath);
}

fs::path ClaudeReplyRunner::settingsFile(const fs::path& dataFolder, std::string_view conversationID)
{
    std::string name(conversationID);
    std::replace(name.begin(), name.end(), ':', '_');
    return dataFolder / settingsFolderName / (name + ".json");
}

ClaudeReplyRunner::RunSettings ClaudeReplyRunner::writeSettingsFile(
    std::string_view conversationID, const fs::path& workFolder, const ResolvedPermissions& permissions) const
{
    RunSettings settings { settingsFile(m_data.folder, conversationID), {}, {}, {}, {} };
    try {
        settings.git = ClaudeInvocation::gitProtection(workFolder, permissions, m_data.resolver);
        CommandGit::Handover commandGit = writeCommandGitHandover(settings, workFolder, permissions);
        JSON document = ClaudeInvocation::settingsJSON(
            workFolder, permissions, m_data.resolver, settings.git, commandGit);
        const fs::path resolvedWork = ClaudeInvocation::resolvedWorkFolder(workFolder);
        settings.deniedWrites = SandboxPlaceholders::deniedWrites(document);
        settings.writablePlaces
            = ClaudeInvocation::commandWritablePlaces(resolvedWork, permissions.applyingGates());
        // With a sandbox, Claude Code's own denials get placeholders as well.
        if (!settings.deniedWrites.empty()) {
            for (const auto& path :
                ClaudeInvocation::claudeCodesDenials(settings.writablePlaces, resolvedWork))
                settings.deniedWrites.push_back(path.string());
        }
        settings.keptOff = ClaudeInvocation::keptOffPaths(workFolder, permissions, settings.git);
        // Written afresh before every run, so a crash cannot lose anything a later run needs.
        writePrivateFile(document.encoded(), settings.file, Durability::untilRestart);
    } catch (...) {
        throw RelayHTTPError(
            507, "insufficient_storage", "The settings for Claude Code could not be written on the Mac.");
    }
    return settings;
}

CommandGit::Handover ClaudeReplyRunner::writeCommandGitHandover(
    const RunSettings& settings, const fs::path& workFolder, const ResolvedPermissions& permissions) const
{
    if (!permissions.applyingGates().bash)
        return {};
    CommandGit::Handover handover { CommandGit::userIdentity(ClaudeInvocation::usersGit(m_data.resolver)),
        {} };
    fs::path excludes = fs::path(settings.file).replace_extension(excludesExtension);
    std::string patterns = std::string(CommandGit::claudeCodeStagingPattern)
        + CommandGit::excludePatterns(ClaudeInvocation::placeholderPaths(workFolder, permissions,
            m_data.resolver, settings.git, SandboxPlaceholders::notedByLiveRuns(m_data.folder)));
    writePrivateFile(patterns, excludes, Durability::untilRestart);
    handover.excludesFile = std::move(excludes);
    return handover;
}

std::string ClaudeReplyRunner::systemPromptFor(
    std::string_view botID, const std::optional<BotProfile>& bot, Prompts::ActionsBlock actions) const
{
    return Prompts::systemPrompt(botID, bot, actions, *routineTimeZone());
}

Prompts::Sections ClaudeReplyRunner::contextSections(
    const JobSubmission& submission, const ResolvedPermissions& permissions)
{
    Prompts::Sections sections;
    sections.emplace("permissions", Prompts::permissionsSection(permissions, m_data.resolver.home));
    sections.emplace("memory", Prompts::memoryList(m_data.memory.memories(submission.conversationID)));
    if (submission.allowedActions.empty() || submission.routineID)
        return sections;
    sections.emplace("bots", Prompts::botsSection(submission.botID, submission.bot, submission.otherBots));
    if (auto directory = routineDirectory(); directory && directory->routinesEnabled()) {
        bool allBots = submission.bot && submission.bot->primary;
        sections.emplace(
            "routines", Prompts::routinesSection(directory->summaries(submission.botID, allBots)));
    }
    return sections;
}

bool ClaudeReplyRunner::isPassedEnvironmentName(std::string_view name)
{
    auto listed
        = [name](const auto& names) { return std::find(names.begin(), names.end(), name) != names.end(); };
    return listed(keptEnvironmentNames) && !listed(removedEnvironmentNames);
}

ClaudeReplyRunner::Environment ClaudeReplyRunner::childEnvironment(
    const Environment& base, const std::string& path, const fs::path& temporaryFolder)
{
    Environment environment;
    for (const auto& [name, value] : base) {
        if (isPassedEnvironmentName(name))
            environment.emplace(name, value);
    }
    environment.insert_or_assign("PATH", path);
    environment.try_emplace("LANG", "en_US.UTF-8");
    environment.insert_or_assign("CLAUDE_CODE_TMPDIR", temporaryFolder.string());
    return environment;
}

fs::path ClaudeReplyRunner::makeTemporaryFolder()
{
    std::string name(temporaryFolderTemplate);
    // mkdtemp makes the folder with mode 0700.
    if (!::mkdtemp(name.data()))
        throw RelayHTTPError(507, "insufficient_storage", "A temporary folder could not be made on the Mac.");
    return name;
}

void ClaudeReplyRunner::removeQuietly(const fs::path& url)
{
    // The run's commands may still be changing what is inside: no link in there is followed.
    FolderTree::remove(url);
}

ClaudeReplyRunner::SessionChoice ClaudeReplyRunner::chooseSession(
    const std::optional<std::string>& storedSessionID, std::optional<double> ageSeconds,
    const SessionStore::SummaryAndRecent& history)
{
    if (!storedSessionID)
        return { std::nullopt, Prompts::conversationSoFar(history.summary, history.recent) };
    if (ageSeconds && *ageSeconds > sessionIdleLimit) {
        if (auto handover = Prompts::conversationSoFar(history.summary, history.recent);
            handover && !handover->empty())
            return { std::nullopt, std::move(handover) };
    }
    return { storedSessionID, std::nullopt };
}

}
