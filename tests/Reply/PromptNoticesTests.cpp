#include "VellumarMacCore/Reply/Prompts.h"

#include "tests/support/JobsTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TextPins.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace vellumar;
using test::repeated;

namespace {

const Prompts::Sections kSections {
    { "permissions", "[Permissions]\n- Web search and fetching pages: on." },
    { "memory", "[Memory] (what you remember; the user may edit it in the app)\n- (nothing yet)" },
    { "bots", "[Bots]\n- (no other bots)" },
    { "routines", "[Routines]\n- (no routines)" },
};

Prompts::Sections changed(Prompts::Sections sections, std::initializer_list<const char*> keys)
{
    for (auto key : keys)
        sections[key] += "!";
    return sections;
}

}

TEST(PromptNotices, DigestsMatchTheFirstSixteenHexDigitsOfSha256sum)
{
    Prompts::Sections sections { { "empty", "" }, { "unicode", "Grüße … 日本語 🧑🏽‍💻\n" } };
    auto digests = Prompts::settingsDigests(sections);
    ASSERT_EQ(digests.size(), sections.size());
    for (const auto& [key, text] : sections) {
        SCOPED_TRACE(key);
        auto peer = test::runPeer({ "sha256sum" }, text);
        ASSERT_EQ(peer.exitStatus, 0);
        EXPECT_EQ(digests[key], peer.output.substr(0, 16));
    }
}

// Each group of notices joined ("(none)" where there is none) and pinned by the first digits of its
// SHA-256 digest; a failure shows the whole group.
TEST(PromptNotices, NoticesAreExactAndOnlyGivenWhenSomethingHappened)
{
    auto previous = Prompts::settingsDigests(kSections);
    auto partial = kSections;
    partial.erase("bots");
    partial.emplace("extra", "not a settings section");
    auto onlyPermissionsAndMemory = previous;
    onlyPermissionsAndMemory.erase("bots");
    onlyPermissionsAndMemory.erase("routines");
    Prompts::KindLabels labels { { "bash", "Run commands" } };
    std::vector<ApprovalStore::Approved> items { { "bash", { "ls -la", "make" } },
        { "write", { "/tmp/a.txt" } } };
    const std::string accented = repeated("e\xCC\x81", 200);
    const std::pair<std::vector<std::optional<std::string>>, const char*> groups[] = {
        // Settings: every present section first in the fixed order, then only the changed ones.
        { { Prompts::settingsNotice(partial, std::nullopt), Prompts::settingsNotice({}, std::nullopt),
              Prompts::settingsNotice(kSections, previous),
              Prompts::settingsNotice(changed(kSections, { "memory" }), previous),
              Prompts::settingsNotice(changed(kSections, { "routines", "bots" }), previous),
              Prompts::settingsNotice({ { "memory", kSections.at("memory") } }, previous),
              Prompts::settingsNotice(kSections, onlyPermissionsAndMemory),
              Prompts::settingsNotice(changed(partial, { "extra" }), Prompts::settingsDigests(partial)) },
            "409a35f856a7dc9b" },
        // Approved items by label or by kind, expiries once whatever the count, routine results.
        { { Prompts::approvalNotices({}, 0, labels), Prompts::approvalNotices(items, 0, labels),
              Prompts::approvalNotices({}, 3, labels), Prompts::approvalNotices({ items[1] }, 1, labels),
              Prompts::approvalNotices({}, -1, labels), Prompts::routineResultsNotice({}),
              Prompts::routineResultsNotice(
                  { { "News", "Three headlines" }, { "Plants", "Water\nthe fern" } }),
              Prompts::summaryHandover("## About the user\n  none\n"),
              // Both count every refused block, repeats included.
              Prompts::invalidActionsNote({ "a", "b", "a", "c", "d" }),
              Prompts::invalidActionsNotice({ "a", "b", "a", "c", "d" }) },
            "b16fd97d5daa7a6b" },
        // Interim texts quoted up to 200 characters as the reader counts them.
        { { Prompts::interruptionNotice("done", { "a" }), Prompts::interruptionNotice("interrupted", {}),
              Prompts::interruptionNotice("canceled", { "a", "b" }),
              Prompts::interruptionNotice("canceled", { repeated("x", 201), repeated("y", 200) }),
              Prompts::interruptionNotice("interrupted", { accented, accented + "e", "" }) },
            "bc7ddb973c2f5abe" },
    };
    for (const auto& [notices, digest] : groups) {
        std::string joined;
        for (const auto& notice : notices)
            joined += notice.value_or("(none)") + "\n---\n";
        test::expectPinned(joined, digest);
    }
}

// Each file on a line of its own, by the name the change had, with what counted and where the change
// waits; a name that held the guard's label itself, and a hard-linked hook put back in place, keep their
// own names.
TEST(PromptNotices, MovedAsideNoticeNamesEachFileAndWhy)
{
    struct Case {
        const char* name;
        std::vector<GitGuard::MovedChange> moved;
        std::vector<std::string> lines; // after the first
        std::set<std::filesystem::path> writtenByFileTools = {};
    };
    const std::string why
        = ": Git or another program outside the sandbox could act on what the change put there, so what "
          "was there before, if anything, is back; ";
    const Case cases[] = {
        { "nothing", {}, {} },
        { "a hook and a configuration",
            { { "/p/.git/hooks/pre-commit.refused-20261208T101010Z", "the hook pre-commit was added" },
                { "/p/.git/config.refused-20261208T101010Z-2", "core.fsmonitor was set" } },
            { "- /p/.git/hooks/pre-commit (the hook pre-commit was added)" + why
                    + "the change is kept beside it as pre-commit.refused-20261208T101010Z.",
                "- /p/.git/config (core.fsmonitor was set)" + why
                    + "the change is kept beside it as config.refused-20261208T101010Z-2." } },
        { "a name that held the label, with nothing more to say than its name",
            { { "/p/.git/hooks/x.refused-1.refused-20261208T101010Z", "" } },
            { "- /p/.git/hooks/x.refused-1" + why
                + "the change is kept beside it as x.refused-1.refused-20261208T101010Z." } },
        { "a hard-linked hook put back in place",
            { { "/p/.git/hooks/post-merge", "the hook post-merge changed" } },
            { "- /p/.git/hooks/post-merge (the hook post-merge changed)" + why
                + "the change stays at the file's other hard links." } },
        { "a hook a Write wrote, beside a configuration a command wrote",
            { { "/p/.git/hooks/pre-push.refused-20261208T101010Z-0a1b2c3d", "the hook pre-push was added" },
                { "/p/.git/config.refused-20261208T101010Z-4e5f6a7b", "core.pager was set" } },
            { "- /p/.git/hooks/pre-push (the hook pre-push was added)" + why
                    + "the change is kept beside it as pre-push.refused-20261208T101010Z-0a1b2c3d. Your file "
                      "tool's write of it is what went aside, whatever the tool reported (a missing file, "
                      "ENOENT, or success).",
                "- /p/.git/config (core.pager was set)" + why
                    + "the change is kept beside it as config.refused-20261208T101010Z-4e5f6a7b." },
            { "/p/.git/hooks/pre-push", "/p/.git/hooks/pre-commit" } },
        { "a change that stayed, beside one that went aside, is told only as staying",
            { { "/p/.git/hooks/pre-push", "the hook pre-push was added",
                  GitGuard::MovedChange::Stayed { "/p/.git/hooks/pre-push stays", "/p" } },
                { "/p/.git/config.refused-20261208T101010Z", "core.pager was set" } },
            { "- /p/.git/config (core.pager was set)" + why
                    + "the change is kept beside it as config.refused-20261208T101010Z.",
                "",
                "[Notice from the app] During your previous reply the Git protection could not undo these "
                "changes (made by a command, a file tool or the user): they stay, and the user's Git, run "
                "outside the sandbox, may act on them. Do not make such changes again; tell the user which "
                "repository holds each and what it is, so that they remove it before they use Git there.",
                "- In /p: /p/.git/hooks/pre-push stays" },
            { "/p/.git/hooks/pre-push" } },
        { "a place whose windows could not be recorded, told apart from a change that stayed",
            { { "/p/.git/hooks/pre-push", "the hook pre-push was added",
                  GitGuard::MovedChange::Stayed { "/p/.git/hooks/pre-push stays", "/p" } },
                { "/h/P", "when commands could write there could not be recorded",
                    GitGuard::MovedChange::Stayed {
                        "When commands could write in /h/P could not be recorded.", "/h/P", true } } },
            { "- In /p: /p/.git/hooks/pre-push stays", "",
                "[Notice from the app] The Git protection could not record when commands could write in "
                "these places. Nothing stayed for it, but until it can, a change there counts as a "
                "command's whenever it was made. Tell the user, so that they know why their own changes to "
                "a Git repository there may go aside.",
                "- When commands could write in /h/P could not be recorded." } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto notice = Prompts::movedAsideNotice(testCase.moved, testCase.writtenByFileTools);
        ASSERT_EQ(notice.has_value(), !testCase.lines.empty());
        if (!notice)
            continue;
        std::istringstream stream(*notice);
        std::vector<std::string> lines;
        for (std::string line; std::getline(stream, line);)
            lines.push_back(line);
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), testCase.lines);
    }
}

// A flood of changes that went aside names the first hundred and counts the rest, so that the bot's next
// prompt stays one Claude Code takes.
TEST(PromptNotices, MovedAsideNoticeCountsWhatItDoesNotName)
{
    std::vector<GitGuard::MovedChange> moved;
    for (int index = 0; index < 100'001; ++index)
        moved.push_back({ "/p/made-" + std::to_string(index) + ".refused-20261208T101010Z", "made" });
    const auto notice = Prompts::movedAsideNotice(moved, {});
    ASSERT_TRUE(notice);
    EXPECT_EQ(std::ranges::count(*notice, '\n'), 101);
    EXPECT_TRUE(notice->ends_with("\n- and 99901 more the same way, each kept beside its name as "
                                  "<name>.refused-<time>-<random>."));
}
