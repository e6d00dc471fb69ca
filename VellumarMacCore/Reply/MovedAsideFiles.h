// The files the Git protection moved aside while a run went on, gathered from the watch's thread and the
// run's own comparisons, so that the bot and the phone can be told which went aside and why.
#pragma once

#include "VellumarMacCore/GitProtection/GitProtection.h"

#include <filesystem>
#include <mutex>
#include <vector>

namespace vellumar {

class MovedAsideFiles {
public:
    // Adds what one comparison moved aside (`GitGuard::compare`'s changes). Any thread.
    void add(const std::vector<GitGuard::MovedChange>& moved);
    // Every change added whose file is still there, each path once, in the order first added: the guard
    // removes a file moved aside earlier when a later one of the same name holds the same bytes, and the
    // bot is told only of files it can find. Reads the disk; any thread.
    std::vector<GitGuard::MovedChange> changes() const;

    // The name a change was moved away from: "<name>.refused-<time>-<random>" gives "<name>"; a path without
    // that ending (a hard-linked file put back in place) is the name itself.
    static std::filesystem::path changedName(const std::filesystem::path& moved);

private:
    mutable std::mutex m_lock;
    std::vector<GitGuard::MovedChange> m_changes;
};

}
