#include "Platform/CloudPostgresPush.h"

#include "Platform/CloudPostgres.h"
#include "Platform/CloudPostgresSchema.h"

#include <thread>

namespace vellumar::platform {

namespace {

    constexpr std::chrono::milliseconds kFirstBackOff { 100 };
    constexpr std::chrono::milliseconds kLongestBackOff { 5000 };

}

CloudPostgresPushListener::CloudPostgresPushListener(Channel channel)
    : m_channel(std::move(channel))
    , m_backOff(kFirstBackOff)
    , m_nextAttempt(Clock::now())
{
    if (!connect())
        m_missedNotices = true;
}

CloudPostgresPushListener::~CloudPostgresPushListener() = default;

bool CloudPostgresPushListener::connect()
{
    try {
        auto connection = std::make_unique<CloudPostgresConnection>(m_channel.conninfo);
        connection->run("SELECT set_config('search_path', $1, false)", { m_channel.schema });
        connection->execute("LISTEN " + m_channel.schema);
        if (m_missedNotices) {
            // Read after LISTEN took effect, so that nothing falls between the two.
            for (const auto& subscription : readCloudPostgresSubscriptions(*connection, std::nullopt))
                m_pending.push_back(cloudNotificationJSON(m_channel.containerIdentifier, subscription, ""));
        }
        m_connection = std::move(connection);
        m_missedNotices = false;
        m_backOff = kFirstBackOff;
        return true;
    } catch (const CloudDatabaseError&) {
        m_nextAttempt = Clock::now() + m_backOff;
        m_backOff = std::min(m_backOff * 2, kLongestBackOff);
        return false;
    }
}

std::optional<std::string> CloudPostgresPushListener::receive(std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    for (bool first = true;; first = false) {
        if (!m_pending.empty()) {
            std::string push = std::move(m_pending.front());
            m_pending.pop_front();
            return push;
        }
        auto now = Clock::now();
        if (!first && now >= deadline)
            return std::nullopt;
        if (!m_connection) {
            if (now < m_nextAttempt) {
                if (m_nextAttempt >= deadline) {
                    std::this_thread::sleep_until(deadline);
                    return std::nullopt;
                }
                std::this_thread::sleep_until(m_nextAttempt);
            }
            connect();
            continue;
        }
        try {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            for (auto& notice : m_connection->notices(std::max(left, std::chrono::milliseconds(0))))
                m_pending.push_back(std::move(notice.payload));
            if (m_pending.empty())
                return std::nullopt;
        } catch (const CloudDatabaseError&) {
            m_connection.reset();
            m_missedNotices = true;
            m_nextAttempt = Clock::now();
        }
    }
}

}
