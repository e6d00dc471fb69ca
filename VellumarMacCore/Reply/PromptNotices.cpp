// The per-turn texts of the prompts: settings notices, approval, routine-result, invalid-action,
// moved-aside and interruption notices.
#include "VellumarMacCore/Reply/Prompts.h"

#include "Platform/Crypto.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Reply/MovedAsideFiles.h"
#include "VellumarMacCore/Reply/PromptText.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace vellumar::Prompts {

using detail::inQuotes;
using detail::joined;

namespace {

    constexpr std::size_t kListedReasons = 3;
    constexpr std::int64_t kInterimCharacters = 200;

    std::vector<std::string> sectionTexts(const Sections& sections, const std::vector<std::string_view>& keys)
    {
        std::vector<std::string> texts;
        for (auto key : keys)
            texts.push_back(sections.find(key)->second);
        return texts;
    }

    std::string hexDigest(std::string_view text)
    {
        auto digest = platform::sha256(text);
        std::string hex;
        for (std::size_t index = 0; index < 8; ++index) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", digest[index]);
            hex += pair;
        }
        return hex;
    }

}

const std::map<std::string, std::string, std::less<>>& sectionLabels()
{
    static const std::map<std::string, std::string, std::less<>> labels {
        { "permissions", "permissions" },
        { "memory", "memory" },
        { "bots", "bot list" },
        { "routines", "routines" },
    };
    return labels;
}

Digests settingsDigests(const Sections& sections)
{
    Digests digests;
    for (const auto& [key, text] : sections)
        digests.emplace(key, hexDigest(text));
    return digests;
}

std::optional<std::string> settingsNotice(const Sections& sections, const std::optional<Digests>& previous)
{
    std::vector<std::string_view> present;
    for (auto key : sectionKeys) {
        if (sections.contains(key))
            present.push_back(key);
    }
    if (!previous)
        return "[Current settings] (the app sends these at the start and whenever they change; always follow "
               "the "
               "newest)\n"
            + joined(sectionTexts(sections, present), "\n");

    auto current = settingsDigests(sections);
    std::vector<std::string_view> changed;
    std::vector<std::string> labels;
    for (auto key : present) {
        auto before = previous->find(key);
        if (before != previous->end() && before->second == current.find(key)->second)
            continue;
        changed.push_back(key);
        labels.push_back(sectionLabels().find(key)->second);
    }
    if (changed.empty())
        return std::nullopt;
    return "[Notice: the " + joined(labels, ", ") + " changed] The user changed this after "
        + "your last reply. It is now as follows. No need to correct or apologise for earlier replies.\n"
        + joined(sectionTexts(sections, changed), "\n");
}

std::optional<std::string> approvalNotices(
    const std::vector<ApprovalStore::Approved>& approved, std::int64_t expiredCount, const KindLabels& labels)
{
    std::vector<std::string> notices;
    if (!approved.empty()) {
        std::vector<std::string> lines;
        for (const auto& item : approved) {
            auto label = labels.find(item.kind);
            lines.push_back("- " + (label == labels.end() ? item.kind : label->second) + ": "
                + joined(item.details, " / "));
        }
        notices.push_back(
            "[Notice: approved] The user approved the following. During this reply only, you may "
            "do it (from the next reply on, approval is needed again).\n"
            + joined(lines, "\n")
            + "\nContinue the approved work. Do nothing irreversible that is unrelated to it.");
    }
    if (expiredCount > 0)
        notices.push_back(
            "[Notice: approval expired] The approval had expired (Vellumar for Mac restarted or an "
            "hour passed), so it is not allowed this time. If still needed, try again; a new "
            "approval card will appear.");
    if (notices.empty())
        return std::nullopt;
    return joined(notices, "\n\n");
}

std::optional<std::string> routineResultsNotice(const std::vector<SessionStore::PostedResult>& results)
{
    if (results.empty())
        return std::nullopt;
    std::vector<std::string> lines;
    for (const auto& result : results)
        lines.push_back("- Routine " + inQuotes(result.routine) + ": " + result.reply);
    return "[Notice: routine results were posted to this conversation] They ran in a separate session and "
           "the "
           "user has seen them in the chat. Keep them in mind.\n"
        + joined(lines, "\n");
}

std::string invalidActionReasons(const std::vector<std::string>& reasons)
{
    std::set<std::string_view> seen;
    std::vector<std::string> distinct;
    for (const auto& reason : reasons) {
        if (seen.insert(reason).second)
            distinct.push_back(reason);
    }
    bool more = distinct.size() > kListedReasons;
    if (more)
        distinct.resize(kListedReasons);
    return joined(distinct, "; ") + (more ? "; and more" : "");
}

std::string invalidActionsNote(const std::vector<std::string>& reasons)
{
    return "(From Vellumar for Mac: " + std::to_string(reasons.size())
        + " action(s) in this reply were not valid and were not carried out: " + invalidActionReasons(reasons)
        + ".)";
}

std::string invalidActionsNotice(const std::vector<std::string>& reasons)
{
    return "[Notice from the app] " + std::to_string(reasons.size())
        + " action block(s) in your previous reply were not valid and did nothing ("
        + invalidActionReasons(reasons) + "). "
        + "Requests to other bots and similar were not delivered. If you told the user they were, say they "
        + "were not, and " + "send corrected blocks if still needed.";
}

namespace {

    // One line per change that stayed: the repository holding it, then what the log says of it. Each
    // run over the repository that finds it still there tells it again, a compaction's and its turn's.
    // Where `unrecorded`, one per place whose windows could not be recorded instead, as the log says it.
    std::optional<std::string> stayedLines(const std::vector<GitGuard::MovedChange>& moved, bool unrecorded)
    {
        std::vector<std::string> lines;
        for (const auto& change : moved) {
            if (!change.stayed || change.stayed->placeUnrecorded != unrecorded)
                continue;
            std::string line = unrecorded
                ? "- " + change.stayed->told
                : "- In " + change.stayed->repository.string() + ": " + change.stayed->told;
            if (std::ranges::find(lines, line) == lines.end())
                lines.push_back(std::move(line));
        }
        return lines.empty() ? std::nullopt : std::optional(joined(lines, "\n"));
    }

}

std::optional<std::string> movedAsideNotice(const std::vector<GitGuard::MovedChange>& moved,
    const std::set<std::filesystem::path>& writtenByFileTools)
{
    // A command can make a hundred thousand folders that go aside: named each, the notice alone would
    // fill the bot's next prompt past what it takes, and that message would fail.
    constexpr std::size_t kMostNamed = 100;
    std::vector<std::string> lines;
    std::size_t unnamed = 0;
    for (const auto& [path, reason, stayed] : moved) {
        if (stayed)
            continue;
        if (lines.size() == kMostNamed) {
            ++unnamed;
            continue;
        }
        auto changed = MovedAsideFiles::changedName(path);
        lines.push_back("- " + changed.string() + (reason.empty() ? "" : " (" + reason + ")")
            + ": Git or another program outside the sandbox could act on what the change put there, so "
              "what was there before, if anything, is back; "
            + (changed == path ? "the change stays at the file's other hard links."
                               : "the change is kept beside it as " + path.filename().string() + ".")
            + (writtenByFileTools.contains(changed)
                    ? " Your file tool's write of it is what went aside, whatever the tool reported (a "
                      "missing file, ENOENT, or success)."
                    : ""));
    }
    if (unnamed > 0)
        lines.push_back("- and " + std::to_string(unnamed)
            + " more the same way, each kept beside its name as <name>.refused-<time>-<random>.");
    std::vector<std::string> notices;
    if (!lines.empty())
        notices.push_back(
            "[Notice from the app] During your previous reply the Git protection undid these changes (made "
            "by "
            "a command, a file tool or the user). A repository made during the reply keeps its commits, "
            "refs, "
            "work and everyday settings; only its hooks and the settings that can make Git run a program, "
            "change where Git connects or whom it trusts, or redefine a command go aside, and its "
            "configuration stays in place without them. A file tool that reported one of these names missing "
            "(ENOENT) right after writing it did write it: the write is what went aside. Do not make them "
            "again; tell the user what went aside and why, and that they enable one themselves once they "
            "have "
            "read it: a hook by moving the .refused- file back to its name (mv "
            "<name>.refused-<time>-<random> "
            "<name>; it kept its execute bit), a setting with git config.\n"
            + joined(lines, "\n"));
    if (auto stayed = stayedLines(moved, false))
        notices.push_back(
            "[Notice from the app] During your previous reply the Git protection could not undo "
            "these changes (made by a command, a file tool or the user): they stay, and the user's "
            "Git, run outside the sandbox, may act on them. Do not make such changes again; tell "
            "the user which repository holds each and what it is, so that they remove it before "
            "they use Git there.\n"
            + *stayed);
    if (auto unrecorded = stayedLines(moved, true))
        notices.push_back("[Notice from the app] The Git protection could not record when commands could "
                          "write in these places. Nothing stayed for it, but until it can, a change there "
                          "counts as a command's whenever it was made. Tell the user, so that they know why "
                          "their own changes to a Git repository there may go aside.\n"
            + *unrecorded);
    if (notices.empty())
        return std::nullopt;
    return joined(notices, "\n\n");
}

std::optional<std::string> stayedNote(const std::vector<GitGuard::MovedChange>& moved)
{
    std::vector<std::string> notes;
    if (auto stayed = stayedLines(moved, false))
        notes.push_back("(From Vellumar for Mac: the Git protection could not undo what changed in these "
                        "repositories during this reply; Git run there may act on it until it is removed.\n"
            + *stayed + ")");
    if (auto unrecorded = stayedLines(moved, true))
        notes.push_back("(From Vellumar for Mac: the Git protection could not record when commands could "
                        "write in these places.\n"
            + *unrecorded + ")");
    if (notes.empty())
        return std::nullopt;
    return joined(notes, "\n");
}

std::optional<std::string> interruptionNotice(
    std::string_view endReason, const std::vector<std::string>& interimTexts)
{
    std::string base;
    if (endReason == "interrupted")
        base = "[Notice from the app] Writing the reply to the previous message was interrupted by the "
               "user's new "
               "message. Answer the new message, keeping the previous one in mind.";
    else if (endReason == "canceled")
        base = "[Notice from the app] The user stopped the reply to the previous message.";
    else
        return std::nullopt;
    if (interimTexts.empty())
        return base;

    std::vector<std::string> shown;
    for (const auto& text : interimTexts) {
        auto kept = characterPrefixLength(text, kInterimCharacters);
        shown.push_back(kept == text.size() ? text : text.substr(0, kept) + "…");
    }
    return base + " Before it stopped, these messages had reached the user: \"" + joined(shown, "\" \"")
        + "\".";
}

std::string summaryHandover(std::string_view summary)
{
    return "[Summary of the conversation so far] (the app summarised the previous session)\n"
        + std::string(summary) + "\n\n"
        + R"(Continue this conversation from here. Keep this in mind and reply only "OK" this time.)";
}

std::string summaryRequest()
{
    return "[Summarise the conversation (request from the app)] Summarise the conversation so far so that a "
           "new "
           "session can continue it. Use no tools. Write Markdown under these headings, at most about 1500 "
           "words "
           "in total, in the language of the conversation:\n"
           "## About the user\n"
           "## Important facts\n"
           "## Decisions\n"
           "## Files used (work folder and allowed folders)\n"
           "## Open items and next steps\n"
           R"(Give the latest turns the most detail and keep names, numbers and paths exact. Write "none" under a heading with nothing. For images and videos say in a few words what they showed; never list paths of video frames. No greetings, and never key, token or password values.)";
}

}
