// What the guard itself moved aside, known by identity, noted as it moves each: a folder a command
// names like one ("x.refused-<time>") is a folder like any other, and a Git folder inside it is judged
// as any other is, while what the guard moved aside, wherever it is renamed, is passed over. The record
// is in the data folder, across program starts.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::MovedAsideByGuard {

// What the guard names what it moves aside with: "<name>.refused-<time>-<random>".
inline constexpr std::string_view refusedLabel = "refused";

inline constexpr std::string_view recordName = "git-guard-moved-aside";
// Past it the earliest moved aside are let go: a folder of those is then judged as any other, which
// moves aside again what counts in it.
inline constexpr std::size_t limit = 20'000;

// Notes what is at `name` in the open folder `folder`, just moved aside there. Any thread; never throws
// but for memory.
void note(const std::filesystem::path& dataFolder, int folder, const std::string& name);

// Whether what is at `path`, a link as itself, is one the guard moved aside. Reads the disk; never throws
// but for memory.
bool isOne(const std::filesystem::path& dataFolder, const std::filesystem::path& path);

// Whether `path`, or a folder above it up to the place of `places` holding it, is one the guard moved
// aside. Reads the disk; never throws but for memory.
bool liesIn(const std::filesystem::path& dataFolder, const std::filesystem::path& path,
    const std::vector<std::filesystem::path>& places);

}
