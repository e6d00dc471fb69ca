// Where a write to a path lands, found the way the kernel finds it, so that a permission is decided
// on the file that would really change.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace vellumar {

struct WriteDestination {
    std::filesystem::path path; // absolute; no ".", "..", or link in the part that exists
    bool hasOtherNames = false; // an existing regular file with more than one hard link

    friend bool operator==(const WriteDestination&, const WriteDestination&) = default;
};

// Walks the absolute `path` component by component from the left, as open(2) does: an existing
// component that is a symbolic link is replaced by its target (a relative one read from the link's
// folder) before any later ".." applies, and a final link is followed too, since a write follows
// it. Components that do not exist yet are kept as written, since Claude Code creates missing
// folders. Nothing when the write would land nowhere we can name: more than 40 links, a "." or
// ".." after a component that does not exist or is no folder, a component below a file, a link
// that cannot be read, or any link kept by procfs (/proc/self, /proc/<pid>/fd/N and /dev/fd/N,
// which goes through them), which is resolved for the process that reads it, never the writer.
// Reads the file system only; any thread.
std::optional<WriteDestination> writeDestination(std::string_view path);

}
