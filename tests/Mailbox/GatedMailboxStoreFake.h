// A fake store in front of the in-memory one, for a test that needs iCloud to hang: the calls of a held
// operation wait until the test releases it, and the test can wait until calls have begun or ended.
#pragma once

#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace vellumar::test {

class GatedMailboxStoreFake final : public movrane::MailboxStore {
public:
    using Operation = movrane::InMemoryMailboxStore::Operation;

    explicit GatedMailboxStoreFake(std::shared_ptr<movrane::InMemoryMailboxStore> inner)
        : m_inner(std::move(inner))
    {
    }

    void hold(Operation operation)
    {
        std::lock_guard lock(m_lock);
        m_held.insert(operation);
    }

    void release(Operation operation)
    {
        std::lock_guard lock(m_lock);
        m_held.erase(operation);
        m_changed.notify_all();
    }

    void releaseAll()
    {
        std::lock_guard lock(m_lock);
        m_held.clear();
        m_changed.notify_all();
    }

    // Each waits for at most 20 seconds of real time; false when the calls did not come.
    bool waitForBegun(Operation operation, int count) { return waitFor(m_begun, operation, count); }
    bool waitForEnded(Operation operation, int count) { return waitFor(m_ended, operation, count); }

    int ended(Operation operation)
    {
        std::lock_guard lock(m_lock);
        return m_ended[operation];
    }

    movrane::MailboxAccountState accountState() override
    {
        return pass(Operation::accountState, [&] { return m_inner->accountState(); });
    }
    std::string userRecordName() override
    {
        return pass(Operation::userRecordName, [&] { return m_inner->userRecordName(); });
    }
    void ensureZone(const std::string& zone) override
    {
        pass(Operation::ensureZone, [&] { m_inner->ensureZone(zone); });
    }
    void deleteZone(const std::string& zone) override
    {
        pass(Operation::deleteZone, [&] { m_inner->deleteZone(zone); });
    }
    void saveEnvelope(const movrane::MailboxEnvelopeRecord& record, const std::string& zone) override
    {
        pass(Operation::saveEnvelope, [&] { m_inner->saveEnvelope(record, zone); });
    }
    void savePresence(const movrane::MailboxPresenceRecord& record, const std::string& zone) override
    {
        pass(Operation::savePresence, [&] { m_inner->savePresence(record, zone); });
    }
    movrane::MailboxChanges fetchChanges(
        const std::string& zone, const std::optional<movrane::MailboxBytes>& token) override
    {
        return pass(Operation::fetchChanges, [&] { return m_inner->fetchChanges(zone, token); });
    }
    std::filesystem::path fetchAsset(const std::string& recordName, const std::string& zone) override
    {
        return pass(Operation::fetchAsset, [&] { return m_inner->fetchAsset(recordName, zone); });
    }
    void deleteEnvelopes(const std::vector<std::string>& recordNames, const std::string& zone) override
    {
        pass(Operation::deleteEnvelopes, [&] { m_inner->deleteEnvelopes(recordNames, zone); });
    }
    void saveSubscriptions(
        const std::vector<movrane::MailboxSubscriptionSpec>& specs, const std::string& zone) override
    {
        pass(Operation::saveSubscriptions, [&] { m_inner->saveSubscriptions(specs, zone); });
    }
    void deleteSubscriptions(const std::vector<std::string>& identifiers) override
    {
        pass(Operation::deleteSubscriptions, [&] { m_inner->deleteSubscriptions(identifiers); });
    }

private:
    template <typename Call> auto pass(Operation operation, Call call) -> decltype(call())
    {
        {
            std::unique_lock lock(m_lock);
            ++m_begun[operation];
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return !m_held.contains(operation); });
        }
        struct Ended {
            GatedMailboxStoreFake& store;
            Operation operation;
            ~Ended()
            {
                std::lock_guard lock(store.m_lock);
                ++store.m_ended[operation];
                store.m_changed.notify_all();
            }
        } ended { *this, operation };
        return call();
    }

    bool waitFor(const std::map<Operation, int>& counts, Operation operation, int count)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] {
            auto found = counts.find(operation);
            return found != counts.end() && found->second >= count;
        });
    }

    const std::shared_ptr<movrane::InMemoryMailboxStore> m_inner;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::set<Operation> m_held;
    // Calls begun (held or not) and calls ended, by operation.
    std::map<Operation, int> m_begun;
    std::map<Operation, int> m_ended;
};

}
