// The record, in the program's data folder, of the repositories that earlier runs found in each writable
// place: what the next run's search protects first, however many files or folders a command made since.
#pragma once

#include "VellumarMacCore/GitProtection/GitConfigPaths.h"

#include <filesystem>
#include <string_view>
#include <vector>

namespace vellumar::GitFolderRecord {

// The private folder, in the data folder, holding one record file per place.
inline constexpr std::string_view folderName = "git-folders";

// The repositories recorded for `place` whose Git folder lies in it, in their recorded order; none when
// there is no record or it cannot be read. Reads at most a bounded number of bytes; never fails.
std::vector<GitConfigPaths::Repository> recorded(
    const std::filesystem::path& dataFolder, const std::filesystem::path& place);

// Replaces the record of `place` with `repositories` (a private file written whole), unless it already
// says the same; removes it when there are none. A failure is logged: the next run then finds what the
// walk reaches.
void record(const std::filesystem::path& dataFolder, const std::filesystem::path& place,
    const std::vector<GitConfigPaths::Repository>& repositories);

}
