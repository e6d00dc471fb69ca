#include "VellumarMacCore/GitProtection/CommonDirPlaceholders.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/PathRecord.h"
#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    constexpr const char* kName = "commondir";
    // Which trailing bytes libgit2 trims from a "commondir" (Git trims only CR and LF).
    constexpr std::string_view kTrimmedByReaders = " \t\n\v\f\r";
    // What placeholders of earlier versions held, and those of folders whose name no reader takes as
    // written; the folder itself to Git too.
    constexpr std::string_view kRelativeContent = ".\n";

    using Kind = LiveRuns::Kind;

    // The path was resolved when the placeholder was made, so a link on the way now was swapped in
    // since. Where that cannot be told, the content check still asks for the path itself.
    FileDescriptor openGitFolder(const fs::path& gitFolder)
    {
        return FileDescriptor(openWithoutLinks(gitFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }

    // Whether the regular file at "commondir" in the open Git folder is a placeholder of it.
    bool isPlaceholder(int folderFD, const fs::path& gitFolder)
    {
        const std::string expected = CommonDirPlaceholders::contentFor(gitFolder);
        const std::string olderBuilds = gitFolder.native() + "\n";
        const auto read = BoundedFile::whole(
            folderFD, kName, std::max(expected.size(), olderBuilds.size()), BoundedFile::Links::refused);
        if (read.outcome != BoundedFile::Read::Outcome::whole)
            return false;
        const std::string& bytes = read.bytes;
        return bytes == expected || bytes == kRelativeContent || bytes == olderBuilds;
    }

    // Whether a placeholder may go in the open Git folder: nothing is at the name, or one is there.
    bool mayHold(int folderFD, const fs::path& gitFolder)
    {
        struct stat status { };
        if (::fstatat(folderFD, kName, &status, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT;
        return isPlaceholder(folderFD, gitFolder);
    }

    bool writeAll(int fileFD, std::string_view bytes)
    {
        return ::write(fileFD, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // A new placeholder, or one already there; false when "commondir" is something else or cannot be
    // made. It is written whole under no name and then linked in, which never replaces a file, so that
    // a process killed on the way leaves no empty "commondir" (which Git refuses to work with).
    bool place(int folderFD, const fs::path& gitFolder)
    {
        const std::string content = CommonDirPlaceholders::contentFor(gitFolder);
        FileDescriptor unnamed(::openat(folderFD, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
        if (unnamed.get() >= 0 && writeAll(unnamed.get(), content)) {
            const std::string self = "/proc/self/fd/" + std::to_string(unnamed.get());
            if (::linkat(AT_FDCWD, self.c_str(), folderFD, kName, AT_SYMLINK_FOLLOW) == 0)
                return true;
            if (errno == EEXIST)
                return isPlaceholder(folderFD, gitFolder);
        }
        // A file system without unnamed files: the placeholder is made by name, empty for a moment.
        FileDescriptor file(
            ::openat(folderFD, kName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (file.get() < 0)
            return errno == EEXIST && isPlaceholder(folderFD, gitFolder);
        if (writeAll(file.get(), content))
            return true;
        ::unlinkat(folderFD, kName, 0);
        return false;
    }

    void removeIfPlaceholder(const fs::path& gitFolder)
    {
        FileDescriptor folder = openGitFolder(gitFolder);
        if (folder.get() >= 0 && isPlaceholder(folder.get(), gitFolder))
            ::unlinkat(folder.get(), kName, 0);
    }

    // Counts a run in on the placeholder of each Git folder, making those not there yet, and adds the
    // folders it holds to `held`, which has room for all. Why the record could not be written, when it
    // could not.
    std::optional<std::string> hold(
        LiveRuns::Locked& locked, const std::vector<fs::path>& gitFolders, std::vector<fs::path>& held)
    {
        std::vector<fs::path> adding;
        for (const auto& gitFolder : gitFolders) {
            if (locked.find(Kind::commonDirPlaceholder, gitFolder.native())) {
                locked.hold(Kind::commonDirPlaceholder, { gitFolder.native(), {} });
                held.push_back(gitFolder);
                continue;
            }
            FileDescriptor folder = openGitFolder(gitFolder);
            if (folder.get() >= 0 && mayHold(folder.get(), gitFolder))
                adding.push_back(gitFolder);
        }
        if (adding.empty())
            return std::nullopt;
        for (const auto& gitFolder : adding)
            locked.hold(Kind::commonDirPlaceholder, { gitFolder.native(), {} });
        // Before any placeholder exists, so that wherever this process is killed, the next start
        // finds every one it made.
        try {
            locked.write(Kind::commonDirPlaceholder);
        } catch (const std::exception& error) {
            for (const auto& gitFolder : adding)
                locked.release(Kind::commonDirPlaceholder, gitFolder.native());
            return error.what();
        }
        bool unplaced = false;
        // Opened again rather than kept open: a run may protect more repositories than a process may
        // hold descriptors.
        for (const auto& gitFolder : adding) {
            FileDescriptor folder = openGitFolder(gitFolder);
            if (folder.get() >= 0 && place(folder.get(), gitFolder)) {
                held.push_back(gitFolder);
            } else {
                locked.release(Kind::commonDirPlaceholder, gitFolder.native());
                unplaced = true;
            }
        }
        if (unplaced) {
            try {
                locked.write(Kind::commonDirPlaceholder);
            } catch (const std::exception&) {
                // The record names a folder more, which the next start finds holding no placeholder.
            }
        }
        return std::nullopt;
    }

}

std::string CommonDirPlaceholders::contentFor(const fs::path& gitFolder)
{
    // A copy: `filename` returns a path of its own, gone at the end of this line.
    const std::string name = gitFolder.filename().native();
    if (name.empty() || name == "." || name == ".." || name.find('\n') != std::string::npos
        || kTrimmedByReaders.find(name.back()) != std::string_view::npos)
        return std::string(kRelativeContent);
    return "../" + name + "\n";
}

std::vector<fs::path> CommonDirPlaceholders::gitFolders(const std::vector<fs::path>& places)
{
    std::vector<fs::path> folders;
    // A ".git" the kernel cannot resolve is no repository Git could use.
    for (const auto& place : places) {
        if (auto gitFolder = resolvingSymlinks(place / ".git"))
            folders.push_back(std::move(*gitFolder));
    }
    return folders;
}

CommonDirPlaceholders::CommonDirPlaceholders(
    const std::vector<fs::path>& gitFolders, const fs::path& liveRuns)
    : m_run(liveRuns)
{
    std::optional<std::string> unrecorded;
    try {
        m_held.reserve(gitFolders.size());
        auto locked = m_run.registry().locked();
        unrecorded = hold(locked, gitFolders, m_held);
    } catch (const std::exception&) {
        // Out of memory: the folders not held yet go without, and the guard's checks remain. One made
        // but not counted stays in the record for the next start.
    }
    if (unrecorded)
        platform::logError("The record of a run's commondir placeholders could not be written (" + *unrecorded
            + "); the Git folders it would name go without one during the run.");
}

CommonDirPlaceholders::~CommonDirPlaceholders()
{
    if (m_held.empty())
        return;
    auto locked = m_run.registry().locked();
    for (const auto& gitFolder : m_held) {
        if (locked.release(Kind::commonDirPlaceholder, gitFolder.native()))
            removeIfPlaceholder(gitFolder);
    }
    try {
        locked.write(Kind::commonDirPlaceholder);
    } catch (const std::exception&) {
        // The next start drops what the record names but no longer finds.
    }
}

void CommonDirPlaceholders::removeLeftBehind(const fs::path& liveRuns)
{
    auto locked = LiveRuns::in(liveRuns).locked();
    try {
        const LiveRuns::OlderRecord older[] = { { liveRuns / olderRecordName, PathRecord::read } };
        for (const auto& entry : locked.leftBehind(Kind::commonDirPlaceholder, older))
            removeIfPlaceholder(entry.key);
        locked.write(Kind::commonDirPlaceholder);
    } catch (const std::exception&) {
        // Out of memory, or the record cannot be replaced: the next start tries again.
    }
}

}
