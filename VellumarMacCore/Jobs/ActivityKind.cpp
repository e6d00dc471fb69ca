#include "VellumarMacCore/Jobs/ActivityKind.h"

namespace vellumar {

namespace {

    // Indexed by the kind's declaration order.
    constexpr std::array<std::string_view, allActivityKinds.size()> kRawValues { "queued", "starting",
        "thinking", "reading", "searching_files", "writing_files", "running_command", "browsing", "working",
        "preparing", "writing_reply", "compacting", "waiting_for_approval", "attaching", "done", "failed",
        "canceled", "interrupted" };

    struct ToolActivity {
        std::string_view toolName;
        ActivityKind kind;
    };

    constexpr ToolActivity kToolActivities[] = {
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
    };

    ActivityKind activityKindForTool(std::string_view toolName)
    {
        for (const auto& entry : kToolActivities) {
            if (entry.toolName == toolName)
                return entry.kind;
        }
        return ActivityKind::working;
    }

}

std::string_view rawValue(ActivityKind kind) { return kRawValues[static_cast<std::size_t>(kind)]; }

std::optional<ActivityKind> activityKindFromRawValue(std::string_view text)
{
    for (auto kind : allActivityKinds) {
        if (rawValue(kind) == text)
            return kind;
    }
    return std::nullopt;
}

std::optional<ActivityKind> activityKindForEvent(const RunnerEvent& event)
{
    switch (event.kind) {
    case RunnerEvent::Kind::tool:
        return activityKindForTool(event.text);
    case RunnerEvent::Kind::interim:
        return std::nullopt;
    case RunnerEvent::Kind::thinking:
        return ActivityKind::thinking;
    case RunnerEvent::Kind::writing:
        return ActivityKind::writingReply;
    case RunnerEvent::Kind::preparing:
        return ActivityKind::preparing;
    case RunnerEvent::Kind::compacting:
        return ActivityKind::compacting;
    case RunnerEvent::Kind::attaching:
        return ActivityKind::attaching;
    }
    return std::nullopt;
}

ActivityKind activityKindForStatus(std::string_view status)
{
    for (auto kind : { ActivityKind::done, ActivityKind::canceled, ActivityKind::interrupted }) {
        if (rawValue(kind) == status)
            return kind;
    }
    return ActivityKind::failed;
}

const std::string& ActivityLabels::text(ActivityKind kind) const
{
    switch (kind) {
    case ActivityKind::queued:
        return queued;
    case ActivityKind::starting:
        return starting;
    case ActivityKind::thinking:
        return thinking;
    case ActivityKind::reading:
        return reading;
    case ActivityKind::searchingFiles:
        return searchingFiles;
    case ActivityKind::writingFiles:
        return writingFiles;
    case ActivityKind::runningCommand:
        return runningCommand;
    case ActivityKind::browsing:
        return browsing;
    case ActivityKind::working:
        return working;
    case ActivityKind::preparing:
        return preparing;
    case ActivityKind::writingReply:
        return writingReply;
    case ActivityKind::compacting:
        return compacting;
    case ActivityKind::waitingForApproval:
        return waitingForApproval;
    case ActivityKind::attaching:
        return attaching;
    case ActivityKind::done:
        return done;
    case ActivityKind::failed:
        return failed;
    case ActivityKind::canceled:
        return canceled;
    case ActivityKind::interrupted:
        return interrupted;
    }
    // A value outside the enumeration can only come from a broken cast; show it as a failure.
    return failed;
}

std::optional<std::string> ActivityLabels::text(const RunnerEvent& event) const
{
    auto kind = activityKindForEvent(event);
    if (!kind)
        return std::nullopt;
    return text(*kind);
}

}
