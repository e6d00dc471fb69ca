#include "VellumarMacCore/GitProtection/CommonDirGuard.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/MoveAside.h"
#include "VellumarMacCore/GitProtection/GitFolders.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <array>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    constexpr const char* kName = "commondir";
    // Git reads one line; anything longer than this compares by its first bytes and its identity.
    constexpr std::size_t kComparedBytes = 4096;

    // The Git folder as the kernel resolves it now, as Git itself will open it.
    FileDescriptor openFolder(const fs::path& folder)
    {
        return FileDescriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }

    // What sits at "commondir" in the open folder, in a form that differs whenever Git would read it
    // differently: a link by its target, a regular file by its bytes, anything else by its type.
    // Absent when nothing is there.
    std::optional<std::string> describe(int folderFD)
    {
        struct stat status { };
        if (::fstatat(folderFD, kName, &status, AT_SYMLINK_NOFOLLOW) != 0)
            return std::nullopt;
        if (S_ISLNK(status.st_mode)) {
            std::array<char, 4096> target {};
            ssize_t length = ::readlinkat(folderFD, kName, target.data(), target.size());
            return "link " + std::string(target.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
        }
        if (!S_ISREG(status.st_mode))
            return "type " + std::to_string(status.st_mode & S_IFMT);
        FileDescriptor file(
            ::openat(folderFD, kName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        std::string bytes = "file ";
        if (file.get() < 0)
            return bytes + "unreadable";
        std::array<char, kComparedBytes> buffer {};
        ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
        if (count < 0)
            return bytes + "unreadable";
        bytes.append(buffer.data(), static_cast<std::size_t>(count));
        if (static_cast<std::size_t>(count) == buffer.size())
            bytes += " " + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
        return bytes;
    }

    void logMoved(const fs::path& file, const MovedAside& moved)
    {
        std::string line = "A Claude Code run left " + file.string()
            + ", which would send Git outside the sandbox to configuration and hooks of its choosing; ";
        if (moved.name)
            line += "it was moved aside as " + (file.parent_path() / *moved.name).string() + ".";
        else
            line += "it could not be moved aside (" + std::generic_category().message(moved.error) + ").";
        platform::logError(line);
    }

}

CommonDirGuard::CommonDirGuard(
    const std::vector<fs::path>& places, Clock clock, const std::optional<fs::path>& leftToClaudeCode)
    : m_clock(std::move(clock))
{
    auto watch = [this](const fs::path& gitFolder) {
        FileDescriptor folder = openFolder(gitFolder);
        m_watched.push_back({ gitFolder, folder.get() >= 0 ? describe(folder.get()) : std::nullopt });
    };
    for (const auto& place : places) {
        auto gitFolder = resolvingSymlinks(place / ".git");
        if (gitFolder && place != leftToClaudeCode)
            watch(*gitFolder);

        for (const auto& linked : GitFolders::linkedFolders(place).folders)
            watch(linked);
    }
}

std::vector<fs::path> CommonDirGuard::watchedFolders() const
{
    std::lock_guard lock(m_lock);
    std::vector<fs::path> folders;
    for (const auto& watched : m_watched)
        folders.push_back(watched.gitFolder);
    return folders;
}

std::vector<fs::path> CommonDirGuard::moveAsideChanged()
{
    std::vector<fs::path> moved;
    std::lock_guard lock(m_lock);
    for (const auto& watched : m_watched) {
        if (auto kept = moveAsideIfChanged(watched))
            moved.push_back(std::move(*kept));
    }
    return moved;
}

std::optional<fs::path> CommonDirGuard::moveAsideChangedIn(const fs::path& gitFolder)
{
    std::lock_guard lock(m_lock);
    for (const auto& watched : m_watched) {
        if (watched.gitFolder == gitFolder)
            return moveAsideIfChanged(watched);
    }
    return std::nullopt;
}

std::optional<fs::path> CommonDirGuard::moveAsideIfChanged(const Watched& watched)
{
    try {
        FileDescriptor folder = openFolder(watched.gitFolder);
        if (folder.get() < 0)
            return std::nullopt;
        auto now = describe(folder.get());
        if (!now || now == watched.initial)
            return std::nullopt;
        MovedAside result = moveAside(folder.get(), kName, refusedLabel, m_clock());
        logMoved(watched.gitFolder / kName, result);
        if (result.name)
            return watched.gitFolder / *result.name;
    } catch (const std::exception&) {
        // Out of memory: the next check, at the latest the run's end, tries again.
    }
    return std::nullopt;
}

}
