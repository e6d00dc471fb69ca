// Turns chat requests into jobs and runs them through the reply runner: one waiting list per
// conversation, at most one running job per conversation and `maxRunning` in all, interrupts,
// cancellation, long-poll waits on a job's status object, the permission questions a running job puts
// to the user, and a day's retention of finished jobs.
//
// A monitor: every operation takes the one lock briefly, and every public operation may be called from
// any thread. Each running job has a thread of its own, which calls the reply runner without the lock.
// Observers and the runner's stop callbacks are always called with the lock released.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Jobs/ActivityKind.h"
#include "VellumarMacCore/Jobs/JobClock.h"
#include "VellumarMacCore/Reply/JobSubmission.h"
#include "VellumarMacCore/Reply/ReplyRunner.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vellumar {

// What the observers of finished jobs learn about each job that ends.
struct FinishedJob {
    std::string id;
    JobSubmission submission;
    std::string status; // "done", "failed", "canceled" or "interrupted"
    std::optional<JSON> result;
    std::optional<JSON> error;
    std::optional<std::int64_t> startedAt; // milliseconds since 1970
    std::int64_t createdAt { 0 }; // milliseconds since 1970
};

class JobManager final {
public:
    static constexpr std::size_t kMaxWaitingPerConversation = 5;
    static constexpr std::size_t kMaxJobs = 500;
    static constexpr std::size_t kMaxEvents = 30;
    static constexpr std::size_t kMaxInterimTexts = 3;
    static constexpr std::int64_t kMaxInterimCharacters = 1000;
    static constexpr std::int64_t kInterimSpacingMillis = 60'000;
    static constexpr std::size_t kMaxOpenQuestions = 10;
    static constexpr double kMaxWaitSeconds = 25;

    struct Options {
        std::shared_ptr<ReplyRunner> runner;
        ActivityLabels labels;
        int maxRunning { 2 }; // below 1 counts as 1
        double retention { 86'400 }; // seconds a finished job is kept
        std::shared_ptr<JobClock> clock; // the system clock when empty
        double questionLifetime { 600 }; // seconds a permission question stays open
    };

    using RunningObserver = std::function<void(std::size_t runningCount)>;
    using FinishedObserver = std::function<void(const FinishedJob&)>;

    explicit JobManager(Options options);
    // Cancels every job and waits for the running ones to end (their runs must honour the stop request)
    // and for every long poll and question still inside the manager to return.
    ~JobManager();
    JobManager(const JobManager&) = delete;
    JobManager& operator=(const JobManager&) = delete;

    // Calls `observer` at once with the number of running jobs, then after every change of it. Calls
    // come from whichever thread made the change, in order per thread; they must not block.
    void observeRunning(RunningObserver observer);
    // Calls `observer` once for every job that ends, on the thread that ended it (often the job's own
    // thread). It must not block; it may call back into the manager.
    void observeFinished(FinishedObserver observer);

    // The clock's date in milliseconds since 1970, rounded half away from zero.
    std::int64_t nowMillis() const;

    // Queues the job and starts it when a place is free; returns its status object. Throws
    // RelayHTTPError 429 "busy" with retry-after 5, changing nothing, when the conversation already has
    // kMaxWaitingPerConversation waiting jobs. An interrupting submission stops the conversation's
    // running job and goes first in its list; it starts once that run has ended.
    JSON submit(JobSubmission submission);

    // The status object; nullopt for an unknown id.
    std::optional<JSON> status(std::string_view id) const;

    // A long poll: when `since` is the job's current version and the job has not ended, blocks until the
    // job changes or min(timeout, kMaxWaitSeconds) of the clock have passed, whichever comes first; then
    // (or at once otherwise) the status object. nullopt for an unknown id, or one removed meanwhile.
    std::optional<JSON> wait(std::string_view id, std::optional<std::int64_t> since, double timeout);

    // The same long poll answered with the status object already encoded, for a caller that only sends
    // it on. The polls that wake up on the same state of a job share one object and one encoding,
    // each built once by the first of them after the lock is released. Null for an unknown id, or one
    // removed meanwhile.
    std::shared_ptr<const std::string> waitEncoded(
        std::string_view id, std::optional<std::int64_t> since, double timeout);

    // Stops the job as "canceled" and returns its status object; nullopt for an unknown id. A running
    // job is only told to stop: it keeps its status until its run has ended.
    std::optional<JSON> cancel(std::string_view id);

    // Cancels the conversation's waiting jobs and its running one unless that is already stopping;
    // returns how many were canceled.
    int cancelConversation(std::string_view conversationID);

    // Whether the conversation has a running or a waiting job.
    bool hasWork(std::string_view conversationID) const;

    std::size_t runningCount() const;

    // The phone's decision on an open permission question; returns {"requestId", "decision", "scope"}.
    // Throws RelayHTTPError 409 "not_pending" when the question is not open, and 400 "bad_request" for
    // "always" on a question that does not allow it (the question then stays open).
    JSON answer(std::string_view id, std::string_view requestID, std::string_view decision);

    // Cancels every waiting job, then every running one.
    void cancelAll();
    // `cancelAll`, then waits until every run has ended, so that each has cleaned up after itself.
    // Blocks as long as the slowest run takes to end on its stop.
    void cancelAllAndWait();

private:
    class Job;
    class Question;
    struct StatusFields;
    class SharedStatus;
    struct Deferred;
    struct RunOutcome;
    using JobPointer = std::shared_ptr<Job>;

    void startNext(Deferred& deferred);
    void start(const JobPointer& job, Deferred& deferred);
    void handle(const RunnerEvent& event, const std::string& id);
    void appendInterim(Job& job, std::string_view text);
    // Blocks the asking thread until the question is answered, expires, its job stops or the run that
    // asked ends.
    std::string ask(const std::string& id, const JSON& prompt, std::stop_token runEnded);
    void expireQuestion(Question& question);
    void finish(const std::string& id, RunOutcome outcome, Deferred& deferred);
    void stop(const JobPointer& job, std::string_view status, Deferred& deferred);
    void complete(const JobPointer& job, std::string_view status, std::optional<JSON> result,
        std::optional<JSON> error, Deferred& deferred);
    void setActivity(Job& job, ActivityKind kind);
    void bump(Job& job);
    void removeWaiter(Job& job);
    void prune();
    // Blocks as `wait` describes with the lock held by `lock`; the job then, or null.
    JobPointer awaitChange(std::unique_lock<std::mutex>& lock, std::string_view id,
        std::optional<std::int64_t> since, double timeout);
    std::optional<std::int64_t> elapsedSeconds(const Job& job) const;
    std::optional<std::int64_t> queuePosition(const Job& job) const;
    StatusFields statusFields(const Job& job) const;
    // Builds the object without the lock, from what `statusFields` copied under it.
    static JSON statusJSON(const StatusFields& fields);
    // The job's last shared status while it still shows the job as it is, else a new one.
    std::shared_ptr<SharedStatus> sharedStatus(Job& job) const;

    struct CallerInside;

    JobPointer find(std::string_view id) const;
    std::vector<JobPointer> allQueued() const;
    std::int64_t millis(JobClock::TimePoint date) const;
    // Ended job threads other than the calling one, to be joined once the lock is released.
    void collectEndedTasks(Deferred& deferred);
    // The body of a running job's thread.
    void runJob(const JobPointer& job, const std::shared_ptr<JobControl>& control, std::stop_token stop);

    const std::shared_ptr<ReplyRunner> m_runner;
    const ActivityLabels m_labels;
    const std::size_t m_maxRunning;
    const double m_retention;
    const std::shared_ptr<JobClock> m_clock;
    const double m_questionLifetime;

    mutable std::mutex m_lock;
    std::map<std::string, JobPointer, std::less<>> m_jobs;
    std::map<std::string, std::vector<JobPointer>, std::less<>> m_queues;
    std::map<std::string, JobPointer, std::less<>> m_running;
    std::map<std::string, std::jthread, std::less<>> m_tasks;
    // Threads of jobs that have ended, joined later by a thread that is not one of them.
    std::vector<std::jthread> m_endedTasks;
    std::vector<RunningObserver> m_observers;
    std::vector<FinishedObserver> m_finishedObservers;
    std::map<std::string, std::string, std::less<>> m_stoppedNotes;
    // Threads inside `wait` or `ask`, which may block there; the destructor waits for them to leave.
    std::size_t m_callersInside { 0 };
    std::condition_variable m_callerLeft;
};

}
