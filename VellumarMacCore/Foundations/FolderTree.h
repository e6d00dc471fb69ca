// Walking and removing inside a folder that others may change meanwhile (a work folder, a run's
// temporary folder): every step is taken from the open descriptor of the folder above it and no
// symbolic link is ever followed, so an entry swapped for a link cannot lead the walk or a removal
// outside, and no path handed to the system is longer than one name.
#pragma once

#include "VellumarMacCore/Foundations/FileDescriptor.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace vellumar {

class FolderTree {
public:
    // One entry met by `walk`; the references and the descriptor are valid during the visit only.
    struct Entry {
        // "/"-separated from the walked folder; may be longer than PATH_MAX.
        const std::string& relativePath;
        const std::string& name;
        // Absent when the entry's status could not be read, e.g. because it vanished.
        const std::optional<struct stat>& status;
        // The open folder that holds the entry, for removing or opening it by its name.
        int folderFD;
    };
    enum class Step { skip, descend };

    // Folders more levels than this below the walked one are neither entered nor emptied. A path can
    // name only a quarter of this depth, so nothing that a tool given paths reaches is left out; the
    // bound keeps the memory of a walk small however deep a command nests its folders.
    static constexpr std::size_t maxDepth = 8192;

    // Opens `folder` for reading. Links on the way to it are followed, since its caller names a place
    // it trusts, but a link as the folder itself is not; `isOpen` tells whether a folder is there.
    explicit FolderTree(const std::filesystem::path& folder);

    bool isOpen() const noexcept { return static_cast<bool>(m_folder); }
    int descriptor() const noexcept { return m_folder.get(); }

    // The folder `name` directly inside this one, never through a link; not open when there is none.
    FolderTree child(const std::string& name) const;
    // The same, made with mode 0700 when missing and narrowed to 0700 when not; a link in its place
    // is removed first. Not open when no folder could be made there.
    FolderTree privateChild(const std::string& name) const;

    // Depth first, names in ascending byte order, a folder entered when `visit` answers `descend` and
    // its status says it is a folder, before the next name. Entries that appear or vanish meanwhile
    // are tolerated. False when the walk could not go everywhere it was sent: a folder that could not
    // be opened or listed, one past `maxDepth`, or one moved elsewhere while the walk was below it
    // (the walk then stops rather than go on in the place it was moved to).
    bool walk(const std::function<Step(const Entry&)>& visit) const;

    // Removes everything inside the folder, which stays. False when something could not be removed.
    bool removeContents() const;

    // Removes the entry `name` of the open folder `folderFD`: a link or file itself, a folder with
    // all it holds. True when it was there and is gone; never throws.
    static bool remove(int folderFD, const std::string& name) noexcept;
    // The same for the item at `location`, whose parent folder is opened by path.
    static bool remove(const std::filesystem::path& location) noexcept;

private:
    explicit FolderTree(FileDescriptor folder);

    FileDescriptor m_folder;
};

}
