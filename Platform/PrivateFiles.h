// Private folders (0700) and whole-file replacement with 0600 files, for code that cannot use the
// core's JSON stores (the keychain stand-in) and beneath the core's own private-file helpers.
#pragma once

#include <fcntl.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::platform {

enum class PrivateFolder { ready, insecure };

// Creates the folder and missing parents (only the folders it creates get mode 0700) and narrows the
// folder itself to 0700. Answers `insecure`, changing nothing, when the path is a symbolic link or
// not a real directory. Failures of creating or narrowing throw std::filesystem::filesystem_error,
// with EPERM for a folder of another owner, also when running as root.
PrivateFolder makePrivateDirectory(const std::filesystem::path& folder);

enum class ExistingFile { replace, keep };

// `onDisk` flushes the temporary file's data (fdatasync) before the move and the folder (fsync)
// after it, so that a crash leaves either the old or the new content. `untilRestart` flushes
// nothing: for a file rewritten before every use, which no restart needs, a crash may leave it empty.
enum class Durability { onDisk, untilRestart };

// Writes `bytes` to a 0600 temporary ".<name>.<8 hex>" in the file's folder, flushes it, moves it to
// `file` (over an existing file with `replace`; with `keep` an existing file fails the write with
// EEXIST) and flushes the folder, each flush as `durability` says. The folder must exist. A failure
// throws std::filesystem::filesystem_error with the errno of the step that failed and leaves the old
// content and no temporary file; only when flushing the folder fails is the new content already in
// place, though perhaps not yet on disk.
void writeFileAtomically(std::string_view bytes, const std::filesystem::path& file, ExistingFile existing,
    Durability durability = Durability::onDisk);
// The same for a content given as pieces, written one after the other without being joined first.
void writeFileAtomically(std::span<const std::string_view> pieces, const std::filesystem::path& file,
    ExistingFile existing, Durability durability = Durability::onDisk);

// The same for the entry `name` of the open folder `folderFD`, which is never looked up by path again:
// a folder that was swapped for a link since it was opened cannot send the write elsewhere. A
// failure throws as above, naming `name`.
void writeFileAtomicallyIn(int folderFD, const std::string& name, std::string_view bytes,
    ExistingFile existing, Durability durability = Durability::onDisk);

// The target whose write made `name`, when `name` has the form ".<target>.<8 lowercase hex>" of the
// temporary files of `writeFileAtomically`; absent for any other name.
std::optional<std::string_view> targetOfTemporary(std::string_view name);

// Removes the temporary files ".<target>.<8 hex>" of `writeFileAtomically` that a process killed
// before its rename left in the folder, for each target name that `isTarget` accepts; other names,
// near misses of that form included, stay. Call it before any write to those targets can be under
// way. Failures (a folder that cannot be listed, an entry that cannot be removed) are ignored.
void removeTemporaryLeftovers(
    const std::filesystem::path& folder, const std::function<bool(std::string_view target)>& isTarget);

// Narrows an item that was moved aside to 0600, 0700 where its owner could run it (so that, moved
// back, it still runs), and a folder to 0700 (so that its owner can still open it), without following a
// symbolic link, which is left as it is, so that a link moved aside never changes the mode of what it points
// to. A relative `item` is taken from the open folder `folderFD` (AT_FDCWD: the working folder). False when
// the mode could not be changed.
bool makeMovedItemPrivate(const std::filesystem::path& item, int folderFD = AT_FDCWD);

// Copies a regular file to `destination`, a new 0600 file (an existing name fails with EEXIST and is
// left alone; a link there is never followed), and flushes it to disk. Throws
// std::filesystem::filesystem_error with the errno of the step that failed, leaving no partial copy.
void copyToNewPrivateFile(const std::filesystem::path& source, const std::filesystem::path& destination);

// The entries directly in `folder` last written longer than `age` ago; none when the folder cannot be
// read. For removing what processes that ended early left behind.
std::vector<std::filesystem::path> entriesOlderThan(
    const std::filesystem::path& folder, std::filesystem::file_time_type::duration age);

// Flushes a file's data, or a folder's entries, to disk (fsync). A symbolic link is refused.
// Throws std::filesystem::filesystem_error on failure.
void syncToDisk(const std::filesystem::path& path);

}
