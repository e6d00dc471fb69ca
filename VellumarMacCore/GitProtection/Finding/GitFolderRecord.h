// The record, in the program's data folder, of what earlier runs' searches found in each writable place:
// the repositories the next run protects first, however many files or folders a command made since, and
// where a search that ran out of time goes on.
#pragma once

#include "VellumarMacCore/GitProtection/Finding/GitRepositorySearch.h"

#include <filesystem>
#include <string_view>
#include <vector>

namespace vellumar::GitFolderRecord {

// The private folder, in the data folder, holding one record file per place.
inline constexpr std::string_view folderName = "git-folders";

struct Record {
    std::vector<GitRepositorySearch::Repository> repositories;
    // The folders a search that ran out of time did not reach, in the order it would have walked them;
    // empty once a search finished.
    std::vector<std::filesystem::path> unwalked;
};

// The file beside the record of `place` that keeps what the search listed in each of its folders
// (`SearchedFolders`); empty for an empty `dataFolder`.
std::filesystem::path listingsFile(
    const std::filesystem::path& dataFolder, const std::filesystem::path& place);

// What is recorded for `place` that lies in it, in its recorded order; nothing when there is no record
// or it cannot be read. Reads at most a bounded number of bytes; never fails.
Record recorded(const std::filesystem::path& dataFolder, const std::filesystem::path& place);

// Replaces the record of `place` with `record` (a private file written whole), unless it already says
// the same; removes it when it holds nothing. A failure is logged: the next run then finds what its
// search reaches.
void record(
    const std::filesystem::path& dataFolder, const std::filesystem::path& place, const Record& record);

}
