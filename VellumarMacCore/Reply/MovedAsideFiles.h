// The files the Git protection moved aside while a run went on, gathered from the watch's thread and the
// run's own comparisons, so that the bot and the phone can be told which went aside and why.
#pragma once

#include "VellumarMacCore/GitProtection/GitProtection.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <vector>

namespace vellumar {

class MovedAsideFiles {
public:
    // A change with when it was first added, in milliseconds since 1970 by the wall clock, as the stream
    // parser stamps the run's tool calls: the comparison that found it had just ended.
    struct Added {
        GitGuard::MovedChange change;
        std::int64_t at = 0;

        friend bool operator==(const Added&, const Added&) = default;
    };

    // Adds what one comparison moved aside (`GitGuard::compare`'s changes). Any thread.
    void add(const std::vector<GitGuard::MovedChange>& moved);
    // Every change added whose file is still there, each path once, in the order first added: the guard
    // removes a file moved aside earlier when a later one of the same name holds the same bytes, and the
    // bot is told only of files it can find. Reads the disk; any thread.
    std::vector<Added> changes() const;

    // The name a change was moved away from: "<name>.refused-<time>-<random>" gives "<name>"; a path without
    // that ending (a hard-linked file put back in place) is the name itself.
    static std::filesystem::path changedName(const std::filesystem::path& moved);

private:
    mutable std::mutex m_lock;
    std::vector<Added> m_changes;
};

}
