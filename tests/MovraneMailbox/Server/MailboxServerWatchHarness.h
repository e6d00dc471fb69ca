// Job watches under test: a fake relay handler serving one job's status JSON from a script, a clock
// that its sleeps and the job's long polls move, and the job states the phone received.
#pragma once

#include "tests/MovraneMailbox/Server/MailboxServerHarness.h"

#include <deque>
#include <thread>

namespace movrane::test {

struct JobStatus {
    std::int64_t version = 1;
    std::string status = "running";
    std::vector<std::string> approvals;
};

// Serves one job status for whichever job id is asked. A request without a wait answers the job as it
// is; a long poll takes the next scripted step (moving the clock first, as a long poll that waited
// would) or, with the script used up, holds until the test ends and then answers 404.
class FakeJobRelay {
public:
    struct Step {
        double waitedSeconds = 0;
        JobStatus status;
        // The job changes again right after this answer.
        std::optional<JobStatus> movesOnTo = std::nullopt;
    };

    FakeJobRelay(ManualMailboxClock& clock, FakeRelayHandler& relay)
        : m_clock(clock)
    {
        relay.respond = [this](const MailboxInboundRequest& request) { return answer(request); };
        m_clock.onSleep([this](double seconds) { advance(seconds); });
    }
    ~FakeJobRelay()
    {
        release();
        m_clock.onSleep({});
    }

    static MailboxBytes json(const JobStatus& status, std::string_view jobId = "job-1")
    {
        std::string approvals;
        for (const auto& id : status.approvals)
            approvals += std::string(approvals.empty() ? "" : ",") + R"({"requestId":")" + id + R"("})";
        return bytes(std::string(R"({"jobId":")") + std::string(jobId) + R"(","version":)"
            + std::to_string(status.version) + R"(,"status":")" + status.status
            + R"(","permissionRequests":[)" + approvals + "]}");
    }

    void set(JobStatus status)
    {
        std::lock_guard lock(m_lock);
        m_status = std::move(status);
    }
    void script(std::vector<Step> steps)
    {
        std::lock_guard lock(m_lock);
        m_script.assign(steps.begin(), steps.end());
    }
    // Long polls answer with the job unchanged, for ever, after moving the clock this far.
    void answerUnchanged(double waitedSeconds)
    {
        std::lock_guard lock(m_lock);
        m_unchangedAfter = waitedSeconds;
    }
    // Every long poll from now on answers with this status code.
    void failWith(int status)
    {
        std::lock_guard lock(m_lock);
        m_failure = status;
    }
    // Lets held long polls go with 404.
    void release()
    {
        std::lock_guard lock(m_lock);
        m_released = true;
        m_changed.notify_all();
    }
    // Waits until a long poll is held: every write before it has been made.
    bool waitForHeldPoll()
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, kDeadline, [&] { return m_held > 0; });
    }

    void advance(double seconds)
    {
        std::lock_guard lock(m_lock);
        m_seconds += seconds;
        m_clock.setSeconds(m_seconds);
    }
    double seconds() const
    {
        std::lock_guard lock(m_lock);
        return m_seconds;
    }
    // Long polls made, with the clock's time of each.
    std::vector<double> longPolls() const
    {
        std::lock_guard lock(m_lock);
        return m_longPolls;
    }

private:
    MailboxRelayResponse answer(const MailboxInboundRequest& request)
    {
        std::unique_lock lock(m_lock);
        bool longPoll = request.request.query && request.request.query->starts_with("wait=");
        auto jobId = request.request.path.substr(std::string_view("/v1/jobs/").size());
        if (longPoll) {
            m_longPolls.push_back(m_seconds);
            if (m_failure)
                return MailboxRelayResponse::error(*m_failure, "failed", "failed", std::nullopt);
            if (!m_script.empty()) {
                auto step = m_script.front();
                m_script.pop_front();
                m_seconds += step.waitedSeconds;
                m_clock.setSeconds(m_seconds);
                auto body = json(step.status, jobId);
                m_status = step.movesOnTo.value_or(step.status);
                return MailboxRelayResponse::make(200, { { "content-type", "application/json" } }, body);
            }
            if (m_unchangedAfter) {
                m_seconds += *m_unchangedAfter;
                m_clock.setSeconds(m_seconds);
            } else {
                ++m_held;
                m_changed.notify_all();
                m_changed.wait(lock, [&] { return m_released; });
                return MailboxRelayResponse::error(404, "not_found", "gone", std::nullopt);
            }
        }
        return MailboxRelayResponse::make(
            200, { { "content-type", "application/json" } }, json(m_status, jobId));
    }

    ManualMailboxClock& m_clock;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    JobStatus m_status;
    std::deque<Step> m_script;
    std::optional<int> m_failure;
    std::optional<double> m_unchangedAfter;
    bool m_released = false;
    int m_held = 0;
    double m_seconds = 0;
    std::vector<double> m_longPolls;
};

class MailboxServerWatchTest : public MailboxServerTest {
protected:
    struct Written {
        MailboxJobState state;
        MailboxNotify notify;
        friend bool operator==(const Written&, const Written&) = default;
    };

    ~MailboxServerWatchTest() override
    {
        job.release();
        destroyServer();
    }

    // The phone sends a watch for the job and the server fetches it.
    MailboxChannel::Sealed watch(Phone& phone, bool background, std::string jobId = "job-1")
    {
        m_longPollsBefore = job.longPolls().size();
        auto sealed = phone.send(MailboxWatch { std::move(jobId), std::nullopt, background }, clock->now());
        fetch();
        return sealed;
    }

    // The job states the phone received, oldest first, with the alert each carried.
    std::vector<Written> jobStates(const Phone& phone) const
    {
        std::vector<Written> written;
        for (const auto& record : memoryStore->envelopes(phone.zone())) {
            MailboxChannelState scratchState;
            if (record.to != phone.pairing.deviceTag())
                continue;
            auto message = phone.channel.open(record, clock->now(), scratchState, false);
            if (const auto* state = std::get_if<MailboxJobStateContent>(&message.content))
                written.push_back({ state->state, record.notify });
        }
        return written;
    }

    // Waits, within the deadline, until `done` holds; the watch loops give no other sign of ending.
    bool eventually(const std::function<bool()>& done)
    {
        auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    // Waits until the last watch sent has polled and every watch has ended.
    bool watchesEnd()
    {
        return eventually(
            [&] { return job.longPolls().size() > m_longPollsBefore && server().activeWatchCount() == 0; });
    }

    FakeJobRelay job { *clock, relay };

private:
    std::size_t m_longPollsBefore = 0;
};

}
