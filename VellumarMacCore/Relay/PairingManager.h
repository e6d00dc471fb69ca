// The one-time pairing code shown in the pairing QR code, and the decision on each code a phone
// presents: accepted, already used, wrong, or refused during a lockout after too many wrong codes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vellumar {

// A monitor: each operation runs under one lock and reads the clock once, so one redemption is
// atomic with respect to the others and to new offers. Nothing is stored on disk.
class PairingManager {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    using Clock = std::function<TimePoint()>;
    using Seconds = std::chrono::duration<double>;

    struct Options {
        // How long an offer stays valid.
        Seconds lifetime { 300 };
        // Wrong codes within `failureWindow` that start a lockout.
        int maxFailures = 5;
        Seconds failureWindow { 60 };
        Seconds lockout { 60 };
        // Called under the manager's lock from any thread.
        Clock clock = [] { return std::chrono::system_clock::now(); };
    };

    struct Offer {
        // 43 Base64URL characters.
        std::string code;
        // The first instant at which the code is no longer accepted.
        TimePoint expiresAt;
        friend bool operator==(const Offer&, const Offer&) = default;
    };

    // The outcomes of one redemption.
    struct RateLimited {
        // Whole seconds, at least 1.
        std::int64_t retryAfter;
        friend bool operator==(const RateLimited&, const RateLimited&) = default;
    };
    struct AlreadyUsed {
        // The device the code paired, once recorded.
        std::optional<std::string> deviceID;
        friend bool operator==(const AlreadyUsed&, const AlreadyUsed&) = default;
    };
    struct Accepted {
        friend bool operator==(const Accepted&, const Accepted&) = default;
    };
    struct Invalid {
        friend bool operator==(const Invalid&, const Invalid&) = default;
    };
    using Redemption = std::variant<RateLimited, AlreadyUsed, Accepted, Invalid>;

    explicit PairingManager(Options options);

    // A new code from 32 secure random bytes, replacing any earlier offer; failures, lockout and the
    // remembered code stay as they are.
    Offer makeOffer();
    // The stored offer while it is live.
    std::optional<Offer> currentOffer() const;
    void cancelOffer();
    // Decides one pairing attempt; every input, however long or empty, gives an outcome.
    Redemption redeem(std::string_view code);
    // Notes the device that the remembered accepted code paired, so that a repeat reports it.
    // Does nothing when no code is remembered.
    void recordDevice(std::string id);

private:
    struct UsedCode {
        std::string code;
        TimePoint until;
        std::optional<std::string> deviceID;
    };

    const Options m_options;
    mutable std::mutex m_lock;
    std::optional<Offer> m_offer;
    // Wrong codes still inside the window, oldest first.
    std::vector<TimePoint> m_failures;
    std::optional<TimePoint> m_lockedUntil;
    std::optional<UsedCode> m_used;
};

}
