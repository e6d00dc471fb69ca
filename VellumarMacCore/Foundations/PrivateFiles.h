// Private folders (0700) and files (0600) written by whole-file replacement.
// The functions hold no state and take no locks; callers serialise writes to one target.
#pragma once

#include "Platform/PrivateFiles.h"

#include <filesystem>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vellumar {

// Creates the folder and missing parents with mode 0700, narrows the folder itself to 0700,
// then refuses anything that is not a real directory or is a symbolic link with
// TLSIdentityError(insecureFolder). Platform failures throw std::filesystem::filesystem_error.
void ensurePrivateDirectory(const std::filesystem::path& folder);

// Replaces the file's content atomically with a 0600 file (temporary ".<name>.<8 hex>" in the
// same folder, flushed to disk, then renamed over the target, and the folder flushed). The parent
// folder is made private first and its errors pass through unchanged
// (TLSIdentityError(insecureFolder) for a link). A failed write throws
// std::filesystem::filesystem_error carrying the errno of the step that failed, and leaves the old
// content and no temporary file behind; only when flushing the folder fails is the new content
// already in place, though perhaps not yet on disk. `untilRestart` skips both flushes, for a file
// rewritten before every use (see platform::Durability).
using platform::Durability;
void writePrivateFile(
    std::string_view bytes, const std::filesystem::path& file, Durability durability = Durability::onDisk);
// The same for a content given as pieces, written one after the other without being joined first.
void writePrivateFile(std::span<const std::string_view> pieces, const std::filesystem::path& file,
    Durability durability = Durability::onDisk);

// Removes the temporary files of `writePrivateFile` that killed writes left; see
// Platform/PrivateFiles.h.
using platform::removeTemporaryLeftovers;

// Flushes a file's data, or a folder's entries, to disk (fsync); see Platform/PrivateFiles.h.
using platform::syncToDisk;

// The first `limitBytes` bytes of `file` (a little more when a read passes the limit), opened without
// following a link and without waiting on a FIFO: how the program's own records in the data folder are
// read, which a command or another process may have replaced. Empty when it cannot be read.
std::string readPrivateFile(const std::filesystem::path& file, std::size_t limitBytes);
// The same, for a record whose loss would count against the user: empty only where there is no file,
// and std::filesystem::filesystem_error where one is there that cannot be read (refused, not a regular
// file, a read that failed).
std::string readPrivateFileOrThrow(const std::filesystem::path& file, std::size_t limitBytes);

// The lines of a record read that way, each without its line end; a last line with none, which a killed
// write cut short, is left out.
std::vector<std::string_view> completeLines(std::string_view bytes);

// Sets mode 0600 on an existing file; throws std::filesystem::filesystem_error when it cannot.
void makeFilePrivate(const std::filesystem::path& file);

}
