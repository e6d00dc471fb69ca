// Pushes of the cloud database on PostgreSQL: a writer notifies the account schema's channel in the
// transaction that saves, so a notification goes out exactly when the save commits, and each listener
// holds a connection of its own that listens on that channel.
#pragma once

#include "Platform/CloudPush.h"

#include <chrono>
#include <deque>
#include <memory>
#include <string>

namespace vellumar::platform {

class CloudPostgresConnection;

class CloudPostgresPushListener final : public CloudPushListener {
public:
    struct Channel {
        std::string conninfo;
        // The account's schema, which is also the channel's name.
        std::string schema;
        std::string containerIdentifier;
    };

    // Tries to listen at once; a server out of reach now is tried again as `receive` is called.
    explicit CloudPostgresPushListener(Channel channel);
    ~CloudPostgresPushListener() override;

    // While the connection is lost, `receive` reconnects after a back-off that doubles from 100 ms to
    // 5 s. A notice sent meanwhile is lost with the connection, so once listening again the listener
    // hands out one notification (without a record) for each subscription of the account: its
    // owner then fetches, and a lost notice only delays a request.
    std::optional<std::string> receive(std::chrono::milliseconds timeout) override;

private:
    using Clock = std::chrono::steady_clock;

    // False when the server cannot be reached or refuses; the back-off then grows.
    bool connect();

    Channel m_channel;
    std::unique_ptr<CloudPostgresConnection> m_connection;
    std::deque<std::string> m_pending;
    std::chrono::milliseconds m_backOff;
    Clock::time_point m_nextAttempt;
    // Set once a connection was lost (or never made): the next one catches up on what was missed.
    bool m_missedNotices = false;
};

}
