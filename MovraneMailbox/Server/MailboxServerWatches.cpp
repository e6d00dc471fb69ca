// Job watches: a phone away from home asks the Mac to follow a job for it. The Mac long-polls the job
// through its own relay handler and writes each new state into the phone's zone, alerting the phone when
// a reply is ready or an approval waits.
#include "MovraneMailbox/Server/MailboxServer.h"

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Server/MailboxScopeExit.h"
#include "MovraneMailbox/Server/MailboxServerTime.h"

#include <algorithm>

namespace movrane {

namespace {

    MailboxRelayResponse tooManyWatchesReply()
    {
        return MailboxRelayResponse::error(429, "mailbox_busy", "Too many watched jobs.", 30);
    }

    // A long poll answered sooner than this with nothing new came from a handler that does not wait.
    constexpr double kImmediateAnswerSeconds = 1;

}

MailboxNotify MailboxServer::notifyKind(
    const MailboxJobSnapshot& snapshot, const std::set<std::string>& announced)
{
    if (snapshot.finished)
        return snapshot.status == "canceled" ? MailboxNotify::none : MailboxNotify::reply;
    bool news = std::ranges::any_of(
        snapshot.pendingApprovals, [&](const std::string& id) { return !announced.contains(id); });
    return news ? MailboxNotify::approval : MailboxNotify::none;
}

MailboxServer::JobAnswer MailboxServer::askJob(const MailboxChannel& channel, const std::string& jobID,
    std::optional<std::int64_t> since, std::optional<std::int64_t> wait, MailboxTime receivedAt)
{
    JobAnswer answer { handle({ channel.pairing(), MailboxJobSnapshot::requestPath(jobID, since, wait),
                           std::nullopt, receivedAt }),
        std::nullopt };
    if (answer.response.status != 200)
        return answer;
    const auto& body = answer.response.body;
    auto snapshot = MailboxJobSnapshot::fromJSON(
        std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (snapshot && snapshot->jobId == jobID)
        answer.snapshot = std::move(snapshot);
    return answer;
}

void MailboxServer::startWatch(const MailboxWatch& watch, const MailboxMessage& message,
    const MailboxChannel& channel, const std::stop_token& stop)
{
    const WatchKey key { channel.pairing().zoneName, watch.jobId };
    auto lifetime
        = watch.background ? m_configuration.backgroundWatchLifetime : m_configuration.watchLifetime;
    enum class Admission { renewed, refused, reserved } admission = Admission::reserved;
    {
        // The count and the reservation in one turn, so watches admitted together never pass the limit.
        std::lock_guard lock(m_lock);
        auto existing = m_watches.find(key);
        auto reservations = m_watchReservations.find(key.zone);
        auto counted = std::ranges::count_if(m_watches, [&](const auto& entry) {
            return entry.first.zone == key.zone;
        }) + (reservations == m_watchReservations.end() ? 0 : reservations->second);
        if (existing != m_watches.end()) {
            existing->second.background = watch.background;
            existing->second.expiresAt = MailboxServerTime::adding(m_clock->now(), lifetime);
            admission = Admission::renewed;
        } else if (counted >= m_configuration.maxWatchesPerDevice) {
            admission = Admission::refused;
        } else {
            ++m_watchReservations[key.zone];
        }
    }
    if (admission == Admission::renewed) {
        if (!watch.background)
            reply(message, askJob(channel, key.jobID, std::nullopt, std::nullopt, m_clock->now()).response,
                channel, stop);
        return;
    }
    if (admission == Admission::refused) {
        if (!watch.background)
            reply(message, tooManyWatchesReply(), channel, stop);
        return;
    }
    // Released on every way out, by the registration itself when it comes to that.
    bool reserved = true;
    MailboxScopeExit releaseReservation([&] {
        if (!reserved)
            return;
        std::lock_guard lock(m_lock);
        releaseWatchReservation(key.zone);
    });
    auto first = askJob(channel, key.jobID, std::nullopt, std::nullopt, MailboxTime(message.createdAt));
    if (!watch.background)
        reply(message, first.response, channel, stop);
    if (!first.snapshot)
        return;
    if (first.snapshot->finished) {
        if (!watch.background)
            return;
        try {
            send(MailboxJobStateContent { { first.snapshot->jobId, first.snapshot->version, true },
                     first.response.body },
                std::nullopt, channel, notifyKind(*first.snapshot, {}), stop);
        } catch (...) {
            // The phone asks for the job again when it comes to the front.
        }
        return;
    }
    reserved = false;
    registerWatch(key, watch.background, *first.snapshot, channel);
}

void MailboxServer::releaseWatchReservation(const std::string& zone)
{
    if (--m_watchReservations[zone] <= 0)
        m_watchReservations.erase(zone);
}

void MailboxServer::registerWatch(
    const WatchKey& key, bool background, const MailboxJobSnapshot& snapshot, const MailboxChannel& channel)
{
    std::list<LoopTask> finished;
    std::lock_guard lock(m_lock);
    // In the same turn as the insertion, so the watch is never counted twice nor not at all.
    releaseWatchReservation(key.zone);
    finished = takeFinished(m_watchLoops);
    // Another registration for the job that came first wins.
    if (m_closing || m_watches.contains(key))
        return;
    auto now = m_clock->now();
    auto lifetime = background ? m_configuration.backgroundWatchLifetime : m_configuration.watchLifetime;
    Watch entry { .id = MailboxUUID::make(),
        .background = background,
        .expiresAt = MailboxServerTime::adding(now, lifetime),
        .version = snapshot.version,
        .approvals = snapshot.pendingApprovals,
        .lastWrite = now,
        .task = {} };
    auto flag = std::make_shared<std::atomic<bool>>(false);
    std::jthread loop([this, key, id = entry.id, channel, cancel = entry.task, flag]() {
        // The server's shutdown cancels the watch as `stop` or forgetting its zone would.
        std::stop_callback onShutdown(m_shutdown.get_token(), [cancel]() mutable { cancel.request_stop(); });
        runWatch(key, id, channel, cancel.get_token());
        *flag = true;
    });
    m_watches.insert_or_assign(key, std::move(entry));
    m_watchLoops.push_back(LoopTask { std::move(loop), flag });
}

void MailboxServer::runWatch(
    const WatchKey& key, const std::string& id, const MailboxChannel& channel, const std::stop_token& stop)
{
    MailboxScopeExit end([&] { endWatch(key.zone, key.jobID, id); });
    for (;;) {
        std::int64_t version = 0;
        {
            std::lock_guard lock(m_lock);
            const auto* watch = ownWatch(key, id);
            if (!watch || stop.stop_requested() || m_clock->now() >= watch->expiresAt)
                return;
            version = watch->version;
        }
        auto asked = m_clock->now();
        auto answer = askJob(channel, key.jobID, version, m_configuration.watchPollWait, asked);
        if (stop.stop_requested() || !answer.snapshot)
            return;
        MailboxTime lastWrite;
        bool changed = false;
        {
            std::lock_guard lock(m_lock);
            const auto* watch = ownWatch(key, id);
            if (!watch)
                return;
            changed = answer.snapshot->version != watch->version || answer.snapshot->finished;
            lastWrite = watch->lastWrite;
        }
        try {
            auto now = m_clock->now();
            if (!changed) {
                // A handler that answers at once with nothing new would otherwise be asked without pause.
                if (MailboxServerTime::secondsSince(now, asked) < kImmediateAnswerSeconds)
                    m_clock->sleep(m_configuration.watchMinInterval, stop);
                continue;
            }
            auto pause = m_configuration.watchMinInterval - MailboxServerTime::secondsSince(now, lastWrite);
            if (pause > 0) {
                m_clock->sleep(pause, stop);
                // The write after the pause carries the newest state, never an older one.
                auto newer = askJob(channel, key.jobID, std::nullopt, std::nullopt, m_clock->now());
                if (newer.snapshot && newer.snapshot->version >= answer.snapshot->version)
                    answer = std::move(newer);
            }
        } catch (...) {
            return;
        }
        const auto& snapshot = *answer.snapshot;
        MailboxNotify notify = MailboxNotify::none;
        bool background = false;
        {
            std::lock_guard lock(m_lock);
            const auto* watch = ownWatch(key, id);
            if (!watch)
                return;
            notify = notifyKind(snapshot, watch->approvals);
            background = watch->background;
        }
        if (!background || notify != MailboxNotify::none) {
            try {
                send(MailboxJobStateContent { { snapshot.jobId, snapshot.version, snapshot.finished },
                         answer.response.body },
                    std::nullopt, channel, notify, stop);
            } catch (...) {
                // Counted as written: the phone catches up with the next state or when it asks itself.
                noteZoneError(std::current_exception(), key.zone);
            }
        }
        {
            std::lock_guard lock(m_lock);
            auto* watch = ownWatch(key, id);
            if (!watch)
                return;
            watch->version = snapshot.version;
            watch->approvals = snapshot.pendingApprovals;
            watch->lastWrite = m_clock->now();
        }
        if (snapshot.finished)
            return;
    }
}

void MailboxServer::endWatch(const std::string& zone, const std::string& jobID, const std::string& id)
{
    std::lock_guard lock(m_lock);
    if (ownWatch({ zone, jobID }, id))
        m_watches.erase({ zone, jobID });
}

MailboxServer::Watch* MailboxServer::ownWatch(const WatchKey& key, const std::string& id)
{
    auto entry = m_watches.find(key);
    return entry != m_watches.end() && entry->second.id == id ? &entry->second : nullptr;
}

void MailboxServer::cancelWatches(const std::function<bool(const std::string& zone)>& ends)
{
    std::erase_if(m_watches, [&](auto& entry) {
        if (!ends(entry.first.zone))
            return false;
        entry.second.task.request_stop();
        return true;
    });
}

}
