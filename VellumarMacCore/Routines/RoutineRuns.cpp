// The start of one run of a routine: its message and job submission, and the marks it leaves on the
// routine.
#include "VellumarMacCore/ConversationData/SessionStore.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Permissions/PermissionSettings.h"
#include "VellumarMacCore/Reply/BotProfile.h"
#include "VellumarMacCore/Reply/JobSubmission.h"
#include "VellumarMacCore/Reply/Prompts.h"
#include "VellumarMacCore/Routines/RoutineManager.h"
#include "VellumarMacCore/Routines/RoutineRecord.h"
#include "VellumarMacCore/Schedule/RoutineSchedule.h"

namespace vellumar {

std::string RoutineManager::conversationKey(const JSON::Object& record)
{
    auto conversation = detail::recordText(record, "conversationId");
    const auto* target = detail::recordMember(record, "target");
    if (target && target->stringValue() && *target->stringValue() == "bot")
        return conversation;
    return conversation + ":" + detail::recordText(record, "id");
}

JSON RoutineManager::runNow(std::string_view id)
{
    requireLoaded();
    return startRun(id);
}

JSON RoutineManager::startRun(std::string_view id)
{
    checkSwitch();
    const auto record = stored(id);
    auto timeZone = zone();
    auto schedule = [&] {
        const auto* value = detail::recordMember(record, "schedule");
        return RoutineSchedule(value ? *value : JSON(), now(), *timeZone);
    }();
    auto botID = detail::recordText(record, "botId");
    std::optional<std::string> history;
    // The turns of the conversation the routine was made in, which its own conversation is not.
    if (detail::recordIsTrue(record, "includeToday"))
        history = Prompts::routineContext(
            m_sessions.todayTurns(detail::recordText(record, "conversationId"), botID), *timeZone);

    JobSubmission submission;
    submission.message = Prompts::routineRequest(
        detail::recordText(record, "name"), schedule.label(), detail::recordText(record, "prompt"), history);
    if (const auto* permissions = detail::recordMember(record, "permissions");
        permissions && !permissions->isNull())
        submission.permissions = PermissionSettings(*permissions);
    const auto* limit = detail::recordMember(record, "timeLimitSeconds");
    auto limitSeconds = limit ? limit->intValue() : std::nullopt;
    submission.timeLimit
        = limitSeconds ? static_cast<double>(*limitSeconds) : JobSubmission::kDefaultTimeLimitSeconds;
    submission.conversationID = conversationKey(record);
    submission.bot = BotProfile::parse(detail::recordMember(record, "bot"));
    submission.botID = std::move(botID);
    submission.mode = JobMode::queue;
    submission.routineID = std::string(id);

    auto status = m_jobs.submit(std::move(submission));
    auto ranAt = now();

    std::lock_guard guard(m_lock);
    auto started = m_state.routines.find(id);
    if (started != m_state.routines.end()) {
        auto& routine = started->second;
        routine.insert_or_assign("lastRunAt", ranAt.time_since_epoch().count());
        routine.insert_or_assign("lastStatus", "running");
        routine.insert_or_assign("lastError", nullptr);
        const auto* jobID = status.subscript("jobId");
        routine.insert_or_assign("lastJobId", jobID ? *jobID : JSON());
        // Counted from the record as it is now, not as read before the submission: a start that
        // overlapped this one has counted itself meanwhile.
        auto runs = detail::recordMember(routine, "runCount");
        routine.insert_or_assign("runCount", (runs ? runs->intValue().value_or(0) : 0) + 1);
    }
    saveLocked();
    return status;
}

}
