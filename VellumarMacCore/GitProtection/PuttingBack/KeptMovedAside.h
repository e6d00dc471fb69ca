// What is kept of the files the guard moved changes aside as ("<name>.refused-<time>-<random>"): nothing
// moved aside is removed unless a newer file holds the same bytes, or the same run moved it aside in a flood
// of one name, past the run's first and newest files. What an earlier run, the user, or the next start
// after a kill put there otherwise stays, whatever its number.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace vellumar::KeptMovedAside {

// Removes the other files and links moved aside from the same name as `moved` (just moved aside in the
// open folder `folderFD`) that hold the same bytes, or lead to the same target, as it does: `moved`
// keeps them. A folder moved aside stays. Returns the names removed. Never throws but for memory.
std::vector<std::string> removeSameBytes(int folderFD, const std::string& moved);

// What one run moved aside, by the path whose change went aside, so that a command rewriting one name
// in a loop cannot fill its folder. Each undoing holds the registry's lock (`LiveRuns::locked`), which
// keeps two from counting at once.
class InRun {
public:
    // How many of the newest of a name are kept, beside the run's first.
    static constexpr std::size_t keptNewest = 5;

    // Counts `moved` in (the name it went aside as, in the open folder `folderFD`, from `changed`), and
    // removes the run's earlier files of that name past its first and `keptNewest` newest, each only
    // while its name still holds the very file the run moved there. Returns the names removed. Never
    // throws but for memory.
    std::vector<std::string> boundFlood(
        int folderFD, const std::filesystem::path& changed, const std::string& moved);

private:
    // A file as the run moved it aside, by its status: a file put at its name since is another inode,
    // or one changed since (a number the kernel gave again to a file made after that one was removed).
    struct Made {
        std::string name;
        struct stat status;
    };
    std::map<std::filesystem::path, std::vector<Made>> m_made;
};

}
