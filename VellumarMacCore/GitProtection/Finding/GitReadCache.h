// What was made of files Git reads (what `git config` printed, what the scripts its hooks run put first
// on PATH), kept for the program's life while none of the files has changed, so that each run of a
// program with a thousand repositories neither starts a thousand `git` nor opens every hook again.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::GitReadCache {

// Entries kept at most; past it every file is read again.
inline constexpr std::size_t maxEntries = 100'000;

// The output kept under `key` when each file it was kept with is still as it was (the same kind,
// identity, size, change and modification times, or still absent). Any thread.
std::optional<std::string> cached(const std::string& key);

// Keeps `output` under `key`, read from `files` (absent ones too), unless one of them changed within
// a second of `readStart` or since: a second write within one tick of the file system's clock would
// leave its times as they were. Any thread.
void keep(const std::string& key, std::string output, std::vector<std::filesystem::path> files,
    std::chrono::system_clock::time_point readStart);

}
