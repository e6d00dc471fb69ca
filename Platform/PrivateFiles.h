// Private folders (0700) and whole-file replacement with 0600 files, for code that cannot use the
// core's JSON stores (the keychain stand-in) and beneath the core's own private-file helpers.
#pragma once

#include <filesystem>
#include <string_view>

namespace vellumar::platform {

enum class PrivateFolder { ready, insecure };

// Creates the folder and missing parents (only the folders it creates get mode 0700), narrows the
// folder itself to 0700, then answers `insecure` when the path is not a real directory or is a
// symbolic link. Failures of creating or narrowing throw std::filesystem::filesystem_error.
PrivateFolder makePrivateDirectory(const std::filesystem::path& folder);

enum class ExistingFile { replace, keep };

// Writes `bytes` to a 0600 temporary ".<name>.<8 hex>" in the file's folder, flushes it, moves it to
// `file` (over an existing file with `replace`; with `keep` an existing file fails the write with
// EEXIST) and flushes the folder. The folder must exist. A failure throws
// std::filesystem::filesystem_error with the errno of the step that failed and leaves the old
// content and no temporary file; only when flushing the folder fails is the new content already in
// place, though perhaps not yet on disk.
void writeFileAtomically(std::string_view bytes, const std::filesystem::path& file, ExistingFile existing);

// Copies a regular file to `destination`, a new 0600 file (an existing name fails with EEXIST and is
// left alone; a link there is never followed), and flushes it to disk. Throws
// std::filesystem::filesystem_error with the errno of the step that failed, leaving no partial copy.
void copyToNewPrivateFile(const std::filesystem::path& source, const std::filesystem::path& destination);

// Flushes a file's data, or a folder's entries, to disk (fsync). A symbolic link is refused.
// Throws std::filesystem::filesystem_error on failure.
void syncToDisk(const std::filesystem::path& path);

}
