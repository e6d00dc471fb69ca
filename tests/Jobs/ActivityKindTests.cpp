#include "VellumarMacCore/Jobs/ActivityKind.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace vellumar {
namespace {

    // What each input shows as, as one line of raw values ("none" for nothing).
    template <typename Input, typename Map> std::string shownAs(std::initializer_list<Input> inputs, Map map)
    {
        std::string shown;
        for (const auto& input : inputs) {
            std::optional<ActivityKind> kind = map(input);
            shown += (kind ? std::string(rawValue(*kind)) : "none") + " ";
        }
        return shown;
    }

    // The numbering and the raw values are the phone's; tool names and statuses map as the phone shows them.
    TEST(ActivityKind, RawValuesToolsEventsAndStatusesMapExactly)
    {
        std::string raw;
        for (std::size_t number = 0; number < allActivityKinds.size(); ++number) {
            EXPECT_EQ(static_cast<std::size_t>(allActivityKinds[number]), number);
            EXPECT_EQ(activityKindFromRawValue(rawValue(allActivityKinds[number])), allActivityKinds[number]);
            raw += std::string(rawValue(allActivityKinds[number])) + " ";
        }
        EXPECT_EQ(raw,
            "queued starting thinking reading searching_files writing_files running_command browsing working "
            "preparing writing_reply compacting waiting_for_approval attaching done failed canceled "
            "interrupted ");
        EXPECT_EQ(shownAs({ "searchingFiles", "DONE", " done", "" }, activityKindFromRawValue),
            "none none none none ");
        EXPECT_EQ(shownAs({ "Read", "NotebookRead", "Glob", "Grep", "LS", "Write", "Edit", "MultiEdit",
                              "NotebookEdit", "Bash", "WebSearch", "WebFetch", "read", "Ls", "Read ", "" },
                      [](const char* tool) { return activityKindForEvent(RunnerEvent::tool(tool)); }),
            "reading reading searching_files searching_files searching_files writing_files writing_files "
            "writing_files "
            "writing_files running_command browsing browsing working working working working ");
        EXPECT_EQ(
            shownAs({ RunnerEvent::thinking(), RunnerEvent::writing(), RunnerEvent::preparing(),
                        RunnerEvent::compacting(), RunnerEvent::attaching(), RunnerEvent::interim("Read") },
                activityKindForEvent),
            "thinking writing_reply preparing compacting attaching none ");
        EXPECT_EQ(
            shownAs({ "done", "canceled", "interrupted", "failed", "Done", "queued" }, activityKindForStatus),
            "done canceled interrupted failed failed failed ");
    }

    // Each field holds its own name, so a label read from the wrong field shows; the field order is not
    // the kind order. The raw value is the field name in snake case.
    TEST(ActivityLabels, TextOfAKindOrAnEventIsTheFieldNamedLikeIt)
    {
        const ActivityLabels labels { "queued", "starting", "thinking", "reading", "searchingFiles",
            "writingFiles", "runningCommand", "browsing", "working", "done", "failed", "canceled",
            "interrupted", "preparing", "writingReply", "compacting", "waitingForApproval", "attaching" };
        for (auto kind : allActivityKinds) {
            std::string label;
            for (char character : labels.text(kind))
                label += static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
            std::string raw(rawValue(kind));
            std::erase(raw, '_');
            EXPECT_EQ(label, raw);
        }
        EXPECT_EQ(labels.text(RunnerEvent::tool("Grep")), "searchingFiles");
        EXPECT_FALSE(labels.text(RunnerEvent::interim("almost there")));
    }

}
}
