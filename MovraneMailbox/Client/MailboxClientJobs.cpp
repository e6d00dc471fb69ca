// How the client follows a job away from home: the Mac watches it and writes its states into the
// mailbox, the fetches record them, and the phone's long-polls are answered from those records
// instead of costing one exchange each.
#include "MovraneMailbox/Client/MailboxClient.h"

#include "MovraneMailbox/Protocol/MailboxJobSnapshot.h"

#include <string_view>

namespace movrane {

namespace {

    MailboxRelayResponse storedStateResponse(const MailboxClient::JobEntry& entry)
    {
        return MailboxRelayResponse::make(
            200, { { "content-type", "application/json; charset=utf-8" } }, entry.body);
    }

}

MailboxRelayResponse MailboxClient::watchJob(
    const std::string& jobId, std::optional<std::int64_t> since, std::stop_token stop)
{
    // A wait of 0: the exchange waits minimumTimeout.
    auto answer
        = exchange(MailboxWatch { jobId, since, false }, std::nullopt, 0, std::nullopt, stop).response;
    if (answer.status != 200)
        return answer;
    const auto& body = answer.body;
    auto snapshot = MailboxJobSnapshot::fromJSON(
        std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (!snapshot || snapshot->jobId != jobId)
        return answer;
    recordJobState(jobId, snapshot->version, snapshot->finished, body);
    std::lock_guard lock(m_lock);
    if (snapshot->finished)
        m_watches.erase(jobId);
    else
        m_watches.insert_or_assign(jobId, m_clock->now());
    return answer;
}

void MailboxClient::watchJobInBackground(
    const std::string& jobId, std::optional<std::int64_t> since, std::stop_token stop)
{
    sendEnvelope(MailboxWatch { jobId, since, true }, std::nullopt, MailboxNotify::none, std::move(stop));
    // The Mac now follows the job on its own; the next long-poll registers a foreground watch again.
    std::lock_guard lock(m_lock);
    m_watches.erase(jobId);
}

std::optional<MailboxClient::JobEntry> MailboxClient::waitForJobState(const std::string& jobId,
    std::optional<std::int64_t> newerThan, double timeoutSeconds, std::stop_token stop)
{
    auto deadline = deadlineAfter(timeoutSeconds);
    std::optional<JobEntry> entry;
    auto newer = [&] {
        entry = jobState(jobId);
        return entry && (!newerThan || entry->version > *newerThan);
    };
    if (pollUntil(deadline, std::move(stop), newer))
        return entry;
    return std::nullopt;
}

void MailboxClient::receive(std::stop_token stop)
{
    if (auto failure = fetch(std::move(stop)))
        throw *failure;
}

MailboxRelayResponse MailboxClient::longPollJob(
    const std::string& jobId, std::int64_t since, std::int64_t waitSeconds, std::stop_token stop)
{
    auto answerable = [&]() -> std::optional<JobEntry> {
        auto entry = jobState(jobId);
        if (entry && (entry->version > since || entry->finished))
            return entry;
        return std::nullopt;
    };
    if (auto entry = answerable())
        return storedStateResponse(*entry);
    bool watchIsFresh;
    {
        std::lock_guard lock(m_lock);
        auto watched = m_watches.find(jobId);
        watchIsFresh = watched != m_watches.end()
            && std::chrono::duration<double>(m_clock->now() - watched->second).count()
                < m_configuration.watchRenewal;
    }
    if (!watchIsFresh) {
        auto answer = watchJob(jobId, since, stop);
        if (answer.status != 200)
            return answer;
        if (auto entry = answerable())
            return storedStateResponse(*entry);
    }
    if (auto entry = waitForJobState(jobId, since, static_cast<double>(waitSeconds), stop))
        return storedStateResponse(*entry);
    // A poll that ran out shows the unchanged state, as one over the local network would.
    if (auto entry = jobState(jobId))
        return storedStateResponse(*entry);
    return exchange(MailboxJobSnapshot::requestPath(jobId, std::nullopt, std::nullopt), std::nullopt, 0,
        std::nullopt, stop)
        .response;
}

}
