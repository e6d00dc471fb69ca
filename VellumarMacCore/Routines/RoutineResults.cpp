// The results of routine runs: the entry of each finished job, the entry of a run that could not
// happen, and who is told of them.
#include "VellumarMacCore/ConversationData/SessionStore.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Routines/RoutineManager.h"
#include "VellumarMacCore/Routines/RoutineRecord.h"
#include "VellumarMacCore/Schedule/RoutineLimits.h"

#include <utility>

namespace vellumar {

namespace {

    // The twelve members of a result entry other than its number.
    struct ResultEntry {
        std::string routineID;
        std::string jobID;
        std::string botID;
        std::string conversationID;
        JSON target;
        JSON name;
        std::int64_t runAt;
        std::string status;
        std::string reply;
        JSON files;
        JSON error;

        JSON::Object json() const
        {
            return { { "routineId", routineID }, { "jobId", jobID }, { "botId", botID },
                { "conversationId", conversationID }, { "target", target }, { "name", name },
                { "runAt", runAt }, { "status", status },
                { "reply", prefixCharacters(reply, RoutineLimits::maxResultText) }, { "files", files },
                { "error", error } };
        }
    };

    // A routine's member as stored, whatever its kind; `fallback` when the routine or the member is
    // missing.
    JSON storedOr(const JSON::Object* routine, std::string_view key, JSON fallback)
    {
        const auto* member = routine ? detail::recordMember(*routine, key) : nullptr;
        return member ? *member : std::move(fallback);
    }

    void markLastRun(JSON::Object& routine, const JSON& status, const JSON& error)
    {
        routine.insert_or_assign("lastStatus", status);
        routine.insert_or_assign("lastError", error);
    }

}

JSON RoutineManager::appendResultLocked(JSON::Object entry)
{
    entry.insert_or_assign("seq", ++m_state.seq);
    m_state.results.emplace_back(std::move(entry));
    auto kept = static_cast<std::size_t>(RoutineLimits::keptResults);
    if (m_state.results.size() > kept)
        m_state.results.erase(
            m_state.results.begin(), m_state.results.end() - static_cast<std::ptrdiff_t>(kept));
    return m_state.results.back();
}

void RoutineManager::recordFailure(std::string_view id, const std::string& message)
{
    auto failedAt = now();
    std::lock_guard guard(m_lock);
    loadedLocked();
    auto found = m_state.routines.find(id);
    if (found == m_state.routines.end())
        return;
    auto& routine = found->second;
    appendResultLocked(ResultEntry { .routineID = std::string(id),
        // No job exists; the phone still gets an id of the usual form to tell the entries apart.
        .jobID = RelayIDs::newJobID(),
        .botID = detail::recordText(routine, "botId"),
        .conversationID = conversationKey(routine),
        .target = storedOr(&routine, "target", "routine"),
        .name = storedOr(&routine, "name", ""),
        .runAt = failedAt.time_since_epoch().count(),
        .status = "failed",
        .reply = "",
        .files = JSON::Array {},
        .error = message }
                           .json());
    markLastRun(routine, "failed", message);
    saveLocked();
}

void RoutineManager::jobFinished(const FinishedJob& job)
{
    if (!job.submission.routineID)
        return;
    const bool done = job.status == "done";
    const std::string status = done ? "ok" : job.status;
    const auto* replyMember = job.result ? job.result->subscript("reply") : nullptr;
    const std::string reply = replyMember && replyMember->stringValue() ? *replyMember->stringValue() : "";
    const auto* files = job.result ? job.result->subscript("files") : nullptr;
    const auto* message = job.error ? job.error->subscript("message") : nullptr;
    const JSON error = done ? JSON() : message ? *message : JSON(job.status);

    JSON entry;
    std::vector<ResultObserver> observers;
    std::optional<std::string> postedAs; // the routine's name, for a reply the bot is to see
    {
        std::lock_guard guard(m_lock);
        loadedLocked();
        auto found = m_state.routines.find(*job.submission.routineID);
        auto* routine = found == m_state.routines.end() ? nullptr : &found->second;
        entry = appendResultLocked(ResultEntry { .routineID = *job.submission.routineID,
            .jobID = job.id,
            .botID = job.submission.botID,
            .conversationID = job.submission.conversationID,
            .target = storedOr(routine, "target", "routine"),
            .name = storedOr(routine, "name", ""),
            .runAt = job.startedAt.value_or(job.createdAt),
            .status = status,
            .reply = reply,
            .files = files ? *files : JSON::Array {},
            .error = error }
                                       .json());
        // A run that ends after a newer one of the same routine has started leaves the routine to it.
        if (routine && detail::recordText(*routine, "lastJobId") == job.id)
            markLastRun(*routine, status, error);
        saveLocked();
        observers = m_resultObservers;
        if (routine && detail::recordText(*routine, "target") == "bot" && done && !reply.empty())
            postedAs = detail::recordText(*routine, "name");
    }
    // Posted before anyone is told, so that a phone that hears of the result and writes to the bot
    // at once finds the bot knowing it. The whole reply: the conversation keeps what it keeps of any
    // turn.
    if (postedAs)
        m_sessions.recordRoutineResult(job.submission.conversationID, job.submission.botID, *postedAs, reply);
    for (const auto& observer : observers)
        observer(entry);
}

void RoutineManager::addResultObserver(ResultObserver observer)
{
    std::lock_guard guard(m_lock);
    m_resultObservers.push_back(std::move(observer));
}

}
