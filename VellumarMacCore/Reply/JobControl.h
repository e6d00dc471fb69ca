// The handle a reply run holds for its job: the job's id and stopped-reply notice, the sink for its
// progress, and the channel for questions to the user, with the waiting state the Claude Code
// watchdog reads so that time spent waiting for the user never counts as a stall.
#pragma once

#include "VellumarMacCore/ClaudeCode/ClaudeProcess.h"
#include "VellumarMacCore/ClaudeCode/RunnerEvent.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace vellumar {

class JobControl final {
public:
    using WallClock = std::chrono::system_clock;
    // Must return at once; called from any thread, possibly from several at the same time.
    using EventHandler = std::function<void(const RunnerEvent&)>;
    // Blocks until the user's answer, an expiry, the job's end or a stop of `runEnded`, and returns
    // the answer text. Called from any thread; it should not throw.
    using QuestionHandler = std::function<std::string(const JSON& question, std::stop_token runEnded)>;
    using Clock = std::function<WallClock::time_point()>;

    // The answer given when nobody can be asked, and when asking failed.
    static constexpr std::string_view deniedAnswer = "deny";

    // An empty `onEvent` ignores every event; an empty `onAsk` means nobody can be asked (a routine's
    // job, a compaction). `clock` stamps the answers; the system clock when empty.
    explicit JobControl(std::string jobID, std::optional<std::string> stoppedNote = std::nullopt,
        EventHandler onEvent = {}, QuestionHandler onAsk = {}, Clock clock = {});
    JobControl(const JobControl&) = delete;
    JobControl& operator=(const JobControl&) = delete;

    // Set once at construction and read without the lock.
    const std::string& jobID() const noexcept { return m_jobID; }
    // The notice about the conversation's previous stopped reply, for the next prompt.
    const std::optional<std::string>& stoppedNote() const noexcept { return m_stoppedNote; }

    // Hands one progress step to the job. Any thread.
    void onEvent(const RunnerEvent& event) const { m_onEvent(event); }

    bool canAsk() const noexcept { return static_cast<bool>(m_onAsk); }

    // Asks the user and blocks until the answer, which is returned exactly as the handler gives it.
    // Answers `deniedAnswer` at once, changing nothing, when nobody can be asked; also when the
    // handler throws, so that no exception reaches the asking thread. The question counts as waiting
    // for as long as the handler runs, whichever way it ends. Any thread; never holds the lock while
    // the handler runs.
    // `runEnded` is stopped once the process that asked has gone: no answer can reach it any more, so
    // the question ends at once, also one still waiting, and a question asked after it is denied.
    std::string ask(const JSON& question, std::stop_token runEnded = {});

    // Whether a question is waiting for its answer, and when the latest answer arrived. Any thread.
    ClaudeProcess::Waiting waitState() const;

private:
    const std::string m_jobID;
    const std::optional<std::string> m_stoppedNote;
    const EventHandler m_onEvent;
    const QuestionHandler m_onAsk;
    const Clock m_clock;

    mutable std::mutex m_lock;
    int m_waiting { 0 };
    std::optional<WallClock::time_point> m_resumed;
};

}
