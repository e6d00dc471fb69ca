// What the cloud store suites share: a store on a fresh cloud folder, and a push listener that hands
// each notification's subscription id (or the account notice) to a callback from its own thread.
#pragma once

#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "Platform/CloudPush.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace movrane::test {

// A member of a push's query ("sid": the subscription id, "rid": the record created), the account
// notice as it is, or the whole datagram when it is neither, so that a test sees what arrived.
inline std::string pushedMember(const std::string& datagram, std::string_view member = "sid")
{
    if (datagram == vellumar::platform::cloudAccountChangedNotice)
        return datagram;
    auto json = vellumar::JSON::decode(datagram);
    const vellumar::JSON* cloud = json ? json->subscript("ck") : nullptr;
    const vellumar::JSON* query = cloud ? cloud->subscript("qry") : nullptr;
    const vellumar::JSON* value = query ? query->subscript(member) : nullptr;
    const std::string* text = value ? value->stringValue() : nullptr;
    return text ? *text : datagram;
}

// The names of every envelope in the zone's feed, read page by page; `count`, when given, adds how many
// came, so that a name that came twice shows.
inline std::set<std::string> storedNames(
    MailboxStore& store, const std::string& zone, std::size_t* count = nullptr)
{
    std::set<std::string> names;
    std::optional<MailboxBytes> token;
    for (bool more = true; more;) {
        auto changes = store.fetchChanges(zone, token);
        for (const auto& envelope : changes.envelopes)
            names.insert(envelope.name);
        if (count)
            *count += changes.envelopes.size();
        token = changes.token;
        more = changes.moreComing;
    }
    return names;
}

// Receives from `listener` from construction until destruction, handing on each push.
class PushListenerThread {
public:
    PushListenerThread(std::unique_ptr<vellumar::platform::CloudPushListener> listener,
        std::function<void(const std::string&)> received)
        : m_listener(std::move(listener))
        , m_thread([this, received = std::move(received)](std::stop_token stop) {
            while (!stop.stop_requested()) {
                if (auto datagram = m_listener->receive(std::chrono::milliseconds(50)))
                    received(*datagram);
            }
        })
    {
    }

private:
    std::unique_ptr<vellumar::platform::CloudPushListener> m_listener;
    std::jthread m_thread;
};

// Stores on the SQLite database of a fresh cloud folder.
struct CloudStoreFactory {
    vellumar::test::TemporaryFolder root;
    std::unique_ptr<PushListenerThread> listener;

    std::filesystem::path cloudFolder() const { return root / "cloud"; }
    std::unique_ptr<MailboxStore> make() { return makeOn(vellumar::platform::CloudDatabaseChoice {}); }
    std::unique_ptr<MailboxStore> makeOn(const vellumar::platform::CloudDatabaseChoice& choice)
    {
        return std::make_unique<CloudKitMailboxStore>(std::string(MailboxProtocol::containerIdentifier),
            vellumar::platform::CloudDatabaseOptions { .folder = cloudFolder(), .choice = choice });
    }
    void setPageLimit(MailboxStore& store, int limit)
    {
        static_cast<CloudKitMailboxStore&>(store).container().setPageLimit(static_cast<std::size_t>(limit));
    }
    void listen(MailboxStore& store, std::function<void(const std::string&)> received)
    {
        listener = std::make_unique<PushListenerThread>(
            static_cast<CloudKitMailboxStore&>(store).container().listenForPushes(),
            [received = std::move(received)](
                const std::string& datagram) { received(pushedMember(datagram)); });
    }
};

// Stores on a PostgreSQL server of the test's own, which every store made shares.
struct PostgresStoreFactory : CloudStoreFactory {
    vellumar::test::PostgresServer server;

    std::string skipReason() const
    {
        return server.isRunning() ? "" : "PostgreSQL cannot start here: " + server.failure();
    }
    vellumar::platform::CloudDatabaseChoice choice() const
    {
        return { vellumar::platform::CloudBackend::postgresql, server.conninfo() };
    }
    std::unique_ptr<MailboxStore> make() { return makeOn(choice()); }
};

// A store on a fresh cloud folder and a fresh zone name.
class CloudStoreTest : public ::testing::Test {
protected:
    CloudStoreFactory factory;
    std::unique_ptr<MailboxStore> made = factory.make();
    CloudKitMailboxStore& store = static_cast<CloudKitMailboxStore&>(*made);
    const std::string zone = MailboxZoneName::make();
};

}
