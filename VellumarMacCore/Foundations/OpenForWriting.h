// Whether some process still holds a file open for writing, as the kernel counts its writers: a file
// whose bytes were read while a writer holds it may be cut short, as by a truncation at its opening.
#pragma once

#include <filesystem>

namespace vellumar {

// True only where the kernel says so: the regular file at `path`, reached through no link, is open for
// writing by some process. False where it is not, or where that cannot be told (no such file, a file
// of another owner, a file system without leases).
bool isOpenForWriting(const std::filesystem::path& path);

}
