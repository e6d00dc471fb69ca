// A private file in the data folder naming what a process holds in the user's folders while it runs,
// so that the next start can find what a killed process left there: each absolute path followed by a
// NUL byte, which no path holds.
#pragma once

#include <filesystem>
#include <vector>

namespace vellumar::PathRecord {

// Replaces `record` with one naming `paths` (its folder is made private when it is missing), or
// removes it when there are none. Throws the errors of `writePrivateFile`.
void write(const std::filesystem::path& record, const std::vector<std::filesystem::path>& paths);

// The absolute paths the record names, read from its first 16 MiB without following a link; none
// when it cannot be read.
std::vector<std::filesystem::path> read(const std::filesystem::path& record);

// Removes the temporary copy that a process killed while writing `record` left beside it. The caller
// makes sure that no write of the record is going on.
void removeLeftoverCopies(const std::filesystem::path& record);

}
