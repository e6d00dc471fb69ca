#include "MovraneMailbox/Client/MailboxClient.h"

#include "MovraneMailbox/Protocol/MailboxSubscriptions.h"

namespace movrane {

MailboxClient::MailboxClient(MailboxPairing pairing, const MailboxIdentity& identity,
    Collaborators collaborators, MailboxClientConfiguration configuration)
    : m_channel(std::move(pairing), MailboxRole::device, identity)
    , m_store(std::move(collaborators.store))
    , m_storage(std::move(collaborators.storage))
    , m_clock(std::move(collaborators.clock))
    , m_configuration(std::move(configuration))
    , m_log(std::move(collaborators.log))
    , m_state(MailboxChannelState::decode(*m_storage, m_channel.label()))
    , m_lastSeen(m_state.lastPresence)
{
}

MailboxClient::~MailboxClient()
{
    std::lock_guard lock(m_lock);
    for (const auto& stream : m_streams)
        stream->finish();
}

std::optional<MailboxTime> MailboxClient::lastSeen() const
{
    std::lock_guard lock(m_lock);
    return m_lastSeen;
}

std::optional<MailboxPresence> MailboxClient::presence() const
{
    std::lock_guard lock(m_lock);
    return m_presence;
}

std::optional<MailboxError> MailboxClient::lastError() const
{
    std::lock_guard lock(m_lock);
    return m_lastError;
}

std::vector<MailboxSubscriptionSpec> MailboxClient::subscriptions() const
{
    return MailboxSubscriptions::device(pairing(), true);
}

void MailboxClient::setUp(std::stop_token stop)
{
    const auto& zone = pairing().zoneName;
    withStoreRetries(stop, [&] { m_store->ensureZone(zone); });
    auto specs = subscriptions();
    withStoreRetries(stop, [&] { m_store->saveSubscriptions(specs, zone); });
}

void MailboxClient::tearDown(std::stop_token stop)
{
    std::vector<std::string> ids;
    for (const auto& wanted : subscriptions())
        ids.push_back(wanted.id);
    const auto& zone = pairing().zoneName;
    withStoreRetries(stop, [&] { m_store->deleteSubscriptions(ids); });
    withStoreRetries(stop, [&] { m_store->deleteZone(zone); });
    m_storage->store(std::nullopt, m_channel.label());
}

MailboxAccountState MailboxClient::accountState() { return m_store->accountState(); }

std::optional<MailboxClient::JobEntry> MailboxClient::jobState(const std::string& jobId) const
{
    std::lock_guard lock(m_lock);
    auto found = m_jobs.find(jobId);
    if (found == m_jobs.end())
        return std::nullopt;
    return found->second;
}

void MailboxClient::recordJobState(
    const std::string& jobId, std::int64_t version, bool finished, MailboxBytes body)
{
    std::lock_guard lock(m_lock);
    if (auto stored = m_jobs.find(jobId); stored != m_jobs.end()) {
        bool firstFinished = finished && !stored->second.finished;
        if (stored->second.version >= version && !firstFinished)
            return;
    }
    m_jobs.insert_or_assign(jobId, JobEntry { version, finished, std::move(body) });
    if (finished)
        m_watches.erase(jobId);
}

}
