// A job request from the phone: any body either parses into a submission within its limits or is
// refused with a RelayHTTPError; nothing else may escape, and a parsed bot profile reads back the same.
#include "VellumarMacCore/ConversationData/UploadRules.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Reply/JobSubmission.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool withinLimits(const vellumar::JobSubmission& submission)
{
    using vellumar::JobSubmission;
    if (submission.timeLimit < JobSubmission::kMinTimeLimitSeconds
        || submission.timeLimit > JobSubmission::kMaxTimeLimitSeconds)
        return false;
    if (submission.attachments.size() > static_cast<std::size_t>(vellumar::UploadRules::maxAttachments)
        || submission.approvals.size() > JobSubmission::kMaxApprovals
        || submission.otherBots.size() > JobSubmission::kMaxOtherBots
        || submission.allowedActions.size() > JobSubmission::kMaxAllowedActions)
        return false;
    if (submission.message.empty() && submission.attachments.empty())
        return false;
    if (submission.bot) {
        auto json = submission.bot->json();
        if (vellumar::BotProfile::parse(&json) != submission.bot)
            return false;
    }
    return !submission.routineID;
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto body = vellumar::JSON::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!body)
        return 0;
    try {
        if (!withinLimits(vellumar::JobSubmission::parse(*body)))
            std::abort();
    } catch (const vellumar::RelayHTTPError& error) {
        if (error.status() != 400 || error.code() != "bad_request")
            std::abort();
    }
    return 0;
}
