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
#include "VellumarMacCore/Schedule/RoutineSchedule.h"

namespace vellumar {

namespace {

    std::string text(const JSON::Object& record, std::string_view key)
    {
        auto member = record.find(key);
        return member != record.end() && member->second.stringValue() ? *member->second.stringValue()
                                                                      : std::string();
    }

    const JSON* member(const JSON::Object& record, std::string_view key)
    {
        auto found = record.find(key);
        return found == record.end() ? nullptr : &found->second;
    }

    bool isTrue(const JSON::Object& record, std::string_view key)
    {
        const auto* value = member(record, key);
        return value && value->boolValue() == true;
    }

}

std::string RoutineManager::conversationKey(const JSON::Object& record)
{
    auto conversation = text(record, "conversationId");
    const auto* target = member(record, "target");
    if (target && target->stringValue() && *target->stringValue() == "bot")
        return conversation;
    return conversation + ":" + text(record, "id");
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
        const auto* value = member(record, "schedule");
        return RoutineSchedule(value ? *value : JSON(), now(), *timeZone);
    }();
    auto botID = text(record, "botId");
    std::optional<std::string> history;
    // The turns of the conversation the routine was made in, which its own conversation is not.
    if (isTrue(record, "includeToday"))
        history = Prompts::routineContext(
            m_sessions->todayTurns(text(record, "conversationId"), botID), *timeZone);

    JobSubmission submission;
    submission.message
        = Prompts::routineRequest(text(record, "name"), schedule.label(), text(record, "prompt"), history);
    if (const auto* permissions = member(record, "permissions"); permissions && !permissions->isNull())
        submission.permissions = PermissionSettings(*permissions);
    const auto* limit = member(record, "timeLimitSeconds");
    auto limitSeconds = limit ? limit->intValue() : std::nullopt;
    submission.timeLimit
        = limitSeconds ? static_cast<double>(*limitSeconds) : JobSubmission::kDefaultTimeLimitSeconds;
    submission.conversationID = conversationKey(record);
    submission.bot = BotProfile::parse(member(record, "bot"));
    submission.botID = std::move(botID);
    submission.mode = JobMode::queue;
    submission.routineID = std::string(id);

    auto status = m_jobs->submit(std::move(submission));
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
        auto runs = member(record, "runCount");
        routine.insert_or_assign("runCount", (runs ? runs->intValue().value_or(0) : 0) + 1);
    }
    saveLocked();
    return status;
}

}
