// How a phone-side mailbox client is tuned: its waits, the lifetime of what it sends, its poll
// schedule, how often a store call is tried and where its temporary files go.
#pragma once

#include <cstddef>
#include <filesystem>
#include <vector>

namespace movrane {

struct MailboxClientConfiguration {
    // The shortest wait for an answer, in seconds.
    double minimumTimeout = 60;
    // How long a sent envelope stays valid, in seconds; held within 1 ... 86,400 when used.
    double lifetime = 900;
    // Successive pauses between fetches while waiting, in seconds; the last one repeats.
    std::vector<double> pollIntervals { 1, 1, 2, 2, 3, 5 };
    // Age in seconds after which a foreground job watch is registered with the Mac again.
    double watchRenewal = 300;
    // The most calls of one store operation, the first included; 1 or less means no repeat.
    int storeAttempts = 4;
    std::filesystem::path temporaryDirectory = defaultTemporaryDirectory();

    // The pause after the fetch numbered `fetchIndex` (from 0): an empty schedule waits 1 second.
    double pollInterval(std::size_t fetchIndex) const;

    // The system's temporary folder, or "/tmp" when it cannot be had.
    static std::filesystem::path defaultTemporaryDirectory();
};

}
