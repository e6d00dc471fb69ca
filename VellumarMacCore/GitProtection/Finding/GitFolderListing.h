// One folder's entries as the search for repositories needs them, with the stamp that tells a later run
// whether they still hold: which folder it is and its status-change time, which any entry added, removed
// or renamed in it moves and which no unprivileged process can set, as Git's untracked cache tells it.
#pragma once

#include <chrono>
#include <ctime>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace vellumar::GitFolderListing {

struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed {};

    friend bool operator==(const Stamp& a, const Stamp& b)
    {
        return a.device == b.device && a.inode == b.inode && a.changed.tv_sec == b.changed.tv_sec
            && a.changed.tv_nsec == b.changed.tv_nsec;
    }
};

struct Listing {
    Stamp stamp;
    // Whether the folder last changed clearly before its entries were read: the kernel stamps a change
    // from a coarse clock, so a second change within the same tick would leave the stamp as it was.
    bool settled = false;
    // The names of its folders but ".git", sorted; links are left out.
    std::vector<std::string> subfolders;
    // The type of its ".git" entry as dirent's d_type (looked up where the file system gives none);
    // DT_UNKNOWN when there is none.
    unsigned char dotGitType = DT_UNKNOWN;
    // Whether its entries may make it a Git folder (`GitFolderDefinition::Entries`): what they hold is
    // read again at each look, as no stamp of the folder's tells when it changed.
    bool mayBeGitFolder = false;
};

enum class Link { follow, refuse };

// How long before its entries were read a folder must have last changed for its stamp to be trusted
// later: beyond the clock's tick, and a file system's that keeps coarser times.
inline constexpr std::chrono::seconds settlingTime { 1 };

struct Options {
    // `Link::refuse` reads nothing when the folder is now a link.
    Link link = Link::refuse;
    std::chrono::system_clock::duration settling = settlingTime;
    // A folder its owner cannot list whose status changed at this time or later gets the owner's
    // permission back (`BeneathPlaces::ownerMayAct`) and is read: a mode a command left during a run
    // hides no Git folder from its end. Without it, or for one unchanged since, it reads as none.
    std::optional<timespec> permissionBackSince;
    // Runs between the reading of the entries and the taking of the stamp, for tests where a change
    // races the read.
    std::function<void(const std::filesystem::path& folder)> afterReading;
};

// What `folder` holds now; absent when it is no folder or cannot be read. The stamp is taken after the
// entries are read, so that a change during the read leaves the listing unsettled. The folder's path is
// text, as a walk builds one for every folder: a `std::filesystem::path` splits its names each time. Any
// thread; never throws but for memory.
std::optional<Listing> read(const std::string& folder, const Options& options);

// The path of `name` in `folder`, as text, as a walk builds one for every folder it goes through.
std::string pathIn(const std::string& folder, const std::string& name);

// The stamp that a folder's status gives; absent when it is no folder.
std::optional<Stamp> stampOf(const struct stat& status);

}
