// Which tool calls the phone's activity marks for what the Git protection moved aside or could not undo:
// the one call a change can be tied to, and where none can be, every call that could have made it.
#include "VellumarMacCore/Reply/MovedAsideActivity.h"

#include "VellumarMacCore/ConversationData/ApprovalStore.h"

#include <gtest/gtest.h>

using namespace vellumar;
using MovedAsideActivity::Comparisons;
using MovedAsideActivity::kMovedAsideStatus;
using MovedAsideActivity::kStayedStatus;

namespace {

ClaudeStreamParser::ToolUse toolCall(std::string id, std::string tool, std::int64_t at,
    std::optional<std::int64_t> endedAt, JSON input = JSON::object({}))
{
    std::string kind = ApprovalStore::toolKind(tool);
    return { .id = std::move(id),
        .at = at,
        .tool = tool,
        .kind = kind,
        .target = ApprovalStore::toolDetail(tool, &input),
        .status = "ok",
        .endedAt = endedAt,
        .input = std::move(input) };
}

}

TEST(MovedAsideActivity, MarksTheCallAChangeIsTiedToOrElseEveryCallThatCouldHaveMadeIt)
{
    const std::vector<ClaudeStreamParser::ToolUse> uses = {
        toolCall("first", "Bash", 100, 200),
        toolCall("read", "Read", 250, 260),
        toolCall("second", "Bash", 300, 400),
        toolCall("write", "Write", 500, 510, JSON::object({ { "file_path", "/p/.git/hooks/pre-push" } })),
        toolCall("denied", "Bash", 600, 610),
        toolCall("background", "Bash", 700, 705, JSON::object({ { "run_in_background", true } })),
        toolCall("unanswered", "Bash", 900, std::nullopt),
    };
    const GitGuard::MovedChange hook { "/p/.git/hooks/post-merge.refused-20261208T101010Z-0a1b", "" };
    const GitGuard::MovedChange stayed { "/p/.githooks/x.sh", "",
        GitGuard::MovedChange::Stayed { "told", "/p" } };
    const GitGuard::MovedChange unrecorded { "/p", "", GitGuard::MovedChange::Stayed { "told", "/p", true } };
    const auto asChangesCame = Comparisons::asChangesCame;
    const std::map<std::string, std::string_view> everyCall
        = { { "first", kMovedAsideStatus }, { "second", kMovedAsideStatus }, { "write", kMovedAsideStatus },
              { "background", kMovedAsideStatus }, { "unanswered", kMovedAsideStatus } };
    struct Case {
        const char* name;
        std::vector<MovedAsideFiles::Added> changes;
        Comparisons comparisons;
        std::map<std::string, std::string_view> expected;
    };
    const Case cases[] = {
        { "found while one command ran", { { hook, 150 } }, asChangesCame,
            { { "first", kMovedAsideStatus } } },
        { "found as its command ended", { { hook, 200 } }, asChangesCame,
            { { "first", kMovedAsideStatus } } },
        { "found while one command ran, where comparisons came late", { { hook, 150 } }, Comparisons::later,
            everyCall },
        { "found between two commands", { { hook, 250 } }, asChangesCame, everyCall },
        { "found before any call was read", { { hook, 50 } }, asChangesCame, everyCall },
        { "at the name a Write wrote",
            { { { "/p/.git/hooks/pre-push.refused-20261208T101010Z-2", "" }, 150 } }, asChangesCame,
            { { "write", kMovedAsideStatus } } },
        { "after its result, while a command left running in the background ran", { { hook, 800 } },
            asChangesCame, { { "background", kMovedAsideStatus } } },
        { "while that one and one never answered ran", { { hook, 950 } }, asChangesCame, everyCall },
        { "what stayed, by the call that also made what went aside", { { hook, 150 }, { stayed, 160 } },
            asChangesCame, { { "first", kStayedStatus } } },
        { "a place whose windows could not be recorded, which no call made", { { unrecorded, 150 } },
            asChangesCame, {} },
        { "nothing changed", {}, asChangesCame, {} },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(MovedAsideActivity::statuses(uses, { "denied" }, testCase.changes, testCase.comparisons),
            testCase.expected);
    }
}
