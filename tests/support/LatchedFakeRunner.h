// A reply runner whose runs block until the test releases them, so that a test decides when each job
// ends and how; it records the runs it was given and how many ran at once, and the conversations it
// was asked to clear or compact.
#pragma once

#include "VellumarMacCore/Reply/ReplyRunner.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace vellumar::test {

class LatchedFakeRunner final : public ReplyRunner {
public:
    struct Run {
        JobSubmission submission;
        std::shared_ptr<JobControl> control;
        std::stop_token stop;
    };
    // Runs on the job's thread once released: returns the run's output or throws its failure.
    using Outcome = std::function<ReplyOutput()>;
    // Played by every run that starts while it is set, instead of waiting for a release.
    using Script = std::function<ReplyOutput(const Run&)>;
    using Compaction = std::function<CompactedConversation(const CompactionRequest&)>;

    // A guard against a hang, not a measurement.
    static constexpr auto kPatience = std::chrono::seconds(60);

    ReplyOutput run(
        const JobSubmission& submission, std::shared_ptr<JobControl> control, std::stop_token stop) override
    {
        const auto id = control->jobID();
        std::stop_callback wakeOnStop(stop, [this] {
            std::lock_guard guard(m_lock);
            m_changed.notify_all();
        });
        Outcome outcome;
        {
            std::unique_lock lock(m_lock);
            Run run { submission, control, stop };
            m_runs.insert_or_assign(id, run);
            m_overlappedInConversation |= !m_running.insert(submission.conversationID).second;
            m_mostAtOnce = std::max(m_mostAtOnce, m_running.size());
            m_changed.notify_all();
            if (m_script)
                outcome = [script = m_script, run] { return script(run); };
            m_changed.wait(lock, [&] {
                return outcome || m_outcomes.contains(id) || (m_honoursStop && stop.stop_requested());
            });
            if (auto released = m_outcomes.find(id); !outcome && released != m_outcomes.end()) {
                outcome = std::move(released->second);
                m_outcomes.erase(released);
            }
        }
        // The run counts as running until its outcome has been played, whichever way that ends.
        struct Leaving {
            LatchedFakeRunner& runner;
            const std::string& conversationID;
            ~Leaving()
            {
                std::lock_guard guard(runner.m_lock);
                runner.m_running.erase(conversationID);
            }
        } leaving { *this, submission.conversationID };
        if (!outcome)
            throw CancellationError();
        return outcome();
    }

    ClearedConversation clearConversation(const std::string& conversationID, WorkFolder workFolder) override
    {
        std::lock_guard guard(m_lock);
        m_clears.emplace_back(conversationID, workFolder);
        return { .hadSession = true, .workspaceCleared = workFolder == WorkFolder::clear };
    }
    CompactedConversation compact(const CompactionRequest& request, std::stop_token) override
    {
        Compaction compaction;
        {
            std::lock_guard guard(m_lock);
            m_compactions.push_back(request);
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

    bool hasStarted(const std::string& id) const
    {
        std::lock_guard guard(m_lock);
        return m_runs.contains(id);
    }

    void release(const std::string& id, Outcome outcome)
    {
        std::lock_guard guard(m_lock);
        m_outcomes.insert_or_assign(id, std::move(outcome));
        m_changed.notify_all();
    }

    void reply(const std::string& id, std::string text)
    {
        release(id, [text = std::move(text)] { return ReplyOutput { .reply = text }; });
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

    std::vector<std::pair<std::string, WorkFolder>> clears() const
    {
        std::lock_guard guard(m_lock);
        return m_clears;
    }

    std::vector<CompactionRequest> compactions() const
    {
        std::lock_guard guard(m_lock);
        return m_compactions;
    }

    void setScript(Script script)
    {
        std::lock_guard guard(m_lock);
        m_script = std::move(script);
    }

    std::size_t mostAtOnce() const
    {
        std::lock_guard guard(m_lock);
        return m_mostAtOnce;
    }

    bool overlappedInConversation() const
    {
        std::lock_guard guard(m_lock);
        return m_overlappedInConversation;
    }

private:
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<std::string, Run> m_runs;
    std::map<std::string, Outcome> m_outcomes;
    std::set<std::string> m_running; // conversations
    std::size_t m_mostAtOnce { 0 };
    bool m_overlappedInConversation { false };
    bool m_honoursStop { true };
    Script m_script;
    Compaction m_compaction;
    std::vector<std::pair<std::string, WorkFolder>> m_clears;
    std::vector<CompactionRequest> m_compactions;
};

}
