// Whole-file reads and writes of the JSON files that the conversation stores keep in the data folder.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>

namespace vellumar::detail {

// The value in the file when it is one JSON document of the kind `expected`; absent otherwise.
// A file that is missing, a symbolic link, anything but a regular file, unreadable or empty is
// left where it is. Any other file that gives no value (longer than `limitBytes`, a read that
// fails, not one JSON document, another kind) is kept aside with `keepDamagedStoreFile`, so that
// the store's next write does not destroy what it still holds. Never blocks on a FIFO and never
// throws.
std::optional<JSON> readStoreJSON(
    const std::filesystem::path& file, std::size_t limitBytes, JSON::Kind expected);

// Renames the file to "<name>.damaged-<UTC time>" (for example
// "sessions.json.damaged-20250301T093000Z"), with "-2", "-3", ... added when that name is taken,
// narrows it to 0600 and logs one line. Answers the new location, or absent, also logged, when the
// file could not be moved. Never replaces an existing file and never throws.
std::optional<std::filesystem::path> keepDamagedStoreFile(
    const std::filesystem::path& file, std::chrono::system_clock::time_point now);

// Writes `JSON::encoded` of the value with `writePrivateFile`. False when the write failed, in
// which case one line is logged and the old file is left as it was; never throws.
bool writeStoreJSON(const JSON& value, const std::filesystem::path& file);

// Removes the temporary files that writes of the file, killed before their rename, left beside it.
// Call it when the store opens, before it writes.
void removeStoreLeftovers(const std::filesystem::path& file);

}
