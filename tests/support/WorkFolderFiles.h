// Small file helpers for tests that fill a work folder and look at what a unit left in it.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "tests/support/FileFixtures.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::test {

// Writes `text` to `file`, creating missing parent folders.
inline void writeText(const std::filesystem::path& file, std::string_view text) { writeBytes(file, text); }

// A file of `size` bytes that takes no room on disk, creating missing parent folders.
inline void writeSparse(const std::filesystem::path& file, std::uintmax_t size)
{
    writeBytes(file, "");
    std::filesystem::resize_file(file, size);
}

// The names in a folder, sorted; none when it cannot be read.
inline std::vector<std::string> folderNames(const std::filesystem::path& folder)
{
    auto names = namesIn(folder);
    return { names.begin(), names.end() };
}

// The "fileId" of a file entry, or the empty text.
inline std::string fileIDOf(const JSON& entry)
{
    const JSON* id = entry.subscript("fileId");
    return id && id->stringValue() ? *id->stringValue() : std::string();
}

}
