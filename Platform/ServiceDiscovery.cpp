#include "Platform/ServiceDiscovery.h"

#include "Platform/Log.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <mutex>
#include <optional>
#include <string>

namespace vellumar::platform {

// Everything below `poll` is touched only on the poll's thread (Avahi calls back with the poll's
// lock held) or under `avahi_threaded_poll_lock`.
struct ServiceDiscovery::State {
    ~State();

    void startIfNeeded();
    void connect();
    void clientChanged(AvahiClient* changed, AvahiClientState clientState);
    void groupChanged(AvahiEntryGroupState groupState);
    // Makes the group show `wanted` (or nothing), given a client that is running.
    void apply(AvahiClient* running);
    bool addService();
    void takeAlternativeName();
    void reconnectSoon();
    void reportUnreachable(int error);
    void report(const std::string& what, int error);

    std::mutex startLock;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    std::optional<ServiceAdvertisement> wanted;
    // The name in use: `wanted`'s, or an alternative after a conflict on the link.
    std::string name;
    bool reportedUnreachable = false;
};

namespace {

    void onClientChanged(AvahiClient* client, AvahiClientState state, void* context)
    {
        static_cast<ServiceDiscovery::State*>(context)->clientChanged(client, state);
    }

    void onGroupChanged(AvahiEntryGroup*, AvahiEntryGroupState state, void* context)
    {
        static_cast<ServiceDiscovery::State*>(context)->groupChanged(state);
    }

    class TextRecord {
    public:
        explicit TextRecord(const std::vector<std::pair<std::string, std::string>>& pairs)
        {
            // Avahi prepends; walking backwards keeps the caller's order on the wire.
            for (auto pair = pairs.rbegin(); pair != pairs.rend(); ++pair)
                m_list = avahi_string_list_add_pair(m_list, pair->first.c_str(), pair->second.c_str());
        }
        ~TextRecord() { avahi_string_list_free(m_list); }
        TextRecord(const TextRecord&) = delete;
        TextRecord& operator=(const TextRecord&) = delete;
        AvahiStringList* list() const noexcept { return m_list; }

    private:
        AvahiStringList* m_list = nullptr;
    };

}

ServiceDiscovery::State::~State()
{
    if (!poll)
        return;
    avahi_threaded_poll_stop(poll);
    // Freeing the client frees its groups too.
    if (client)
        avahi_client_free(client);
    avahi_threaded_poll_free(poll);
}

void ServiceDiscovery::State::startIfNeeded()
{
    std::lock_guard lock(startLock);
    if (poll)
        return;
    poll = avahi_threaded_poll_new();
    if (!poll) {
        report("Bonjour advertising could not start", AVAHI_ERR_NO_MEMORY);
        return;
    }
    connect();
    avahi_threaded_poll_start(poll);
}

void ServiceDiscovery::State::connect()
{
    int error = 0;
    // Without a daemon the client waits for one instead of failing, so a daemon started later still
    // gets the service.
    client = avahi_client_new(
        avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, onClientChanged, this, &error);
    if (!client)
        reportUnreachable(error);
}

void ServiceDiscovery::State::clientChanged(AvahiClient* changed, AvahiClientState clientState)
{
    switch (clientState) {
    case AVAHI_CLIENT_S_RUNNING:
        apply(changed);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The daemon's host name is changing; the service is added again once it runs.
        if (group)
            avahi_entry_group_reset(group);
        break;
    case AVAHI_CLIENT_CONNECTING:
        reportUnreachable(AVAHI_ERR_NO_DAEMON);
        break;
    case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(changed) == AVAHI_ERR_DISCONNECTED)
            reconnectSoon();
        else
            report("Bonjour advertising failed", avahi_client_errno(changed));
        break;
    }
}

void ServiceDiscovery::State::reconnectSoon()
{
    // The client cannot be freed inside its own callback; a zero time-out runs right after it.
    const AvahiPoll* api = avahi_threaded_poll_get(poll);
    timeval now {};
    avahi_elapse_time(&now, 0, 0);
    api->timeout_new(
        api, &now,
        [](AvahiTimeout* timeout, void* context) {
            auto* state = static_cast<ServiceDiscovery::State*>(context);
            avahi_threaded_poll_get(state->poll)->timeout_free(timeout);
            state->group = nullptr;
            if (state->client)
                avahi_client_free(state->client);
            state->connect();
        },
        this);
}

void ServiceDiscovery::State::groupChanged(AvahiEntryGroupState groupState)
{
    if (groupState == AVAHI_ENTRY_GROUP_COLLISION) {
        takeAlternativeName();
        avahi_entry_group_reset(group);
        if (addService())
            avahi_entry_group_commit(group);
    } else if (groupState == AVAHI_ENTRY_GROUP_FAILURE) {
        report("Bonjour advertising failed", avahi_client_errno(avahi_entry_group_get_client(group)));
    }
}

void ServiceDiscovery::State::apply(AvahiClient* running)
{
    if (group)
        avahi_entry_group_reset(group);
    if (!wanted)
        return;
    if (!group) {
        group = avahi_entry_group_new(running, onGroupChanged, this);
        if (!group) {
            report("Bonjour advertising failed", avahi_client_errno(running));
            return;
        }
    }
    if (addService())
        avahi_entry_group_commit(group);
}

bool ServiceDiscovery::State::addService()
{
    TextRecord text(wanted->text);
    while (true) {
        int error = avahi_entry_group_add_service_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
            AvahiPublishFlags(0), name.c_str(), wanted->type.c_str(), nullptr, nullptr, wanted->port,
            text.list());
        if (error == AVAHI_OK)
            return true;
        // Another program of this machine holds the name: the daemon says so at once.
        if (error != AVAHI_ERR_COLLISION) {
            report("Bonjour advertising failed", error);
            return false;
        }
        takeAlternativeName();
    }
}

void ServiceDiscovery::State::takeAlternativeName()
{
    char* alternative = avahi_alternative_service_name(name.c_str());
    name = alternative;
    avahi_free(alternative);
}

void ServiceDiscovery::State::reportUnreachable(int error)
{
    if (reportedUnreachable)
        return;
    reportedUnreachable = true;
    report("Bonjour advertising waits for the Avahi daemon", error);
}

void ServiceDiscovery::State::report(const std::string& what, int error)
{
    logError(what + ": " + avahi_strerror(error) + ".");
}

ServiceDiscovery::ServiceDiscovery()
    : m_state(std::make_unique<State>())
{
}

ServiceDiscovery::~ServiceDiscovery() = default;

void ServiceDiscovery::publish(ServiceAdvertisement service)
{
    m_state->startIfNeeded();
    if (!m_state->poll)
        return;
    avahi_threaded_poll_lock(m_state->poll);
    m_state->name = service.name;
    m_state->wanted = std::move(service);
    // No system bus at the first attempt: try again, since one may have come up since.
    if (!m_state->client)
        m_state->connect();
    if (m_state->client && avahi_client_get_state(m_state->client) == AVAHI_CLIENT_S_RUNNING)
        m_state->apply(m_state->client);
    avahi_threaded_poll_unlock(m_state->poll);
}

void ServiceDiscovery::withdraw()
{
    std::unique_lock start(m_state->startLock);
    if (!m_state->poll)
        return;
    start.unlock();
    avahi_threaded_poll_lock(m_state->poll);
    m_state->wanted.reset();
    if (m_state->group)
        avahi_entry_group_reset(m_state->group);
    avahi_threaded_poll_unlock(m_state->poll);
}

}
