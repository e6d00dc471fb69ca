// The one way the guard reads a file a command may have made: opened without waiting (a FIFO, a socket
// or a device is never read), its type checked on the opened descriptor before any byte is read, and
// never more read than a bound, so that nothing a command leaves can hold a run's end or fill its memory.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace vellumar::BoundedFile {

enum class Links { refused, followed };

struct Read {
    enum class Outcome {
        unread, // nothing there, a link where links are refused, no permission, or a read that failed
        notRegular, // a folder, FIFO, socket or device: not one byte read
        tooLarge, // a regular file past the bound: judged by what it is, not what it holds
        whole,
    };
    Outcome outcome = Outcome::unread;
    std::string bytes; // all of them where `whole`, else none
    struct stat status { }; // of the opened descriptor, where it was opened
};

// Reads the file `name` in the open folder `folderFD` (or at a path, with AT_FDCWD) whole where it holds
// at most `limitBytes`, one more byte read to tell: a file that grows meanwhile shows as too large, never
// cut short. Never throws but for memory.
Read whole(int folderFD, const std::filesystem::path& name, std::size_t limitBytes, Links links);

// The first `sizeBytes` bytes of `file`, links followed, when it is a regular file; empty for anything
// else. For Git's own small record files and the scripts hooks run, whose start is all that is judged.
// A file whose size says 0, as /proc's do, is read all the same.
std::string start(const std::filesystem::path& file, std::size_t sizeBytes);

}
