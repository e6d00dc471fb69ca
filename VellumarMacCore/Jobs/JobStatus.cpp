// The job manager's long-poll waits, permission questions and status object.

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Jobs/JobManagerRecords.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace vellumar {

namespace {

    namespace JobStatus = detail::JobStatus;
    namespace Answer = detail::Answer;
    using detail::isFinalStatus;

    JobClock::TimePoint::duration span(double seconds)
    {
        return std::chrono::duration_cast<JobClock::TimePoint::duration>(
            std::chrono::duration<double>(seconds));
    }

    RelayHTTPError notPending()
    {
        return { 409, "not_pending", "This question is no longer open (it expired or the work ended)." };
    }

}

std::optional<JSON> JobManager::wait(std::string_view id, std::optional<std::int64_t> since, double timeout)
{
    std::shared_ptr<SharedStatus> shared;
    {
        std::unique_lock lock(m_lock);
        CallerInside inside(*this);
        auto job = awaitChange(lock, id, since, timeout);
        if (!job)
            return std::nullopt;
        shared = sharedStatus(*job);
    }
    return shared->object();
}

std::shared_ptr<const std::string> JobManager::waitEncoded(
    std::string_view id, std::optional<std::int64_t> since, double timeout)
{
    std::shared_ptr<SharedStatus> shared;
    {
        std::unique_lock lock(m_lock);
        CallerInside inside(*this);
        auto job = awaitChange(lock, id, since, timeout);
        if (!job)
            return nullptr;
        shared = sharedStatus(*job);
    }
    return shared->encoded();
}

JobManager::JobPointer JobManager::awaitChange(std::unique_lock<std::mutex>& lock, std::string_view id,
    std::optional<std::int64_t> since, double timeout)
{
    auto job = find(id);
    if (!job)
        return nullptr;
    // Written so that a NaN timeout waits not at all.
    double seconds = timeout > 0 ? std::min(timeout, kMaxWaitSeconds) : 0;
    if (since && *since == job->version && !isFinalStatus(job->status) && seconds > 0) {
        auto deadline = m_clock->now() + span(seconds);
        ++job->waiters;
        while (job->version == *since && m_clock->now() < deadline)
            m_clock->waitUntil(job->changed, lock, deadline);
        removeWaiter(*job);
    }
    return find(id);
}

std::string JobManager::ask(const std::string& id, const JSON& prompt, std::stop_token runEnded)
{
    // Made before the lock is taken and so destroyed after it is given back: its callback takes it.
    std::stop_callback wakeWhenRunEnds(runEnded, [this, &id] {
        std::lock_guard guard(m_lock);
        if (auto job = find(id))
            job->changed.notify_all();
    });
    std::unique_lock lock(m_lock);
    CallerInside inside(*this);
    auto job = find(id);
    if (!job || isFinalStatus(job->status) || job->stopReason || runEnded.stop_requested())
        return std::string(Answer::canceled);
    const auto* requestIDMember = prompt.subscript("requestId");
    if (!requestIDMember || !requestIDMember->stringValue())
        return std::string(Answer::canceled);
    const auto requestID = *requestIDMember->stringValue();
    if (job->questions.size() >= kMaxOpenQuestions)
        return std::string(Answer::busy);

    auto question = std::make_shared<Question>(prompt, job->changed);
    if (auto earlier = job->questions.find(requestID); earlier != job->questions.end()) {
        // The earlier asker would otherwise wait for an answer that can no longer reach it.
        earlier->second->resolve(std::string(Answer::canceled));
        std::erase(job->questionOrder, requestID);
    }
    job->questions[requestID] = question;
    job->questionOrder.push_back(requestID);
    if (!job->activityBeforeQuestion)
        job->activityBeforeQuestion = job->activityKind;
    setActivity(*job, ActivityKind::waitingForApproval);

    auto deadline = m_clock->now() + span(m_questionLifetime);
    while (!question->answered()) {
        if (runEnded.stop_requested()) {
            question->resolve(std::string(Answer::canceled));
            break;
        }
        if (m_clock->now() >= deadline) {
            expireQuestion(*question);
            break;
        }
        m_clock->waitUntil(job->changed, lock, deadline);
    }

    // A question that replaced this one under the same id stays where it is.
    if (auto entry = job->questions.find(requestID);
        entry != job->questions.end() && entry->second == question) {
        job->questions.erase(entry);
        std::erase(job->questionOrder, requestID);
    }
    if (job->questions.empty() && !isFinalStatus(job->status)) {
        auto kind = job->activityBeforeQuestion.value_or(ActivityKind::thinking);
        if (kind == ActivityKind::waitingForApproval)
            kind = ActivityKind::thinking;
        job->activityBeforeQuestion.reset();
        setActivity(*job, kind);
    } else {
        bump(*job);
    }
    return question->answer();
}

void JobManager::expireQuestion(Question& question) { question.resolve(std::string(Answer::timeout)); }

JSON JobManager::answer(std::string_view id, std::string_view requestID, std::string_view decision)
{
    std::lock_guard guard(m_lock);
    auto job = find(id);
    if (!job || isFinalStatus(job->status))
        throw notPending();
    auto entry = job->questions.find(requestID);
    if (entry == job->questions.end() || entry->second->answered())
        throw notPending();
    auto& question = *entry->second;
    if (decision == "always") {
        const auto* canAlways = question.prompt.subscript("canAlways");
        if (!canAlways || canAlways->boolValue() != true)
            throw RelayHTTPError::badRequest("This place cannot be allowed always.");
    }
    question.resolve(std::string(decision));
    const auto* scope = question.prompt.subscript("scope");
    return JSON::object(
        { { "requestId", requestID }, { "decision", decision }, { "scope", scope ? *scope : JSON() } });
}

void JobManager::bump(Job& job)
{
    ++job.version;
    job.changed.notify_all();
}

void JobManager::removeWaiter(Job& job) { --job.waiters; }

std::optional<std::int64_t> JobManager::elapsedSeconds(const Job& job) const
{
    if (!job.startedAt)
        return std::nullopt;
    auto end = job.finishedAt.value_or(nowMillis());
    return std::max<std::int64_t>(0, (end - *job.startedAt) / 1000);
}

std::optional<std::int64_t> JobManager::queuePosition(const Job& job) const
{
    if (job.status != JobStatus::queued)
        return std::nullopt;
    auto waiting = m_queues.find(job.submission.conversationID);
    if (waiting == m_queues.end())
        return std::nullopt;
    auto& list = waiting->second;
    auto place = std::ranges::find_if(list, [&](const JobPointer& entry) { return entry.get() == &job; });
    if (place == list.end())
        return std::nullopt;
    return static_cast<std::int64_t>(place - list.begin());
}

JobManager::StatusFields JobManager::statusFields(const Job& job) const
{
    const auto& submission = job.submission;
    StatusFields fields { .jobID = job.id,
        .conversationID = submission.conversationID,
        .botID = submission.botID,
        .routineID = submission.routineID,
        .status = job.status,
        .mode = submission.mode,
        .version = job.version,
        .createdAt = job.createdAt,
        .startedAt = job.startedAt,
        .finishedAt = job.finishedAt,
        .elapsedSeconds = elapsedSeconds(job),
        .activity = job.activity,
        .activityKind = job.activityKind,
        .events = { job.events.begin(), job.events.end() },
        .interim = job.interim,
        .timeLimitSeconds = static_cast<std::int64_t>(std::trunc(submission.timeLimit)),
        .permissionRequests = std::nullopt,
        .position = queuePosition(job),
        .result = std::nullopt,
        .error = std::nullopt };
    if (!isFinalStatus(job.status) && !job.questions.empty()) {
        JSON::Array prompts;
        for (const auto& requestID : job.questionOrder) {
            if (auto question = job.questions.find(requestID); question != job.questions.end())
                prompts.push_back(question->second->prompt);
        }
        fields.permissionRequests = std::move(prompts);
    }
    if (job.status == JobStatus::done)
        fields.result = job.result;
    // A stopped job has one only where its run left something the user must hear of.
    if (job.status != JobStatus::done)
        fields.error = job.error;
    return fields;
}

std::shared_ptr<JobManager::SharedStatus> JobManager::sharedStatus(Job& job) const
{
    // Besides the version, only the time and the queue change what the object shows.
    auto& last = job.lastStatus;
    if (!last || last->fields.version != job.version || last->fields.elapsedSeconds != elapsedSeconds(job)
        || last->fields.position != queuePosition(job))
        last = std::make_shared<SharedStatus>(statusFields(job));
    return last;
}

JSON JobManager::statusJSON(const StatusFields& fields)
{
    JSON::Array events;
    for (const auto& event : fields.events)
        events.push_back(JSON::object({ { "at", event.at }, { "label", event.label } }));
    JSON::Array interim;
    for (const auto& text : fields.interim)
        interim.push_back(JSON::object({ { "seq", text.seq }, { "text", text.text }, { "at", text.at } }));

    JSON::Object status { { "jobId", fields.jobID }, { "conversationId", fields.conversationID },
        { "botId", fields.botID }, { "status", fields.status }, { "mode", rawValue(fields.mode) },
        { "version", fields.version }, { "createdAt", fields.createdAt },
        { "startedAt", JSON::optionalInt(fields.startedAt) },
        { "finishedAt", JSON::optionalInt(fields.finishedAt) },
        { "elapsedSeconds", JSON::optionalInt(fields.elapsedSeconds) }, { "activity", fields.activity },
        { "activityKind", rawValue(fields.activityKind) }, { "events", std::move(events) },
        { "interim", std::move(interim) }, { "timeLimitSeconds", fields.timeLimitSeconds } };
    if (fields.routineID)
        status.emplace("routineId", *fields.routineID);
    if (fields.permissionRequests)
        status.emplace("permissionRequests", *fields.permissionRequests);
    if (fields.position)
        status.emplace("position", *fields.position);
    if (fields.result)
        status.emplace("result", *fields.result);
    if (fields.error)
        status.emplace("error", *fields.error);
    return JSON(std::move(status));
}

}
