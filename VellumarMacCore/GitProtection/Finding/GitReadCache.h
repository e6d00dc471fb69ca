// What was made of files Git reads (what `git config` printed, what the scripts its hooks run put first
// on PATH), kept while none of the files has changed, for the program's life and in a file across its
// starts, so that each run of a program with a thousand repositories, its first after a start too,
// neither starts a thousand `git` nor opens every hook again.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::GitReadCache {

// Entries kept at most; past it every file is read again.
inline constexpr std::size_t maxEntries = 100'000;

// What a key holds of a long text that the keys of thousands of entries share, such as the environment
// or an argument list: its SHA-256, where the text itself would be held twice in each entry (as the key,
// and in the entry's bytes). Any thread.
std::string sharedKeyPart(std::string_view text);

// The output kept under `key` when each file it was kept with is still as it was (the same kind,
// identity, size, change and modification times, or still absent). Any thread.
std::optional<std::string> cached(const std::string& key);

// Keeps `output` under `key`, read from `files` (absent ones too), unless one of them changed within
// a second of `readStart` or since: a second write within one tick of the file system's clock would
// leave its times as they were. Any thread.
void keep(const std::string& key, std::string output, std::vector<std::filesystem::path> files,
    std::chrono::system_clock::time_point readStart);

// The private file in the program's data folder that keeps the entries across its starts.
inline constexpr std::string_view keptFileName = "git-read-cache";

// Takes in what `dataFolder`'s file kept (`writeKept`), the first time in the program's life for that
// folder; an entry kept since stays. A file not whole adds nothing. Never fails; any thread.
void readKept(const std::filesystem::path& dataFolder);

// Writes every entry to `dataFolder`'s file, where one was kept since the file was read or written. A
// failure only costs the next start's first run its reads again. Any thread.
void writeKept(const std::filesystem::path& dataFolder);

// Drops every entry, and which files were read, as a program start finds them, for tests. Any thread.
void forgetAll();

}
