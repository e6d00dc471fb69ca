// The records the job manager keeps for each job and each open question, and the work it defers until
// its lock is released. Only the manager's own source files include this.
#pragma once

#include "VellumarMacCore/Jobs/JobManager.h"

#include <deque>
#include <mutex>
#include <stop_token>

namespace vellumar {

namespace detail {

    // The texts of a job's "status".
    namespace JobStatus {
        inline constexpr std::string_view queued = "queued";
        inline constexpr std::string_view running = "running";
        inline constexpr std::string_view done = "done";
        inline constexpr std::string_view failed = "failed";
        inline constexpr std::string_view canceled = "canceled";
        inline constexpr std::string_view interrupted = "interrupted";
    }

    inline bool isFinalStatus(std::string_view status)
    {
        return status == JobStatus::done || status == JobStatus::failed || status == JobStatus::canceled
            || status == JobStatus::interrupted;
    }

    // The answers an asker receives besides the phone's own decisions.
    namespace Answer {
        inline constexpr std::string_view timeout = "timeout";
        inline constexpr std::string_view canceled = "canceled";
        inline constexpr std::string_view busy = "busy";
    }

}

// Guarded by the manager's lock, like every field of the job that holds it.
class JobManager::Question {
public:
    Question(JSON question, std::condition_variable& changed)
        : prompt(std::move(question))
        , m_changed(changed)
    {
    }

    const JSON prompt;

    bool answered() const { return m_answer.has_value(); }
    const std::string& answer() const { return *m_answer; }

    // The first resolution wins; later answers, expiries and cancellations change nothing.
    void resolve(std::string text)
    {
        if (m_answer)
            return;
        m_answer = std::move(text);
        m_changed.notify_all();
    }

private:
    std::condition_variable& m_changed;
    std::optional<std::string> m_answer;
};

// Shared by the tables of the manager, the job's thread and the threads waiting on it; every field but
// the two constant ones is guarded by the manager's lock.
class JobManager::Job {
public:
    struct Event {
        std::int64_t at;
        std::string label;
    };
    struct Interim {
        std::int64_t seq;
        std::string text;
        std::int64_t at;
    };

    Job(std::string jobID, JobSubmission request, std::int64_t submittedAt, std::string queuedLabel)
        : id(std::move(jobID))
        , submission(std::move(request))
        , createdAt(submittedAt)
        , activity(std::move(queuedLabel))
    {
    }

    const std::string id;
    const JobSubmission submission;
    std::string status { detail::JobStatus::queued };
    std::int64_t createdAt;
    std::optional<std::int64_t> startedAt;
    std::optional<std::int64_t> finishedAt;
    std::string activity;
    ActivityKind activityKind { ActivityKind::queued };
    std::deque<Event> events;
    std::vector<Interim> interim;
    std::map<std::string, std::shared_ptr<Question>, std::less<>> questions;
    std::vector<std::string> questionOrder;
    std::optional<ActivityKind> activityBeforeQuestion;
    std::optional<JSON> result;
    std::optional<JSON> error;
    std::int64_t version { 0 };
    std::optional<std::string> stopReason;

    // Long polls parked on this job; a job with any is never pruned.
    std::size_t waiters { 0 };
    // The status the last long polls were answered with, for the next ones while it still holds.
    std::shared_ptr<SharedStatus> lastStatus;
    // Announces every new version and every resolved question.
    std::condition_variable changed;
};

// What a status object shows, copied out of a job under the manager's lock so that the object can be
// built and encoded once the lock is released.
struct JobManager::StatusFields {
    std::string jobID;
    std::string conversationID;
    std::string botID;
    std::optional<std::string> routineID;
    std::string status;
    JobMode mode;
    std::int64_t version;
    std::int64_t createdAt;
    std::optional<std::int64_t> startedAt;
    std::optional<std::int64_t> finishedAt;
    std::optional<std::int64_t> elapsedSeconds;
    std::string activity;
    ActivityKind activityKind;
    std::vector<Job::Event> events;
    std::vector<Job::Interim> interim;
    std::int64_t timeLimitSeconds;
    std::optional<JSON::Array> permissionRequests;
    std::optional<std::int64_t> position;
    std::optional<JSON> result;
    std::optional<JSON> error;
};

// One status shared by the long polls that wake up on the same state of a job: the first to ask for
// the object builds it and the first to ask for the bytes encodes them; the others wait for that and
// take the same object and bytes.
class JobManager::SharedStatus : public std::enable_shared_from_this<SharedStatus> {
public:
    explicit SharedStatus(StatusFields shown)
        : fields(std::move(shown))
    {
    }

    const StatusFields fields;

    // Call both without the manager's lock.
    const JSON& object()
    {
        std::call_once(m_built, [this] { m_object = statusJSON(fields); });
        return m_object;
    }
    // The bytes live as long as this status does.
    std::shared_ptr<const std::string> encoded()
    {
        std::call_once(m_encodedOnce, [this] { m_encoded = object().encoded(); });
        return { shared_from_this(), &m_encoded };
    }

private:
    std::once_flag m_built;
    JSON m_object;
    std::once_flag m_encodedOnce;
    std::string m_encoded;
};

// Counts a thread in `wait` or `ask` for as long as it is there; made and destroyed under the lock.
struct JobManager::CallerInside {
    explicit CallerInside(JobManager& manager)
        : m_manager(manager)
    {
        ++m_manager.m_callersInside;
    }
    ~CallerInside()
    {
        if (--m_manager.m_callersInside == 0)
            m_manager.m_callerLeft.notify_all();
    }
    CallerInside(const CallerInside&) = delete;
    CallerInside& operator=(const CallerInside&) = delete;

private:
    JobManager& m_manager;
};

struct JobManager::RunOutcome {
    std::optional<ReplyOutput> output;
    // A failed run's error object. With neither this nor an output, the run was canceled.
    std::optional<JSON> error;
    // What a stopped run must still tell the user (`CancellationError::note`).
    std::optional<std::string> stoppedNote;
};

// What an operation found to do once the lock is released: stop requests reach the runner's stop
// callbacks, observers may call back into the manager, and joining a job's thread waits for it to take
// the lock.
struct JobManager::Deferred {
    std::vector<std::stop_source> stops;
    std::vector<std::function<void()>> calls;
    std::vector<std::jthread> endedTasks;

    void run();
};

}
