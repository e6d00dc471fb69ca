// The texts that Claude Code is given on a bot's turn: the system prompt, the settings sections that
// describe the bot's situation, the notices about what changed since its last reply, the attachment
// lines of a message, the hand-over text of a new session and the texts of routine and summary runs.
// Every text is part of the bots' behaviour and is built character for character.
//
// All functions are pure (only the ones that say so read the file system or the environment), never
// fail, and may run on any thread at the same time.
#pragma once

#include "VellumarMacCore/ConversationData/ApprovalStore.h"
#include "VellumarMacCore/ConversationData/SessionStore.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/GitProtection/GitProtection.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "VellumarMacCore/Reply/BotProfile.h"
#include "VellumarMacCore/Reply/JobRecords.h"
#include "VellumarMacCore/Reply/RoutineDirectory.h"

#include <unicode/timezone.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::Prompts {

// Section key -> section text, and section key -> digest (the session store keeps the latter).
using Sections = std::map<std::string, std::string, std::less<>>;
using Digests = std::map<std::string, std::string, std::less<>>;
// Approval kind -> the label the bot is shown.
using KindLabels = std::map<std::string, std::string, std::less<>>;

// The settings sections in the order they are always given.
inline constexpr std::array<std::string_view, 4> sectionKeys { "permissions", "memory", "bots", "routines" };

// How earlier attachment details are found again in stored text (ICU syntax).
inline constexpr std::string_view videoFramesLinePattern
    = R"((?m)^(\s*)The video itself cannot be read; look at these frames with Read: .*$)";
inline constexpr std::string_view jpegCopyLinePattern = R"((?m)^\s*JPEG copy: .*\n?)";
inline constexpr std::string_view framePathPattern = R"([\w./-]*-frames/frame-\d+\.jpg)";

enum class ActionsBlock { omitted, included };

// --- The system prompt and the settings sections.

// The introduction, "[How to reply]", "[Tools and permissions]" and "[Memory]", then "[Actions]" when
// included, separated by blank lines. Only the zone's identifier is used.
std::string systemPrompt(std::string_view botID, const std::optional<BotProfile>& bot, ActionsBlock actions,
    const icu::TimeZone& timeZone);
std::string intro(const std::optional<BotProfile>& bot);
std::string actionsSection(std::string_view botID, const icu::TimeZone& timeZone);

// "[Permissions]". The first form reads the user's home folder from the environment ($HOME) to write
// the folders of command-line tools relative to it; the second takes it, symbolic links resolved.
std::string permissionsSection(const ResolvedPermissions& permissions);
std::string permissionsSection(
    const ResolvedPermissions& permissions, const std::filesystem::path& homeFolder);
std::string networkLine(const ResolvedPermissions& permissions);
// "[Memory]" as a list; entries are the memory store's objects with "id" and "text".
std::string memoryList(const std::vector<JSON>& entries);
std::string botsSection(
    std::string_view botID, const std::optional<BotProfile>& bot, const std::vector<OtherBot>& otherBots);
std::string routinesSection(const std::vector<RoutineSummary>& routines);

// --- Notices given in front of the user's message.

// Section key -> what change notices call the section.
const std::map<std::string, std::string, std::less<>>& sectionLabels();

// For every section, the first 8 bytes of the SHA-256 digest of its UTF-8 text in lowercase hex.
Digests settingsDigests(const Sections& sections);
// Without previous digests (a new session), every present section under "[Current settings]";
// otherwise a notice with only the sections whose digest changed, or nothing when none did.
std::optional<std::string> settingsNotice(const Sections& sections, const std::optional<Digests>& previous);
std::optional<std::string> approvalNotices(const std::vector<ApprovalStore::Approved>& approved,
    std::int64_t expiredCount, const KindLabels& labels);
std::optional<std::string> routineResultsNotice(const std::vector<SessionStore::PostedResult>& results);

// The distinct reasons, first three only, joined with "; " (then "; and more").
std::string invalidActionReasons(const std::vector<std::string>& reasons);
// The note appended to the reply the user sees.
std::string invalidActionsNote(const std::vector<std::string>& reasons);
// The notice the bot gets on its next turn.
std::string invalidActionsNotice(const std::vector<std::string>& reasons);

// The notice the bot gets on its next turn about what the Git protection moved aside during its run
// (`GitGuard::compare`'s changes): one line per file, naming it, the setting or hook that counted, and
// where the change waits, and for a name among `writtenByFileTools` (what the run's Write and Edit
// targeted, as the kernel resolves their folders) that the tool's own write went aside there, whatever
// the tool reported; then, apart, what it could not undo (`GitGuard::MovedChange::stayed`), each with its
// repository, and apart again each place whose windows could not be recorded (`placeUnrecorded`); nothing
// when nothing went aside or stayed.
std::optional<std::string> movedAsideNotice(const std::vector<GitGuard::MovedChange>& moved,
    const std::set<std::filesystem::path>& writtenByFileTools = {});
// The note that ends what the user sees of a reply where changes stayed, however the reply ended (its
// text, the error the phone shows, or the stop): each with its repository and what the log says of it,
// and apart each place whose windows could not be recorded; nothing where none did.
std::optional<std::string> stayedNote(const std::vector<GitGuard::MovedChange>& moved);

// For a reply that ended "interrupted" or "canceled", what the bot is told on the next run, quoting
// the interim texts that had reached the user; nothing for any other end reason.
std::optional<std::string> interruptionNotice(
    std::string_view endReason, const std::vector<std::string>& interimTexts);

// --- The message and its attachments.

// The trimmed message followed by one line per attachment. Reads the work folder (sizes, video
// frames, preview copies); a file-system failure only leaves a detail out.
std::string attachmentsSection(std::string_view message, const std::vector<std::string>& attachments,
    const std::filesystem::path& workFolder);
// `path` is relative to the work folder.
std::string attachmentLine(std::string_view path, const std::filesystem::path& workFolder);
// Turns the attachment details of earlier turns into short markers.
std::string stripEarlierAttachments(std::string_view text);

// --- Hand-over and routine texts.

// One stored turn ({"user", "reply"} or {"routine", "reply"}) as the bot reads it back.
std::string turnText(const JSON& turn);
// What a new session starts from; nothing when there is neither a summary nor a turn.
std::optional<std::string> conversationSoFar(
    const std::optional<std::string>& summary, const std::vector<JSON>& turns);
// The last day's turns (oldest first) for a routine run, newest kept first up to a size limit, dated in
// `timeZone`.
std::string routineContext(const std::vector<SessionStore::Turn>& turns, const icu::TimeZone& timeZone);
std::string routineRequest(std::string_view name, std::string_view scheduleLabel, std::string_view prompt,
    const std::optional<std::string>& history);

// The whole input of a summarise run, and of the run that starts the next session from its summary.
std::string summaryRequest();
std::string summaryHandover(std::string_view summary);

}
