#include "VellumarMacCore/Reply/JobControl.h"

#include <algorithm>
#include <utility>

namespace vellumar {

JobControl::JobControl(std::string jobID, std::optional<std::string> stoppedNote, EventHandler onEvent,
    QuestionHandler onAsk, Clock clock)
    : m_jobID(std::move(jobID))
    , m_stoppedNote(std::move(stoppedNote))
    , m_onEvent(onEvent ? std::move(onEvent) : EventHandler([](const RunnerEvent&) {}))
    , m_onAsk(std::move(onAsk))
    , m_clock(clock ? std::move(clock) : Clock([] { return WallClock::now(); }))
{
}

std::string JobControl::ask(const JSON& question, std::stop_token runEnded)
{
    if (!m_onAsk || runEnded.stop_requested())
        return std::string(deniedAnswer);
    {
        std::lock_guard guard(m_lock);
        ++m_waiting;
    }
    std::string answer;
    try {
        answer = m_onAsk(question, std::move(runEnded));
    } catch (...) {
        // A question that could not be put is a question refused; the run must not stop over it.
        answer = deniedAnswer;
    }
    auto answeredAt = m_clock();
    std::lock_guard guard(m_lock);
    --m_waiting;
    // Overlapping answers may read the clock in one order and take the lock in the other.
    m_resumed = m_resumed ? std::max(*m_resumed, answeredAt) : answeredAt;
    return answer;
}

ClaudeProcess::Waiting JobControl::waitState() const
{
    std::lock_guard guard(m_lock);
    return { m_waiting > 0, m_resumed };
}

}
