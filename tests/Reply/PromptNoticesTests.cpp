#include "VellumarMacCore/Reply/Prompts.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace vellumar;

namespace {

const std::string kCurrentSettingsHead
    = "[Current settings] (the app sends these at the start and whenever they "
      "change; always follow the newest)\n";

Prompts::Sections allSections()
{
    return {
        { "permissions", "[Permissions]\n- Web search and fetching pages: on." },
        { "memory", "[Memory] (what you remember; the user may edit it in the app)\n- (nothing yet)" },
        { "bots", "[Bots]\n- (no other bots)" },
        { "routines", "[Routines]\n- (no routines)" },
    };
}

std::string noticeHead(const std::string& labels)
{
    return "[Notice: the " + labels
        + " changed] The user changed this after your last reply. It is now as follows. No need to correct "
          "or "
          "apologise for earlier replies.\n";
}

// `count` user-perceived characters, each one letter and one combining mark (three UTF-8 bytes).
std::string accented(std::size_t count)
{
    std::string text;
    for (std::size_t index = 0; index < count; ++index)
        text += "e\xCC\x81";
    return text;
}

}

TEST(PromptNotices, DigestsMatchTheFirstSixteenHexDigitsOfSha256sum)
{
    Prompts::Sections sections {
        { "empty", "" },
        { "permissions", "[Permissions]\n- Web search and fetching pages: on." },
        { "unicode", "Grüße … 日本語 🧑🏽‍💻" },
        { "long", std::string(100000, 'x') + "\n" },
    };
    auto digests = Prompts::settingsDigests(sections);
    ASSERT_EQ(digests.size(), sections.size());
    for (const auto& [key, text] : sections) {
        SCOPED_TRACE(key);
        auto peer = test::runPeer({ "sha256sum" }, text);
        ASSERT_EQ(peer.exitStatus, 0);
        EXPECT_EQ(digests[key], peer.output.substr(0, 16));
    }
}

TEST(PromptNotices, FirstTurnGivesEveryPresentSectionInTheFixedOrder)
{
    auto sections = allSections();
    sections.erase("bots");
    sections.emplace("extra", "not a settings section");
    EXPECT_EQ(Prompts::settingsNotice(sections, std::nullopt),
        kCurrentSettingsHead + sections["permissions"] + "\n" + sections["memory"] + "\n"
            + sections["routines"]);
    EXPECT_EQ(Prompts::settingsNotice({}, std::nullopt), kCurrentSettingsHead);
}

TEST(PromptNotices, SettingsNoticeNamesOnlyTheChangedSections)
{
    auto before = allSections();
    auto previous = Prompts::settingsDigests(before);
    EXPECT_EQ(Prompts::settingsNotice(before, previous), std::nullopt);

    auto memoryChanged = before;
    memoryChanged["memory"] += "\n- m-00000001: Likes tea";
    EXPECT_EQ(
        Prompts::settingsNotice(memoryChanged, previous), noticeHead("memory") + memoryChanged["memory"]);

    auto botsAndRoutines = before;
    botsAndRoutines["routines"] += "!";
    botsAndRoutines["bots"] += "!";
    EXPECT_EQ(Prompts::settingsNotice(botsAndRoutines, previous),
        noticeHead("bot list, routines") + botsAndRoutines["bots"] + "\n" + botsAndRoutines["routines"]);
}

TEST(PromptNotices, SettingsNoticeEdgeCases)
{
    auto sections = allSections();
    auto previous = Prompts::settingsDigests(sections);
    struct Case {
        const char* name;
        Prompts::Sections sections;
        Prompts::Digests previous;
        std::optional<std::string> expected;
    } cases[] = {
        { "a section gone since the last turn is not reported",
            { { "permissions", sections["permissions"] }, { "memory", sections["memory"] } }, previous,
            std::nullopt },
        { "a section new since the last turn is reported", sections,
            { { "permissions", previous["permissions"] }, { "memory", previous["memory"] } },
            noticeHead("bot list, routines") + sections["bots"] + "\n" + sections["routines"] },
        { "previous digests empty: every present section changed", { { "memory", sections["memory"] } }, {},
            noticeHead("memory") + sections["memory"] },
        { "a changed key outside the fixed order is ignored",
            [&] {
                auto more = sections;
                more["extra"] = "new";
                return more;
            }(),
            previous, std::nullopt },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        EXPECT_EQ(Prompts::settingsNotice(check.sections, check.previous), check.expected);
    }
}

TEST(PromptNotices, ApprovalNotices)
{
    const std::string approvedHead
        = "[Notice: approved] The user approved the following. During this reply only, "
          "you may do it (from the next reply on, approval is needed again).\n";
    const std::string approvedTail
        = "\nContinue the approved work. Do nothing irreversible that is unrelated to it.";
    const std::string expired
        = "[Notice: approval expired] The approval had expired (Vellumar for Mac restarted "
          "or an hour passed), so it is not allowed this time. If still needed, try again; a "
          "new approval card will appear.";
    Prompts::KindLabels labels { { "bash", "Run commands" } };
    std::vector<ApprovalStore::Approved> items { { "bash", { "ls -la", "make" } },
        { "write", { "/tmp/a.txt" } } };
    struct Case {
        const char* name;
        std::vector<ApprovalStore::Approved> approved;
        std::int64_t expiredCount;
        std::optional<std::string> expected;
    } cases[] = {
        { "neither", {}, 0, std::nullopt },
        { "approved, labels or the kind itself", items, 0,
            approvedHead + "- Run commands: ls -la / make\n- write: /tmp/a.txt" + approvedTail },
        { "expired once whatever the count", {}, 3, expired },
        { "both, approved first", { items[1] }, 1,
            approvedHead + "- write: /tmp/a.txt" + approvedTail + "\n\n" + expired },
        { "a negative count is no expiry", {}, -1, std::nullopt },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        EXPECT_EQ(Prompts::approvalNotices(check.approved, check.expiredCount, labels), check.expected);
    }
}

TEST(PromptNotices, RoutineResultsNoticeQuotesEachRoutine)
{
    EXPECT_EQ(Prompts::routineResultsNotice({}), std::nullopt);
    EXPECT_EQ(
        Prompts::routineResultsNotice({ { "News", "Three headlines" }, { "Plants", "Water\nthe fern" } }),
        "[Notice: routine results were posted to this conversation] They ran in a separate session and the "
        "user "
        "has seen them in the chat. Keep them in mind.\n"
        "- Routine \"News\": Three headlines\n"
        "- Routine \"Plants\": Water\nthe fern");
}

TEST(PromptNotices, InvalidActionReasonsListThreeDistinctThenMore)
{
    struct Case {
        const char* name;
        std::vector<std::string> reasons;
        std::string reasonsText;
    } cases[] = {
        { "five reasons, four distinct", { "a", "b", "a", "c", "d" }, "a; b; c; and more" },
        { "three identical", { "same", "same", "same" }, "same" },
        { "exactly three distinct", { "x", "y", "z" }, "x; y; z" },
        { "order of first occurrence", { "z", "y", "z", "x" }, "z; y; x" },
        { "texts differing in case are distinct", { "A", "a" }, "A; a" },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        auto n = std::to_string(check.reasons.size());
        EXPECT_EQ(Prompts::invalidActionReasons(check.reasons), check.reasonsText);
        EXPECT_EQ(Prompts::invalidActionsNote(check.reasons),
            "(From Vellumar for Mac: " + n
                + " action(s) in this reply were not valid and were not carried out: " + check.reasonsText
                + ".)");
        EXPECT_EQ(Prompts::invalidActionsNotice(check.reasons),
            "[Notice from the app] " + n
                + " action block(s) in your previous reply were not valid and did nothing ("
                + check.reasonsText
                + "). Requests to other bots and similar were not delivered. If you told the user they were, "
                  "say "
                  "they were not, and send corrected blocks if still needed.");
    }
}

TEST(PromptNotices, InterruptionNotice)
{
    const std::string interrupted
        = "[Notice from the app] Writing the reply to the previous message was "
          "interrupted by the user's new message. Answer the new message, keeping the "
          "previous one in mind.";
    const std::string canceled = "[Notice from the app] The user stopped the reply to the previous message.";
    const std::string reached = " Before it stopped, these messages had reached the user: ";
    struct Case {
        const char* name;
        std::string reason;
        std::vector<std::string> interim;
        std::optional<std::string> expected;
    } cases[] = {
        { "done", "done", { "a" }, std::nullopt },
        { "failed", "failed", {}, std::nullopt },
        { "reason compared exactly", "Canceled", {}, std::nullopt },
        { "interrupted without interim texts", "interrupted", {}, interrupted },
        { "canceled with two texts", "canceled", { "a", "b" }, canceled + reached + "\"a\" \"b\"." },
        { "201 characters keep 200 and an ellipsis", "canceled", { std::string(201, 'x') },
            canceled + reached + "\"" + std::string(200, 'x') + "…\"." },
        { "200 characters stay whole", "canceled", { std::string(200, 'y') },
            canceled + reached + "\"" + std::string(200, 'y') + "\"." },
        { "characters are counted as the reader sees them", "interrupted", { accented(200), accented(201) },
            interrupted + reached + "\"" + accented(200) + "\" \"" + accented(200) + "…\"." },
        { "an empty interim text is quoted empty", "interrupted", { "" }, interrupted + reached + "\"\"." },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        EXPECT_EQ(Prompts::interruptionNotice(check.reason, check.interim), check.expected);
    }
}

TEST(PromptNotices, SummaryHandoverInsertsTheSummaryAsGiven)
{
    EXPECT_EQ(Prompts::summaryHandover("## About the user\n  none\n"),
        "[Summary of the conversation so far] (the app summarised the previous session)\n"
        "## About the user\n  none\n\n\n"
        "Continue this conversation from here. Keep this in mind and reply only \"OK\" this time.");
}

TEST(PromptNotices, BuildersAgreeAcrossThreads)
{
    auto sections = allSections();
    auto expected = Prompts::settingsDigests(sections);
    std::vector<std::string> interim { accented(300) };
    auto expectedNotice = Prompts::interruptionNotice("canceled", interim);
    std::vector<std::jthread> threads;
    std::vector<int> agreed(8, 0);
    for (std::size_t index = 0; index < agreed.size(); ++index) {
        threads.emplace_back([&, index] {
            for (int round = 0; round < 200; ++round) {
                if (Prompts::settingsDigests(sections) == expected
                    && Prompts::interruptionNotice("canceled", interim) == expectedNotice
                    && Prompts::sectionLabels().size() == 4)
                    ++agreed[index];
            }
        });
    }
    threads.clear();
    for (auto count : agreed)
        EXPECT_EQ(count, 200);
}
