// The writable places of a run, each folder opened once, and every path beneath them reached from that
// descriptor alone, following no link at any step: a folder a command swaps for a link on the way can
// send neither a read nor a write anywhere else. Nor can a command bar the way by taking its owner's
// permission from a folder (`chmod 111 .git/hooks`): the owner's is given back where it is needed.
#pragma once

#include "VellumarMacCore/Foundations/FileDescriptor.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellumar {

class BeneathPlaces {
public:
    // Opens each of `places` (resolved as the kernel resolves them) once; a place that cannot be opened
    // holds nothing. Never throws but for memory.
    explicit BeneathPlaces(const std::vector<std::filesystem::path>& places);

    // The places as resolved, whether or not they could be opened.
    const std::vector<std::filesystem::path>& paths() const noexcept { return m_paths; }

    // Where a path beneath a place was reached: the open folder that holds its last name, and that name.
    struct Reached {
        FileDescriptor folder; // -1 when a folder on the way is missing or is no folder
        std::string name;
        // The path that `folder` and `name` name: the one asked for, or else the first step on the way
        // that is a link, which is then the change itself.
        std::filesystem::path path;
        bool throughLink = false;
    };
    // Reaches `path` (absolute, lexically normal) from the outermost place that holds it, following
    // no link; absent when it lies beneath none of them, or the place could not be opened, since
    // commands cannot write there. Each folder on the way, the one reached included, that its owner
    // cannot search gets the owner's full permission back (`ownerMayAct`). Never throws but for memory.
    std::optional<Reached> reach(const std::filesystem::path& path) const;

    // The folder at `path`, a place itself or reached beneath one through no link, opened with O_PATH;
    // -1 where it cannot be. Never throws but for memory.
    FileDescriptor folderAt(const std::filesystem::path& path) const;

    // Gives the open folder `folderFD` (any descriptor to it, one opened with O_PATH too) at `folder`
    // its owner's full permission back where the owner lacks some and this process is the owner, with
    // a line in the log: what commands made in the user's folders is the user's, and the guard reads,
    // lists, moves aside and puts back there whatever mode a command left. True when the owner has it
    // now. Never throws.
    static bool ownerMayAct(int folderFD, const std::filesystem::path& folder) noexcept;

    // Changes the mode of what the descriptor holds (one opened with O_PATH too), whatever its name is
    // now and whatever permission the folders above it give. Never throws.
    static bool changedMode(int descriptor, unsigned mode) noexcept;

private:
    std::vector<std::filesystem::path> m_paths;
    std::vector<FileDescriptor> m_folders;
};

}
