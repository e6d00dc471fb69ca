#include "VellumarMacCore/Reply/Prompts.h"

#include "tests/support/TestSupport.h"
#include "tests/support/TextPins.h"

#include <gtest/gtest.h>

#include <thread>

using namespace vellumar;

namespace {

Prompts::Sections allSections()
{
    return {
        { "permissions", "[Permissions]\n- Web search and fetching pages: on." },
        { "memory", "[Memory] (what you remember; the user may edit it in the app)\n- (nothing yet)" },
        { "bots", "[Bots]\n- (no other bots)" },
        { "routines", "[Routines]\n- (no routines)" },
    };
}

Prompts::Sections changed(Prompts::Sections sections, std::initializer_list<const char*> keys)
{
    for (auto key : keys)
        sections[key] += "!";
    return sections;
}

// `count` user-perceived characters, each one letter and one combining mark (three UTF-8 bytes).
std::string accented(std::size_t count)
{
    std::string text;
    for (std::size_t index = 0; index < count; ++index)
        text += "e\xCC\x81";
    return text;
}

// A notice pinned by the first digits of its SHA-256 digest, or none when `digest` is null.
struct NoticeCase {
    const char* name;
    std::optional<std::string> notice;
    const char* digest;
};

void expectNotices(const std::vector<NoticeCase>& cases)
{
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        if (!check.digest)
            EXPECT_EQ(check.notice, std::nullopt);
        else if (check.notice)
            test::expectPinned(*check.notice, check.digest);
        else
            ADD_FAILURE() << "no notice";
    }
}

}

TEST(PromptNotices, DigestsMatchTheFirstSixteenHexDigitsOfSha256sum)
{
    Prompts::Sections sections {
        { "empty", "" },
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

TEST(PromptNotices, SettingsNoticeGivesEverySectionFirstAndThenOnlyTheChangedOnes)
{
    auto sections = allSections();
    auto previous = Prompts::settingsDigests(sections);
    auto partial = sections;
    partial.erase("bots");
    partial.emplace("extra", "not a settings section");
    auto onlyPermissionsAndMemory = previous;
    onlyPermissionsAndMemory.erase("bots");
    onlyPermissionsAndMemory.erase("routines");
    expectNotices({
        { "first turn: present sections in the fixed order", Prompts::settingsNotice(partial, std::nullopt),
            "84af149fb3ffc121" },
        { "first turn without sections", Prompts::settingsNotice({}, std::nullopt), "176dee7a7e8ec600" },
        { "nothing changed", Prompts::settingsNotice(sections, previous), nullptr },
        { "memory changed", Prompts::settingsNotice(changed(sections, { "memory" }), previous),
            "06ed162c50dc8b58" },
        { "bots and routines changed, in the fixed order",
            Prompts::settingsNotice(changed(sections, { "routines", "bots" }), previous),
            "d9d20b4552b0972e" },
        { "a section gone since the last turn",
            Prompts::settingsNotice({ { "memory", sections["memory"] } }, previous), nullptr },
        { "sections new since the last turn", Prompts::settingsNotice(sections, onlyPermissionsAndMemory),
            "751dfc3e70dafa7a" },
        { "a changed key outside the fixed order",
            Prompts::settingsNotice(changed(partial, { "extra" }), Prompts::settingsDigests(partial)),
            nullptr },
    });
}

TEST(PromptNotices, ApprovalAndRoutineNotices)
{
    Prompts::KindLabels labels { { "bash", "Run commands" } };
    std::vector<ApprovalStore::Approved> items { { "bash", { "ls -la", "make" } },
        { "write", { "/tmp/a.txt" } } };
    expectNotices({
        { "neither", Prompts::approvalNotices({}, 0, labels), nullptr },
        { "approved, by label or the kind itself", Prompts::approvalNotices(items, 0, labels),
            "6dfd880ba6a5462a" },
        { "expired once whatever the count", Prompts::approvalNotices({}, 3, labels), "884ec2137d078fd0" },
        { "both, approved first", Prompts::approvalNotices({ items[1] }, 1, labels), "5300432ae99f19c0" },
        { "a negative count is no expiry", Prompts::approvalNotices({}, -1, labels), nullptr },
        { "no routine results", Prompts::routineResultsNotice({}), nullptr },
        { "routine results quoted",
            Prompts::routineResultsNotice({ { "News", "Three headlines" }, { "Plants", "Water\nthe fern" } }),
            "0259124323d13a44" },
        { "summary hand-over", Prompts::summaryHandover("## About the user\n  none\n"), "1fadff4e29dbe9de" },
    });
}

TEST(PromptNotices, InvalidActionReasonsListThreeDistinctThenMore)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        { { "a", "b", "a", "c", "d" }, "a; b; c; and more" },
        { { "same", "same", "same" }, "same" },
        { { "x", "y", "z" }, "x; y; z" },
        { { "z", "y", "z", "x" }, "z; y; x" },
    };
    for (const auto& [reasons, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Prompts::invalidActionReasons(reasons), text);
    }
    // Both count every refused block, repeats included.
    test::expectPinned(Prompts::invalidActionsNote(cases[0].first), "d7f153a94d528a84");
    test::expectPinned(Prompts::invalidActionsNotice(cases[0].first), "1985e74e441f6827");
}

TEST(PromptNotices, InterruptionNoticeQuotesWhatReachedTheUser)
{
    expectNotices({
        { "done", Prompts::interruptionNotice("done", { "a" }), nullptr },
        { "interrupted without interim texts", Prompts::interruptionNotice("interrupted", {}),
            "dc045043b62cf5b7" },
        { "canceled with two texts", Prompts::interruptionNotice("canceled", { "a", "b" }),
            "3a5aa1e9d08443c7" },
        { "201 characters keep 200 and an ellipsis",
            Prompts::interruptionNotice("canceled", { std::string(201, 'x') }), "cf9891035c2422a1" },
        { "200 characters stay whole", Prompts::interruptionNotice("canceled", { std::string(200, 'y') }),
            "961a31894f1e9ad0" },
        { "characters counted as the reader sees them",
            Prompts::interruptionNotice("interrupted", { accented(200), accented(201) }),
            "32f8f29114fd2b3b" },
        { "an empty interim text is quoted empty", Prompts::interruptionNotice("interrupted", { "" }),
            "ca6d8c9c43e511fa" },
    });
}

TEST(PromptNotices, BuildersAgreeAcrossThreads)
{
    auto sections = allSections();
    auto expected = Prompts::settingsDigests(sections);
    std::vector<std::string> interim { accented(300) };
    auto expectedNotice = Prompts::interruptionNotice("canceled", interim);
    std::vector<int> agreed(8, 0);
    {
        std::vector<std::jthread> threads;
        for (auto& count : agreed) {
            threads.emplace_back([&] {
                for (int round = 0; round < 200; ++round)
                    count += Prompts::settingsDigests(sections) == expected
                        && Prompts::interruptionNotice("canceled", interim) == expectedNotice
                        && Prompts::sectionLabels().size() == 4;
            });
        }
    }
    EXPECT_EQ(agreed, std::vector<int>(agreed.size(), 200));
}
