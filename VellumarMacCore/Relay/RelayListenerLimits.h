// How many connections the relay admits and how long they may sit idle or half-sent.
#pragma once

#include <chrono>

namespace vellumar {

struct RelayListenerLimits {
    int maxConnections = 32;
    // Untrusted connections from one address; trusted ones do not count.
    int maxUntrustedPerHost = 6;
    // From the first byte of a request to its last, and idle time of an untrusted connection.
    std::chrono::duration<double> requestTimeout { 20 };
    // Idle time of a trusted connection.
    std::chrono::duration<double> idleTimeout { 90 };
};

}
