#include "VellumarMacCore/Jobs/ActivityKind.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace vellumar {
namespace {

    TEST(ActivityKind, RawValuesInTheirFixedNumbering)
    {
        const std::string_view expected[] = { "queued", "starting", "thinking", "reading", "searching_files",
            "writing_files", "running_command", "browsing", "working", "preparing", "writing_reply",
            "compacting", "waiting_for_approval", "attaching", "done", "failed", "canceled", "interrupted" };
        ASSERT_EQ(allActivityKinds.size(), std::size(expected));
        for (std::size_t number = 0; number < allActivityKinds.size(); ++number) {
            SCOPED_TRACE(number);
            EXPECT_EQ(static_cast<std::size_t>(allActivityKinds[number]), number);
            EXPECT_EQ(rawValue(allActivityKinds[number]), expected[number]);
            EXPECT_EQ(activityKindFromRawValue(expected[number]), allActivityKinds[number]);
        }
    }

    TEST(ActivityKind, AcceptsOnlyExactRawValues)
    {
        const char* refused[] = { "searchingFiles", "writingReply", "waitingForApproval", "Queued", "DONE",
            " done", "done ", "", "cancelled", "running" };
        for (const char* text : refused) {
            SCOPED_TRACE(text);
            EXPECT_FALSE(activityKindFromRawValue(text));
        }
    }

    TEST(ActivityKind, ToolNamesMapCaseSensitively)
    {
        struct Case {
            const char* tool;
            ActivityKind kind;
        };
        const Case cases[] = {
            { "Read", ActivityKind::reading },
            { "NotebookRead", ActivityKind::reading },
            { "Glob", ActivityKind::searchingFiles },
            { "Grep", ActivityKind::searchingFiles },
            { "LS", ActivityKind::searchingFiles },
            { "Write", ActivityKind::writingFiles },
            { "Edit", ActivityKind::writingFiles },
            { "MultiEdit", ActivityKind::writingFiles },
            { "NotebookEdit", ActivityKind::writingFiles },
            { "Bash", ActivityKind::runningCommand },
            { "WebSearch", ActivityKind::browsing },
            { "WebFetch", ActivityKind::browsing },
            { "read", ActivityKind::working },
            { "bash", ActivityKind::working },
            { "Ls", ActivityKind::working },
            { "Read ", ActivityKind::working },
            { "mcp__vellumar__approve", ActivityKind::working },
            { "Task", ActivityKind::working },
            { "", ActivityKind::working },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.tool);
            EXPECT_EQ(activityKindForEvent(RunnerEvent::tool(testCase.tool)), testCase.kind);
        }
    }

    TEST(ActivityKind, OtherEventsMapToTheirOwnKindsAndInterimToNone)
    {
        EXPECT_EQ(activityKindForEvent(RunnerEvent::thinking()), ActivityKind::thinking);
        EXPECT_EQ(activityKindForEvent(RunnerEvent::writing()), ActivityKind::writingReply);
        EXPECT_EQ(activityKindForEvent(RunnerEvent::preparing()), ActivityKind::preparing);
        EXPECT_EQ(activityKindForEvent(RunnerEvent::compacting()), ActivityKind::compacting);
        EXPECT_EQ(activityKindForEvent(RunnerEvent::attaching()), ActivityKind::attaching);
        EXPECT_FALSE(activityKindForEvent(RunnerEvent::interim("Looking into it")));
        EXPECT_FALSE(activityKindForEvent(RunnerEvent::interim("Read")));
    }

    TEST(ActivityKind, EveryStatusButTheThreeEndStatesIsAFailure)
    {
        struct Case {
            const char* status;
            ActivityKind kind;
        };
        const Case cases[] = {
            { "done", ActivityKind::done },
            { "canceled", ActivityKind::canceled },
            { "interrupted", ActivityKind::interrupted },
            { "failed", ActivityKind::failed },
            { "", ActivityKind::failed },
            { "Done", ActivityKind::failed },
            { "cancelled", ActivityKind::failed },
            { "running", ActivityKind::failed },
            { "queued", ActivityKind::failed },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.status);
            EXPECT_EQ(activityKindForStatus(testCase.status), testCase.kind);
        }
    }

    // Each field holds its own position in the declaration, so a label read from the wrong field shows.
    ActivityLabels numberedLabels()
    {
        return { "1 queued", "2 starting", "3 thinking", "4 reading", "5 searchingFiles", "6 writingFiles",
            "7 runningCommand", "8 browsing", "9 working", "10 done", "11 failed", "12 canceled",
            "13 interrupted", "14 preparing", "15 writingReply", "16 compacting", "17 waitingForApproval",
            "18 attaching" };
    }

    TEST(ActivityLabels, TextOfAKindIsTheFieldNamedLikeIt)
    {
        auto labels = numberedLabels();
        EXPECT_EQ(labels.text(ActivityKind::done), "10 done");
        EXPECT_EQ(labels.text(ActivityKind::preparing), "14 preparing");
        std::set<std::string> seen;
        for (auto kind : allActivityKinds) {
            SCOPED_TRACE(std::string(rawValue(kind)));
            const auto& text = labels.text(kind);
            seen.insert(text);
            // The raw value is the field name in snake case.
            std::string fieldName;
            for (char character : rawValue(kind)) {
                if (character == '_')
                    continue;
                fieldName += character;
            }
            std::string flattened;
            for (char character : text.substr(text.find(' ') + 1))
                flattened += static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
            EXPECT_EQ(flattened, fieldName);
        }
        EXPECT_EQ(seen.size(), allActivityKinds.size());
    }

    TEST(ActivityLabels, TextOfAnEventIsTheTextOfItsKind)
    {
        auto labels = numberedLabels();
        EXPECT_EQ(labels.text(RunnerEvent::tool("Grep")), "5 searchingFiles");
        EXPECT_EQ(labels.text(RunnerEvent::tool("Unknown")), "9 working");
        EXPECT_EQ(labels.text(RunnerEvent::writing()), "15 writingReply");
        EXPECT_EQ(labels.text(RunnerEvent::attaching()), "18 attaching");
        EXPECT_FALSE(labels.text(RunnerEvent::interim("almost there")));
    }

}
}
