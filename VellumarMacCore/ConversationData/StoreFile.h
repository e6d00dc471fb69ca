// Whole-file reads and writes of the JSON files that the conversation stores keep in the data folder.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

namespace vellumar::detail {

// What a store found at its file's name.
struct StoreFileContent {
    // The value, when the file holds one JSON document of the expected kind.
    std::optional<JSON> document;
    // The file may hold entries but could not be opened or read just now (no permission, no
    // descriptors or memory left, an I/O error). It was left as it was, and the store must make no
    // change until a later read succeeds: its next write would replace what it could not see.
    bool unreadable = false;
};

// Reads the store's file. Nothing at the name, or an empty file, gives no document. A file longer
// than `limitBytes`, one that is not one JSON document of the kind `expected`, and a symbolic link,
// folder, FIFO or anything else that is not a regular file (which no later read could take) are
// kept aside with `keepDamagedStoreFile` and give no document. Any other failure to open or read
// leaves the file where it is, logs one line and answers `unreadable`. Never blocks on a FIFO and
// never throws.
StoreFileContent readStoreJSON(
    const std::filesystem::path& file, std::size_t limitBytes, JSON::Kind expected);

// Logs one line for a change that was refused because the file could not be read, for a store whose
// caller has no error to receive.
void logChangeRefused(const std::filesystem::path& file);

// Renames the file to "<name>.damaged-<UTC time>-<random part>" (for example
// "sessions.json.damaged-20250301T093000Z-3f9a0c1e"), narrows it to 0600 (a folder to 0700; a link is moved
// as it is) and logs one line. Answers the new location, or absent, also logged, when the file could not be
// moved. Never replaces an existing file and never throws.
std::optional<std::filesystem::path> keepDamagedStoreFile(
    const std::filesystem::path& file, std::chrono::system_clock::time_point now);

// Writes `JSON::encoded` of the value with `writePrivateFile`. False when the write failed, in
// which case one line is logged and the old file is left as it was; never throws.
bool writeStoreJSON(const JSON& value, const std::filesystem::path& file);
// The same for a document already encoded.
bool writeStoreBytes(std::string_view encoded, const std::filesystem::path& file);
// The same for a document encoded in pieces, written one after the other without being joined.
bool writeStorePieces(std::span<const std::string_view> pieces, const std::filesystem::path& file);

// Removes the temporary files that writes of the file, killed before their rename, left beside it.
// Call it when the store opens, before it writes.
void removeStoreLeftovers(const std::filesystem::path& file);

}
