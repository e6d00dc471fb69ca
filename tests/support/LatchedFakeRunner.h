#pragma once

#include "VellumarMacCore/Reply/ReplyRunner.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <utility>

namespace vellumar::test {

// A reply runner whose runs block until the test releases them, so that a test decides when each job
// ends and how; it records the runs it was given and how many ran at once, and plays a compaction the
// test sets.
class LatchedFakeRunner final : public ReplyRunner {
public:
    // A guard against a hang, not a measurement.
    static constexpr auto kPatience = std::chrono::seconds(60);

    struct Run {
        JobSubmission submission;
        std::shared_ptr<JobControl> control;
        std::stop_token stop;
    };
    // Played on the job's thread once released: returns the run's output or throws its failure.
    using Outcome = std::function<ReplyOutput(const Run&)>;
    using Compaction = std::function<CompactedConversation(const CompactionRequest&)>;

    ReplyOutput run(
        const JobSubmission& submission, std::shared_ptr<JobControl> control, std::stop_token stop) override
    {
        std::stop_callback wakeOnStop(stop, [this] {
            std::lock_guard guard(m_lock);
            m_changed.notify_all();
        });
        const auto id = control->jobID();
        Run run { submission, control, stop };
        Outcome outcome;
        {
            std::unique_lock lock(m_lock);
            m_runs.insert_or_assign(id, run);
            m_overlapped |= !m_conversations.insert(submission.conversationID).second;
            m_mostAtOnce = std::max(m_mostAtOnce, m_conversations.size());
            m_changed.notify_all();
            m_changed.wait(lock, [&] {
                return m_everyRun || m_outcomes.contains(id) || (m_honoursStop && stop.stop_requested());
            });
            outcome = m_everyRun;
            if (auto released = m_outcomes.extract(id))
                outcome = std::move(released.mapped());
        }
        // The run counts as running until its outcome has been played, whichever way that ends.
        std::shared_ptr<void> leaving(nullptr, [&](void*) {
            std::lock_guard guard(m_lock);
            m_conversations.erase(submission.conversationID);
        });
        if (!outcome)
            throw CancellationError();
        return outcome(run);
    }
    ClearedConversation clearConversation(const std::string&, WorkFolder workFolder) override
    {
        return { .hadSession = true, .workspaceCleared = workFolder == WorkFolder::clear };
    }
    CompactedConversation compact(const CompactionRequest& request, std::stop_token) override
    {
        Compaction compaction;
        {
            std::lock_guard guard(m_lock);
            compaction = m_compaction;
        }
        return compaction ? compaction(request) : CompactedConversation {};
    }

    // The run of the job once it has started; throws, failing the test, when it does not start in time.
    Run awaitStart(const std::string& id)
    {
        std::unique_lock lock(m_lock);
        if (!m_changed.wait_for(lock, kPatience, [&] { return m_runs.contains(id); }))
            throw std::runtime_error("job " + id + " never started");
        return m_runs.at(id);
    }
    void release(const std::string& id, Outcome outcome)
    {
        std::lock_guard guard(m_lock);
        m_outcomes.insert_or_assign(id, std::move(outcome));
        m_changed.notify_all();
    }
    void reply(const std::string& id, std::string text)
    {
        release(id, [text](const Run&) { return ReplyOutput { .reply = text }; });
    }
    // Played by every run from now on, instead of waiting for a release.
    void releaseEveryRun(Outcome outcome)
    {
        std::lock_guard guard(m_lock);
        m_everyRun = std::move(outcome);
        m_changed.notify_all();
    }
    // While off, a stopped run goes on waiting for its release, as a run that finished its reply just as
    // it was stopped would.
    void setHonoursStop(bool honours)
    {
        std::lock_guard guard(m_lock);
        m_honoursStop = honours;
        m_changed.notify_all();
    }
    // Played by every later compaction, on the caller's thread; an empty summary while unset.
    void setCompaction(Compaction compaction)
    {
        std::lock_guard guard(m_lock);
        m_compaction = std::move(compaction);
    }
    // No two runs of one conversation overlapped and at most `limit` ran at once.
    bool keptLimits(std::size_t limit)
    {
        std::lock_guard guard(m_lock);
        return !m_overlapped && m_mostAtOnce <= limit;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<std::string, Run> m_runs;
    std::map<std::string, Outcome> m_outcomes;
    std::set<std::string> m_conversations; // of the runs going on
    std::size_t m_mostAtOnce { 0 };
    bool m_overlapped { false };
    bool m_honoursStop { true };
    Outcome m_everyRun;
    Compaction m_compaction;
};

}
