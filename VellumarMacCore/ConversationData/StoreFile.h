// Whole-file reads and writes of the JSON files that the conversation stores keep in the data folder.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace vellumar::detail {

// The file's bytes, or absent when it is missing, a symbolic link, anything but a regular file,
// unreadable, or longer than `limitBytes`. Never blocks on a FIFO and never throws.
std::optional<std::string> readStoreFile(const std::filesystem::path& file, std::size_t limitBytes);

// The value decoded from the file, or absent when `readStoreFile` gives nothing or the bytes are
// not one JSON document.
std::optional<JSON> readStoreJSON(const std::filesystem::path& file, std::size_t limitBytes);

// Writes `JSON::encoded` of the value with `writePrivateFile`. False when the write failed, in
// which case the old file is left as it was; never throws.
bool writeStoreJSON(const JSON& value, const std::filesystem::path& file);

}
