// Which file an open descriptor is, as the system tells files apart: for checking that a folder
// reached again (through "..", or opened anew) is the one seen before.
#pragma once

#include <sys/stat.h>

#include <optional>

namespace vellumar {

struct FileIdentity {
    dev_t device;
    ino_t inode;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// Absent when the descriptor cannot be looked at.
inline std::optional<FileIdentity> identityOf(int descriptor)
{
    struct stat status { };
    if (::fstat(descriptor, &status) != 0)
        return std::nullopt;
    return FileIdentity { status.st_dev, status.st_ino };
}

}
