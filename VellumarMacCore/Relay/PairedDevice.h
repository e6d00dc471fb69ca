// A phone paired with this Mac, as the device registry keeps it and stores it.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellumar {

struct PairedDevice {
    using TimePoint = std::chrono::system_clock::time_point;

    // "d-" and 16 lower-case hexadecimal digits.
    std::string id;
    // Cleaned at pairing: no control characters, trimmed, at most 40 characters.
    std::string name;
    TimePoint pairedAt;
    // When the device last authenticated a request.
    std::optional<TimePoint> lastSeenAt;
    // SHA-256 of the bearer token's UTF-8 bytes, 64 lower-case hexadecimal digits. The token itself
    // is never kept.
    std::string tokenHash;

    // {"id", "name", "pairedAt", "lastSeenAt" (left out when absent), "tokenHash"}, dates as seconds
    // since 1970 with their fraction.
    JSON json() const;

    friend bool operator==(const PairedDevice&, const PairedDevice&) = default;
};

// A stored device list that was read but is not one: not JSON, not an array of device objects, a
// required member missing or of the wrong kind, or a date out of range.
class DeviceListDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace PairedDevices {
    // The JSON array of the devices, in order.
    std::string encoded(const std::vector<PairedDevice>& devices);
    // Members other than the five are ignored; a missing or null "lastSeenAt" is absent. Throws
    // DeviceListDecodingError.
    std::vector<PairedDevice> decoded(std::string_view bytes);
}

}
