// What the mailbox store suites share: the error an operation threw as text, whole-millisecond
// times, envelopes as they are saved and as a fetch returns them, and an inbox for notifications.
#pragma once

#include "MovraneMailbox/Protocol/MailboxStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace movrane {

// The case and payload of the MailboxError `operation` threw, "succeeded", or what else it threw.
template <typename Operation> std::string failureOf(Operation&& operation)
{
    try {
        std::forward<Operation>(operation)();
    } catch (const MailboxError& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("not a MailboxError: ") + error.what();
    }
    return "succeeded";
}

inline std::string textOf(MailboxError::Kind kind) { return MailboxError(kind).what(); }

// Whole milliseconds, which every store keeps exactly.
inline MailboxStoreTime at(int seconds)
{
    using namespace std::chrono;
    return MailboxStoreTime { sys_days { year { 2026 } / 3 / 1 } + hours { 10 }
        + std::chrono::seconds { seconds } };
}

inline MailboxBytes bytes(std::string_view text) { return MailboxBytes(text.begin(), text.end()); }

inline MailboxEnvelopeRecord envelope(const std::string& name, int createdSecond, std::string_view payload,
    std::string to = "mac", MailboxNotify notify = MailboxNotify::none)
{
    return MailboxEnvelopeRecord(name, std::move(to), notify, at(createdSecond),
        static_cast<std::int64_t>(payload.size()), bytes(payload), std::nullopt);
}

// A record as a fetch returns it: no file to upload, and whether the store holds an asset for it.
inline MailboxEnvelopeRecord asFetched(MailboxEnvelopeRecord record)
{
    record.hasAsset = record.assetFile.has_value();
    record.assetFile.reset();
    return record;
}

inline std::vector<std::string> namesOf(const std::vector<MailboxEnvelopeRecord>& records)
{
    std::vector<std::string> names;
    for (const auto& record : records)
        names.push_back(record.name);
    return names;
}

// Subscription ids as a listener receives them; waits end at a deadline, never by sleeping.
class NotificationInbox {
public:
    std::function<void(const std::string&)> receiver()
    {
        return [this](const std::string& id) {
            std::lock_guard lock(m_lock);
            m_received.push_back(id);
            m_changed.notify_all();
        };
    }
    // Whether `id` arrived within ten seconds.
    bool waitFor(const std::string& id)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(10),
            [&] { return std::find(m_received.begin(), m_received.end(), id) != m_received.end(); });
    }
    // Whether `count` notifications in all arrived within ten seconds.
    bool waitForCount(std::size_t count)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_received.size() >= count; });
    }
    // What arrived so far, sorted: listener calls run concurrently, in no set order.
    std::vector<std::string> received()
    {
        std::lock_guard lock(m_lock);
        auto sorted = m_received;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_received;
};

}
