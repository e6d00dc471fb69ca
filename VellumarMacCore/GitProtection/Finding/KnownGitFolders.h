// Which Git folders are known to a run: those some run noted, by identity, before this run's commands
// could write anything. A Git folder a command renamed is the same Git folder; one that was first noted
// only after the run began (by a second job started beside it, finding what the first job's command
// made) is not known to it, whoever holds it now. The record is in the data folder, across program
// starts.
#pragma once

#include <ctime>
#include <filesystem>
#include <string_view>
#include <vector>

namespace vellumar {

class KnownGitFolders {
public:
    static constexpr std::string_view recordName = "git-known-folders";
    // Far beyond the Git folders of every place a user grants; past it the earliest noted are let go,
    // and judged as folders nobody noted.
    static constexpr std::size_t limit = 200'000;

    // Notes the Git folders (as the kernel resolves them) now, those noted earlier keeping their time,
    // and answers the time they are known from: a run notes its Git folders before its commands run,
    // and what was noted by then is known to it. Any thread; never throws but for memory.
    static timespec note(
        const std::filesystem::path& dataFolder, const std::vector<std::filesystem::path>& gitFolders);

    // The Git folders noted in `dataFolder` at `knownFrom` or earlier.
    KnownGitFolders(std::filesystem::path dataFolder, const timespec& knownFrom);
    // Whether the Git folder at `gitFolder` (as the kernel resolves it) is one of them. Reads the disk.
    bool contains(const std::filesystem::path& gitFolder) const;
    bool containsIdentity(const std::string& identity) const;

private:
    std::filesystem::path m_dataFolder;
    timespec m_knownFrom;
};

}
