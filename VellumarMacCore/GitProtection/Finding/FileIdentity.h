// Which file or folder a thing is, as the guard notes it with what it holds: its type, device and inode,
// the same for as long as nothing replaces it, however it or a folder above it is renamed.
#pragma once

#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace vellumar::FileIdentity {

// "<type> <device>:<inode>" of what `status` describes.
std::string of(const struct stat& status);

// The same for what is at `path`, a link as itself; empty where nothing is.
std::string at(const std::filesystem::path& path);

}
