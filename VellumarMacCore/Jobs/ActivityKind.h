// The visible state of a job, how progress events and end states map onto it, and the display
// texts of those states.
#pragma once

#include "VellumarMacCore/ClaudeCode/RunnerEvent.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar {

// The declaration order is the numbering 0 to 17 the phone and the menu rely on.
enum class ActivityKind {
    queued,
    starting,
    thinking,
    reading,
    searchingFiles,
    writingFiles,
    runningCommand,
    browsing,
    working,
    preparing,
    writingReply,
    compacting,
    waitingForApproval,
    attaching,
    done,
    failed,
    canceled,
    interrupted,
};

inline constexpr std::array<ActivityKind, 18> allActivityKinds { ActivityKind::queued, ActivityKind::starting,
    ActivityKind::thinking, ActivityKind::reading, ActivityKind::searchingFiles, ActivityKind::writingFiles,
    ActivityKind::runningCommand, ActivityKind::browsing, ActivityKind::working, ActivityKind::preparing,
    ActivityKind::writingReply, ActivityKind::compacting, ActivityKind::waitingForApproval,
    ActivityKind::attaching, ActivityKind::done, ActivityKind::failed, ActivityKind::canceled,
    ActivityKind::interrupted };

// The text sent to the phone as "activityKind" ("searching_files", "waiting_for_approval", ...).
std::string_view rawValue(ActivityKind kind);
// Exactly one of the 18 raw values; nullopt for any other text, case names included.
std::optional<ActivityKind> activityKindFromRawValue(std::string_view text);
// The kind a progress event shows; nullopt for `interim`, whose text the job manager keeps apart.
// Tool names are compared case-sensitively and unknown ones show as `working`.
std::optional<ActivityKind> activityKindForEvent(const RunnerEvent& event);
// "done", "canceled" and "interrupted" show as themselves; every other final status as `failed`.
ActivityKind activityKindForStatus(std::string_view status);

// The localised display text of each kind, filled once by the application. The field order is not
// the kind order: the four end states follow `working`.
struct ActivityLabels {
    std::string queued;
    std::string starting;
    std::string thinking;
    std::string reading;
    std::string searchingFiles;
    std::string writingFiles;
    std::string runningCommand;
    std::string browsing;
    std::string working;
    std::string done;
    std::string failed;
    std::string canceled;
    std::string interrupted;
    std::string preparing;
    std::string writingReply;
    std::string compacting;
    std::string waitingForApproval;
    std::string attaching;

    // The field named like the kind.
    const std::string& text(ActivityKind kind) const;
    // The text of the event's kind; nullopt for an `interim` event.
    std::optional<std::string> text(const RunnerEvent& event) const;
};

}
