#include "VellumarMacCore/Jobs/ActivityKind.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

namespace vellumar {
namespace {

    // The numbering and the raw values are the phone's; tool names and statuses map as the phone shows them.
    TEST(ActivityKind, RawValuesToolsEventsAndStatusesMapExactly)
    {
        const std::string_view raw[] = { "queued", "starting", "thinking", "reading", "searching_files",
            "writing_files", "running_command", "browsing", "working", "preparing", "writing_reply",
            "compacting", "waiting_for_approval", "attaching", "done", "failed", "canceled", "interrupted" };
        ASSERT_EQ(allActivityKinds.size(), std::size(raw));
        for (std::size_t number = 0; number < allActivityKinds.size(); ++number) {
            EXPECT_EQ(static_cast<std::size_t>(allActivityKinds[number]), number);
            EXPECT_EQ(rawValue(allActivityKinds[number]), raw[number]);
            EXPECT_EQ(activityKindFromRawValue(raw[number]), allActivityKinds[number]);
        }
        for (const char* refused : { "searchingFiles", "DONE", " done", "" })
            EXPECT_FALSE(activityKindFromRawValue(refused)) << refused;

        using enum ActivityKind;
        const std::pair<const char*, ActivityKind> tools[]
            = { { "Read", reading }, { "NotebookRead", reading }, { "Glob", searchingFiles },
                  { "Grep", searchingFiles }, { "LS", searchingFiles }, { "Write", writingFiles },
                  { "Edit", writingFiles }, { "MultiEdit", writingFiles }, { "NotebookEdit", writingFiles },
                  { "Bash", runningCommand }, { "WebSearch", browsing }, { "WebFetch", browsing },
                  { "read", working }, { "Ls", working }, { "Read ", working }, { "", working } };
        for (const auto& [tool, kind] : tools)
            EXPECT_EQ(activityKindForEvent(RunnerEvent::tool(tool)), kind) << tool;
        const std::pair<RunnerEvent, std::optional<ActivityKind>> events[]
            = { { RunnerEvent::thinking(), thinking }, { RunnerEvent::writing(), writingReply },
                  { RunnerEvent::preparing(), preparing }, { RunnerEvent::compacting(), compacting },
                  { RunnerEvent::attaching(), attaching }, { RunnerEvent::interim("Read"), std::nullopt } };
        for (const auto& [event, kind] : events)
            EXPECT_EQ(activityKindForEvent(event), kind) << event.text;
        const std::pair<const char*, ActivityKind> statuses[] = { { "done", done }, { "canceled", canceled },
            { "interrupted", interrupted }, { "failed", failed }, { "Done", failed }, { "queued", failed } };
        for (const auto& [status, kind] : statuses)
            EXPECT_EQ(activityKindForStatus(status), kind) << status;
    }

    // Each field holds its own name, so a label read from the wrong field shows; the field order is not
    // the kind order.
    TEST(ActivityLabels, TextOfAKindOrAnEventIsTheFieldNamedLikeIt)
    {
        const ActivityLabels labels { "queued", "starting", "thinking", "reading", "searchingFiles",
            "writingFiles", "runningCommand", "browsing", "working", "done", "failed", "canceled",
            "interrupted", "preparing", "writingReply", "compacting", "waitingForApproval", "attaching" };
        for (auto kind : allActivityKinds) {
            // The raw value is the field name in snake case.
            std::string fieldName;
            for (char character : rawValue(kind))
                fieldName += character == '_' ? "" : std::string(1, character);
            std::string label = labels.text(kind);
            for (char& character : label)
                character = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
            EXPECT_EQ(label, fieldName);
        }
        EXPECT_EQ(labels.text(RunnerEvent::tool("Grep")), "searchingFiles");
        EXPECT_FALSE(labels.text(RunnerEvent::interim("almost there")));
    }

}
}
