// Small file helpers for tests that fill a work folder and look at what a unit left in it.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::test {

// Writes `text` to `file`, creating missing parent folders.
inline void writeText(const std::filesystem::path& file, std::string_view text)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// A file of `size` bytes that takes no room on disk, creating missing parent folders.
inline void writeSparse(const std::filesystem::path& file, std::uintmax_t size)
{
    writeText(file, "");
    std::filesystem::resize_file(file, size);
}

// The permission bits of the place itself, not of what a link there points to.
inline mode_t modeOf(const std::filesystem::path& place)
{
    struct stat status { };
    EXPECT_EQ(::lstat(place.c_str(), &status), 0) << place;
    return status.st_mode & 07777;
}

// The names in a folder, sorted; none when it cannot be read.
inline std::vector<std::string> folderNames(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The "fileId" of a file entry, or the empty text.
inline std::string fileIDOf(const JSON& entry)
{
    const JSON* id = entry.subscript("fileId");
    return id && id->stringValue() ? *id->stringValue() : std::string();
}

}
