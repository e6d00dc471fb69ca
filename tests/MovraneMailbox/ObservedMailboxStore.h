// A mailbox store that one end of a test talks through: it forwards to another store, keeps the
// subscriptions each save was given, and runs the test's hooks around fetches and saves, so a test can
// fail or watch one end's calls while the other end uses the store directly.
#pragma once

#include "MovraneMailbox/Protocol/MailboxStore.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace movrane {

// Hooks run on the caller's thread; what the fetch hook throws, the fetch throws.
class ObservedMailboxStore final : public MailboxStore {
public:
    explicit ObservedMailboxStore(std::shared_ptr<MailboxStore> store)
        : m_store(std::move(store))
    {
    }
    std::vector<std::vector<std::string>> savedSubscriptionIDs() const
    {
        std::lock_guard lock(m_lock);
        return m_saved;
    }
    void beforeFetch(std::function<void()> hook)
    {
        std::lock_guard lock(m_lock);
        m_beforeFetch = std::move(hook);
    }
    // Changes every page a fetch returns before the caller sees it.
    void afterFetch(std::function<void(MailboxChanges&)> hook)
    {
        std::lock_guard lock(m_lock);
        m_afterFetch = std::move(hook);
    }
    // Runs before each save; what it throws, the save throws.
    void beforeSave(std::function<void()> hook)
    {
        std::lock_guard lock(m_lock);
        m_beforeSave = std::move(hook);
    }
    void afterSave(std::function<void(const MailboxEnvelopeRecord&)> hook)
    {
        std::lock_guard lock(m_lock);
        m_afterSave = std::move(hook);
    }

    MailboxAccountState accountState() override { return m_store->accountState(); }
    std::string userRecordName() override { return m_store->userRecordName(); }
    void ensureZone(const std::string& zone) override { m_store->ensureZone(zone); }
    void deleteZone(const std::string& zone) override { m_store->deleteZone(zone); }
    void saveEnvelope(const MailboxEnvelopeRecord& record, const std::string& zone) override
    {
        if (auto hook = copied(m_beforeSave))
            hook();
        m_store->saveEnvelope(record, zone);
        if (auto hook = copied(m_afterSave))
            hook(record);
    }
    void savePresence(const MailboxPresenceRecord& record, const std::string& zone) override
    {
        m_store->savePresence(record, zone);
    }
    MailboxChanges fetchChanges(const std::string& zone, const std::optional<MailboxBytes>& token) override
    {
        if (auto hook = copied(m_beforeFetch))
            hook();
        auto page = m_store->fetchChanges(zone, token);
        if (auto hook = copied(m_afterFetch))
            hook(page);
        return page;
    }
    std::filesystem::path fetchAsset(const std::string& recordName, const std::string& zone) override
    {
        return m_store->fetchAsset(recordName, zone);
    }
    void deleteEnvelopes(const std::vector<std::string>& recordNames, const std::string& zone) override
    {
        m_store->deleteEnvelopes(recordNames, zone);
    }
    void saveSubscriptions(
        const std::vector<MailboxSubscriptionSpec>& specs, const std::string& zone) override
    {
        {
            std::lock_guard lock(m_lock);
            auto& ids = m_saved.emplace_back();
            for (const auto& wanted : specs)
                ids.push_back(wanted.id);
        }
        m_store->saveSubscriptions(specs, zone);
    }
    void deleteSubscriptions(const std::vector<std::string>& identifiers) override
    {
        m_store->deleteSubscriptions(identifiers);
    }

private:
    template <typename Hook> Hook copied(const Hook& hook) const
    {
        std::lock_guard lock(m_lock);
        return hook;
    }

    std::shared_ptr<MailboxStore> m_store;
    mutable std::mutex m_lock;
    std::vector<std::vector<std::string>> m_saved;
    std::function<void()> m_beforeFetch;
    std::function<void(MailboxChanges&)> m_afterFetch;
    std::function<void()> m_beforeSave;
    std::function<void(const MailboxEnvelopeRecord&)> m_afterSave;
};

}
