// One chat request as the job manager queues it and the reply runner reads it, and the strict parser
// of a job request's JSON body.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Permissions/PermissionSettings.h"
#include "VellumarMacCore/Reply/BotProfile.h"
#include "VellumarMacCore/Reply/JobRecords.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

struct JobSubmission {
    static constexpr std::size_t kMaxMessageCharacters = 8000;
    static constexpr double kMinTimeLimitSeconds = 60;
    static constexpr double kDefaultTimeLimitSeconds = 1800;
    static constexpr double kMaxTimeLimitSeconds = 10800;
    static constexpr std::size_t kMaxApprovals = 2;
    static constexpr std::size_t kMaxOtherBots = 50;
    static constexpr std::size_t kMaxAllowedActions = 32;
    static constexpr std::size_t kMaxActionNameLength = 40;

    // Every key a job request body may hold; any other fails the request.
    static constexpr std::array<std::string_view, 13> kKeys { "conversationId", "botId", "message", "mode",
        "timeLimitSeconds", "bot", "otherBots", "allowedActions", "attachments", "permissions", "autoCompact",
        "approvals", "vault" };

    std::string conversationID;
    std::string botID;
    // Trimmed; empty only when `attachments` is not.
    std::string message;
    JobMode mode { JobMode::queue };
    double timeLimit { kDefaultTimeLimitSeconds }; // seconds, kMinTimeLimitSeconds to kMaxTimeLimitSeconds
    std::optional<BotProfile> bot;
    std::vector<OtherBot> otherBots;
    // Action type names the bot may propose, distinct, in request order.
    std::vector<std::string> allowedActions;
    // Upload ids, "uploads/" and a file name, distinct, in request order.
    std::vector<std::string> attachments;
    std::optional<PermissionSettings> permissions;
    std::optional<AutoCompactSetting> autoCompact;
    // "a-" ids of pending approvals this message grants.
    std::vector<std::string> approvals;
    // Set only for a routine's scheduled run, whose job asks the user nothing.
    std::optional<std::string> routineID;

    // The body of a job request. Throws RelayHTTPError 400 "bad_request" with the sentence of the
    // first rule the body breaks. Pure; any thread.
    static JobSubmission parse(const JSON& body);

    // Each reads one member; `value` is nullptr when the key is absent. They throw like `parse`.
    static double parseTimeLimit(const JSON* value);
    static std::vector<std::string> parseAttachments(const JSON* value);
    static std::vector<OtherBot> parseOtherBots(const JSON* value);
    static std::vector<std::string> parseAllowedActions(const JSON* value);
    static std::vector<std::string> parseApprovals(const JSON* value);

    // 1 to kMaxActionNameLength characters, each a-z or "_".
    static bool isActionName(std::string_view name);

    friend bool operator==(const JobSubmission&, const JobSubmission&) = default;
};

}
