#include "VellumarMacCore/Jobs/JobManager.h"

#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Foundations/TextScanner.h"
#include "VellumarMacCore/Foundations/Whitespace.h"
#include "VellumarMacCore/Jobs/JobManagerRecords.h"
#include "VellumarMacCore/Reply/ActionExtractor.h"
#include "VellumarMacCore/Reply/Prompts.h"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <utility>

namespace vellumar {

namespace {

    namespace JobStatus = detail::JobStatus;
    namespace Answer = detail::Answer;
    using detail::isFinalStatus;

    constexpr std::string_view kInternalMessage = "Something went wrong on the Mac.";
    // A stopped job's error status, where it carries a note: the phone ended the request, as a client
    // that closed it.
    constexpr int kStoppedWithNoteStatus = 499;

    RelayHTTPError internalError() { return { 500, "internal", std::string(kInternalMessage) }; }

    RelayHTTPError conversationBusy()
    {
        return { 429, "busy", "Too many messages are waiting in this conversation. Try again later.", 5 };
    }

    // The words of the text joined by single spaces, so that texts differing only in spacing compare equal.
    std::string normalised(std::string_view text)
    {
        detail::TextScanner scanner(text);
        std::string words;
        for (std::size_t at = scanner.skip(0, detail::isWhiteSpace).end; at < text.size();) {
            auto word = scanner.skip(at, [](char32_t c) { return !detail::isWhiteSpace(c); });
            if (!words.empty())
                words += ' ';
            words.append(text.substr(at, word.end - at));
            at = scanner.skip(word.end, detail::isWhiteSpace).end;
        }
        return words;
    }

}

void JobManager::Deferred::run()
{
    // Stop callbacks first: a run that is told to stop early frees its conversation sooner.
    for (auto& source : stops)
        source.request_stop();
    for (auto& call : calls) {
        try {
            call();
        } catch (...) {
            // An observer's failure is its own; the job and the other observers go on.
        }
    }
    endedTasks.clear();
}

JobManager::JobManager(Options options)
    : m_runner(std::move(options.runner))
    , m_labels(std::move(options.labels))
    , m_maxRunning(static_cast<std::size_t>(std::max(1, options.maxRunning)))
    , m_retention(options.retention)
    , m_clock(options.clock ? std::move(options.clock) : JobClock::system())
    , m_questionLifetime(options.questionLifetime)
{
}

JobManager::~JobManager()
{
    cancelAllAndWait();
    // Every job has ended now, and each end woke its long polls and answered its questions.
    std::unique_lock lock(m_lock);
    m_callerLeft.wait(lock, [this] { return m_callersInside == 0; });
}

void JobManager::cancelAllAndWait()
{
    cancelAll();
    // A run that ends meanwhile moves its thread from one table to the other; repeat until both are empty.
    for (;;) {
        std::vector<std::jthread> threads;
        {
            std::lock_guard guard(m_lock);
            for (auto& [id, task] : m_tasks)
                threads.push_back(std::move(task));
            m_tasks.clear();
            std::ranges::move(m_endedTasks, std::back_inserter(threads));
            m_endedTasks.clear();
        }
        if (threads.empty())
            break;
    }
}

void JobManager::observeRunning(RunningObserver observer)
{
    std::size_t count = 0;
    {
        std::lock_guard guard(m_lock);
        m_observers.push_back(observer);
        count = m_running.size();
    }
    observer(count);
}

void JobManager::observeFinished(FinishedObserver observer)
{
    std::lock_guard guard(m_lock);
    m_finishedObservers.push_back(std::move(observer));
}

std::int64_t JobManager::nowMillis() const { return millis(m_clock->now()); }

std::int64_t JobManager::millis(JobClock::TimePoint date) const
{
    auto milliseconds = std::chrono::duration<double, std::milli>(date.time_since_epoch()).count();
    return static_cast<std::int64_t>(std::llround(milliseconds));
}

JSON JobManager::submit(JobSubmission submission)
{
    Deferred deferred;
    std::optional<StatusFields> status;
    {
        std::lock_guard guard(m_lock);
        prune();
        auto waiting = m_queues.find(submission.conversationID);
        if (waiting != m_queues.end() && waiting->second.size() >= kMaxWaitingPerConversation)
            throw conversationBusy();

        auto job = std::make_shared<Job>(
            RelayIDs::newJobID(), std::move(submission), nowMillis(), m_labels.text(ActivityKind::queued));
        m_jobs.emplace(job->id, job);
        const auto& conversationID = job->submission.conversationID;
        auto& list = m_queues[conversationID];
        auto running = m_running.find(conversationID);
        if (job->submission.mode == JobMode::interrupt && running != m_running.end()) {
            stop(running->second, JobStatus::interrupted, deferred);
            list.insert(list.begin(), job);
        } else {
            list.push_back(job);
        }
        startNext(deferred);
        status = statusFields(*job);
        collectEndedTasks(deferred);
    }
    deferred.run();
    return statusJSON(*status);
}

std::optional<JSON> JobManager::status(std::string_view id) const
{
    std::optional<StatusFields> status;
    {
        std::lock_guard guard(m_lock);
        auto job = find(id);
        if (!job)
            return std::nullopt;
        status = statusFields(*job);
    }
    return statusJSON(*status);
}

std::optional<JSON> JobManager::cancel(std::string_view id)
{
    Deferred deferred;
    std::optional<StatusFields> status;
    {
        std::lock_guard guard(m_lock);
        auto job = find(id);
        if (!job)
            return std::nullopt;
        stop(job, JobStatus::canceled, deferred);
        status = statusFields(*job);
    }
    deferred.run();
    return statusJSON(*status);
}

int JobManager::cancelConversation(std::string_view conversationID)
{
    Deferred deferred;
    int count = 0;
    {
        std::lock_guard guard(m_lock);
        if (auto waiting = m_queues.find(conversationID); waiting != m_queues.end()) {
            // Stopping a waiting job edits the list being walked.
            auto jobs = waiting->second;
            for (const auto& job : jobs) {
                stop(job, JobStatus::canceled, deferred);
                ++count;
            }
        }
        if (auto running = m_running.find(conversationID);
            running != m_running.end() && !running->second->stopReason) {
            stop(running->second, JobStatus::canceled, deferred);
            ++count;
        }
    }
    deferred.run();
    return count;
}

bool JobManager::hasWork(std::string_view conversationID) const
{
    std::lock_guard guard(m_lock);
    return m_running.contains(conversationID) || m_queues.contains(conversationID);
}

std::size_t JobManager::runningCount() const
{
    std::lock_guard guard(m_lock);
    return m_running.size();
}

void JobManager::cancelAll()
{
    Deferred deferred;
    {
        std::lock_guard guard(m_lock);
        for (const auto& job : allQueued())
            stop(job, JobStatus::canceled, deferred);
        std::vector<JobPointer> running;
        for (const auto& [conversationID, job] : m_running)
            running.push_back(job);
        for (const auto& job : running)
            stop(job, JobStatus::canceled, deferred);
    }
    deferred.run();
}

void JobManager::startNext(Deferred& deferred)
{
    while (m_running.size() < m_maxRunning) {
        JobPointer oldest;
        for (const auto& [conversationID, list] : m_queues) {
            if (list.empty() || m_running.contains(conversationID))
                continue;
            if (!oldest || list.front()->createdAt < oldest->createdAt)
                oldest = list.front();
        }
        if (!oldest)
            return;
        start(oldest, deferred);
    }
}

void JobManager::start(const JobPointer& job, Deferred& deferred)
{
    const auto& conversationID = job->submission.conversationID;
    auto waiting = m_queues.find(conversationID);
    waiting->second.erase(waiting->second.begin());
    if (waiting->second.empty())
        m_queues.erase(waiting);

    m_running[conversationID] = job;
    job->status = JobStatus::running;
    job->startedAt = nowMillis();
    setActivity(*job, ActivityKind::starting);
    for (const auto& observer : m_observers)
        deferred.calls.push_back([observer, count = m_running.size()] { observer(count); });

    std::optional<std::string> stoppedNote;
    if (auto note = m_stoppedNotes.find(conversationID); note != m_stoppedNotes.end()) {
        stoppedNote = std::move(note->second);
        m_stoppedNotes.erase(note);
    }
    JobControl::QuestionHandler onAsk;
    if (!job->submission.routineID)
        onAsk = [this, id = job->id](const JSON& prompt, std::stop_token runEnded) {
            return ask(id, prompt, std::move(runEnded));
        };
    auto control = std::make_shared<JobControl>(
        job->id, std::move(stoppedNote),
        [this, id = job->id](const RunnerEvent& event) { handle(event, id); }, std::move(onAsk),
        [clock = m_clock] { return clock->now(); });

    try {
        m_tasks.emplace(job->id, std::jthread([this, job, control](std::stop_token stop) {
            runJob(job, control, std::move(stop));
        }));
    } catch (const std::system_error&) {
        // Without a thread the job would hold its place in `running` for ever.
        complete(job, JobStatus::failed, std::nullopt, internalError().json(), deferred);
    }
}

void JobManager::runJob(
    const JobPointer& job, const std::shared_ptr<JobControl>& control, std::stop_token stop)
{
    RunOutcome outcome;
    try {
        outcome.output = m_runner->run(job->submission, control, std::move(stop));
    } catch (const RelayHTTPError& error) {
        outcome.error = error.json();
    } catch (const CancellationError& stopped) {
        // Neither output nor error: the run was canceled.
        outcome.stoppedNote = stopped.note;
    } catch (...) {
        outcome.error = internalError().json();
    }
    Deferred deferred;
    {
        std::lock_guard guard(m_lock);
        finish(job->id, std::move(outcome), deferred);
        collectEndedTasks(deferred);
    }
    deferred.run();
}

void JobManager::handle(const RunnerEvent& event, const std::string& id)
{
    std::lock_guard guard(m_lock);
    auto job = find(id);
    if (!job || job->status != JobStatus::running || job->stopReason)
        return;
    if (event.kind == RunnerEvent::Kind::interim) {
        appendInterim(*job, event.text);
        return;
    }
    if (!job->questions.empty())
        return;
    if (auto kind = activityKindForEvent(event); kind && *kind != job->activityKind)
        setActivity(*job, *kind);
}

void JobManager::appendInterim(Job& job, std::string_view text)
{
    if (job.submission.routineID || job.interim.size() >= kMaxInterimTexts)
        return;
    auto shown = ActionExtractor::stripBlocks(text);
    auto limit = static_cast<std::size_t>(kMaxInterimCharacters);
    if (shown.size() > limit && characterCount(shown) > limit)
        shown = std::string(trimmingWhitespaceAndNewlines(prefixCharacters(shown, limit - 1))) + "…";
    if (shown.empty())
        return;
    auto now = nowMillis();
    if (!job.interim.empty() && now - job.interim.back().at < kInterimSpacingMillis)
        return;
    job.interim.push_back({ static_cast<std::int64_t>(job.interim.size()) + 1, std::move(shown), now });
    bump(job);
}

void JobManager::finish(const std::string& id, RunOutcome outcome, Deferred& deferred)
{
    auto job = find(id);
    if (!job || isFinalStatus(job->status))
        return;
    // A stopped job has no error but where its run left something the user must hear of: the phone shows
    // a stopped job's error message as it shows a failed one's.
    auto stopped = [&](std::string_view status) -> std::optional<JSON> {
        if (!outcome.stoppedNote)
            return std::nullopt;
        return RelayHTTPError(kStoppedWithNoteStatus, std::string(status), *outcome.stoppedNote).json();
    };
    if (job->stopReason) {
        complete(job, *job->stopReason, std::nullopt, stopped(*job->stopReason), deferred);
        return;
    }
    if (outcome.output) {
        const auto& output = *outcome.output;
        JSON::Object result { { "reply", output.reply }, { "conversationId", job->submission.conversationID },
            { "actions", output.actions }, { "files", output.files } };
        if (output.context)
            result.emplace("context", *output.context);
        if (output.compacted)
            result.emplace("compacted", *output.compacted);
        if (output.memory)
            result.emplace("memory", *output.memory);
        if (!job->interim.empty()) {
            const auto& last = job->interim.back();
            auto shown = normalised(last.text);
            if (!shown.empty() && shown == normalised(output.reply))
                result.emplace("replacesInterim", last.seq);
        }
        complete(job, JobStatus::done, JSON(std::move(result)), std::nullopt, deferred);
        return;
    }
    if (outcome.error) {
        complete(job, JobStatus::failed, std::nullopt, std::move(outcome.error), deferred);
        return;
    }
    complete(job, JobStatus::canceled, std::nullopt, stopped(JobStatus::canceled), deferred);
}

void JobManager::stop(const JobPointer& job, std::string_view status, Deferred& deferred)
{
    if (isFinalStatus(job->status))
        return;
    if (job->status == JobStatus::queued) {
        auto waiting = m_queues.find(job->submission.conversationID);
        if (waiting != m_queues.end()) {
            std::erase(waiting->second, job);
            if (waiting->second.empty())
                m_queues.erase(waiting);
        }
        complete(job, JobStatus::canceled, std::nullopt, std::nullopt, deferred);
        return;
    }
    if (job->stopReason)
        return;
    job->stopReason = std::string(status);
    for (const auto& [requestID, question] : job->questions)
        question->resolve(std::string(Answer::canceled));
    if (auto task = m_tasks.find(job->id); task != m_tasks.end())
        deferred.stops.push_back(task->second.get_stop_source());
}

void JobManager::complete(const JobPointer& job, std::string_view status, std::optional<JSON> result,
    std::optional<JSON> error, Deferred& deferred)
{
    bool wasRunning = job->status == JobStatus::running;
    job->status = std::string(status);
    job->finishedAt = nowMillis();
    job->result = std::move(result);
    job->error = std::move(error);
    for (const auto& [requestID, question] : job->questions)
        question->resolve(std::string(Answer::canceled));

    const auto& conversationID = job->submission.conversationID;
    if (wasRunning && !job->submission.routineID) {
        std::vector<std::string> interimTexts;
        for (const auto& interim : job->interim)
            interimTexts.push_back(interim.text);
        if (auto notice = Prompts::interruptionNotice(status, interimTexts))
            m_stoppedNotes[conversationID] = std::move(*notice);
    }
    setActivity(*job, activityKindForStatus(status));

    if (auto task = m_tasks.find(job->id); task != m_tasks.end()) {
        m_endedTasks.push_back(std::move(task->second));
        m_tasks.erase(task);
    }
    if (auto running = m_running.find(conversationID);
        wasRunning && running != m_running.end() && running->second == job) {
        m_running.erase(running);
        for (const auto& observer : m_observers)
            deferred.calls.push_back([observer, count = m_running.size()] { observer(count); });
    }
    FinishedJob finished { job->id, job->submission, job->status, job->result, job->error, job->startedAt,
        job->createdAt };
    for (const auto& observer : m_finishedObservers)
        deferred.calls.push_back([observer, finished] { observer(finished); });
    startNext(deferred);
}

void JobManager::setActivity(Job& job, ActivityKind kind)
{
    job.activityKind = kind;
    job.activity = m_labels.text(kind);
    job.events.push_back({ nowMillis(), job.activity });
    if (job.events.size() > kMaxEvents)
        job.events.pop_front();
    bump(job);
}

void JobManager::prune()
{
    auto cutoff = nowMillis() - static_cast<std::int64_t>(m_retention * 1000);
    auto removable = [](const Job& job) { return isFinalStatus(job.status) && job.waiters == 0; };
    std::erase_if(m_jobs, [&](const auto& entry) {
        const auto& job = *entry.second;
        return removable(job) && job.finishedAt.value_or(0) < cutoff;
    });
    if (m_jobs.size() <= kMaxJobs)
        return;
    std::vector<JobPointer> finished;
    for (const auto& [id, job] : m_jobs) {
        if (isFinalStatus(job->status))
            finished.push_back(job);
    }
    std::ranges::stable_sort(finished, {}, [](const JobPointer& job) { return job->finishedAt.value_or(0); });
    finished.resize(std::min(finished.size(), m_jobs.size() - kMaxJobs));
    for (const auto& job : finished) {
        if (removable(*job))
            m_jobs.erase(job->id);
    }
}

JobManager::JobPointer JobManager::find(std::string_view id) const
{
    auto found = m_jobs.find(id);
    return found == m_jobs.end() ? nullptr : found->second;
}

std::vector<JobManager::JobPointer> JobManager::allQueued() const
{
    std::vector<JobPointer> jobs;
    for (const auto& [conversationID, list] : m_queues)
        jobs.insert(jobs.end(), list.begin(), list.end());
    return jobs;
}

void JobManager::collectEndedTasks(Deferred& deferred)
{
    auto self = std::this_thread::get_id();
    // The iterator form: clang 14 fails on the std::ranges::subrange the ranges form returns here.
    auto others = std::partition(m_endedTasks.begin(), m_endedTasks.end(),
        [&](const std::jthread& task) { return task.get_id() == self; });
    std::move(others, m_endedTasks.end(), std::back_inserter(deferred.endedTasks));
    m_endedTasks.erase(others, m_endedTasks.end());
}

}
