#include "VellumarMacCore/GitProtection/Finding/GitFolderDefinition.h"

#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"

#include <algorithm>
#include <array>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::GitFolderDefinition {

namespace {

    namespace fs = std::filesystem;

    // In the order of the bits `Entries` keeps.
    constexpr std::array<std::string_view, 4> kDefiningNames = { "HEAD", "objects", "refs", "commondir" };
    constexpr unsigned kHead = 1, kObjects = 2, kRefs = 4, kCommonDir = 8;

    // Git reads HEAD into a buffer of 256 bytes, the last one for the NUL (validate_headref()).
    constexpr std::size_t kHeadBytes = 255;
    constexpr std::size_t kCommonDirBytes = 4096;
    // SHA-1's hexadecimal length, the shorter of Git's object ids and so the start of either.
    constexpr std::size_t kObjectIdDigits = 40;

    // Git's own isspace(), which leaves out the vertical tab and the form feed.
    bool isGitSpace(char character)
    {
        return character == ' ' || character == '\t' || character == '\n' || character == '\r';
    }

    bool isHexDigit(char character)
    {
        return (character >= '0' && character <= '9') || (character >= 'a' && character <= 'f')
            || (character >= 'A' && character <= 'F');
    }

    // What Git's set-up would open without knowing whether it ever answers: a FIFO, a socket or a device.
    bool isWaitedOn(const struct stat& status)
    {
        return !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode) && !S_ISLNK(status.st_mode);
    }

    // Git's validate_headref(), but for a HEAD that Git would open and wait on to tell, itself or where a
    // link not into "refs/" leads: that holds the user's Git, so it is taken for valid, and the folder is
    // gone through as a Git folder, where it goes aside (`UnreadableEntries`).
    bool holdsValidHead(const fs::path& folder)
    {
        const fs::path head = folder / "HEAD";
        struct stat status { };
        if (::lstat(head.c_str(), &status) != 0)
            return false;
        if (S_ISLNK(status.st_mode)) {
            std::array<char, kHeadBytes> target {};
            ssize_t length = ::readlink(head.c_str(), target.data(), target.size());
            return (length >= 5 && std::string_view(target.data(), 5) == "refs/")
                || (::stat(head.c_str(), &status) == 0 && isWaitedOn(status));
        }
        if (isWaitedOn(status))
            return true;
        const std::string bytes = BoundedFile::start(head, kHeadBytes);
        const std::string_view text(bytes.c_str());
        if (text.starts_with("ref:")) {
            std::string_view named = text.substr(4);
            while (!named.empty() && isGitSpace(named.front()))
                named.remove_prefix(1);
            if (named.starts_with("refs/"))
                return true;
        }
        return text.size() >= kObjectIdDigits
            && std::all_of(text.begin(), text.begin() + kObjectIdDigits, isHexDigit);
    }

}

std::string recordedPath(std::string bytes, std::string_view trimmed)
{
    bytes.erase(bytes.find_last_not_of(trimmed) + 1);
    bytes.resize(std::min(bytes.find('\0'), bytes.size()));
    return bytes;
}

bool isDefiningName(std::string_view name)
{
    return std::find(kDefiningNames.begin(), kDefiningNames.end(), name) != kDefiningNames.end();
}

void Entries::saw(std::string_view name)
{
    auto at = std::find(kDefiningNames.begin(), kDefiningNames.end(), name);
    if (at != kDefiningNames.end())
        m_seen |= 1u << (at - kDefiningNames.begin());
}

bool Entries::mayBeGitFolder() const
{
    return (m_seen & kHead) && ((m_seen & kCommonDir) || ((m_seen & kObjects) && (m_seen & kRefs)));
}

bool mayBeGitFolder(const fs::path& folder)
{
    Entries entries;
    for (std::string_view name : kDefiningNames) {
        struct stat status { };
        if (::lstat((folder / name).c_str(), &status) == 0)
            entries.saw(name);
    }
    return entries.mayBeGitFolder();
}

std::optional<fs::path> commonFolderOf(const fs::path& folder)
{
    // Git's get_common_dir_noenv(): a "commondir" that file_exists() finds is read whole, or Git dies.
    const fs::path commonDir = folder / "commondir";
    struct stat status { };
    if (::stat(commonDir.c_str(), &status) != 0)
        return folder;
    const std::string bytes = BoundedFile::start(commonDir, kCommonDirBytes);
    if (bytes.empty())
        return std::nullopt;
    const fs::path named = recordedPath(bytes, "\r\n");
    if (named.is_absolute())
        return named;
    // Nothing left once trimmed names the folder itself.
    return named.empty() ? folder : folder / named;
}

bool isGitFolder(const fs::path& folder)
{
    if (!holdsValidHead(folder))
        return false;
    auto common = commonFolderOf(folder);
    return common && ::access((*common / "objects").c_str(), X_OK) == 0
        && ::access((*common / "refs").c_str(), X_OK) == 0;
}

}
