#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vellumar::GitGuardPutBack {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedFile;
    using Kind = NotedFile::Kind;

    // A name in the folder no one else picks, for a file made whole before it takes its real name.
    std::string preparedName(const std::string& name)
    {
        static std::atomic<unsigned> counter = 0;
        return "." + name + ".put-back-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    }

    // Puts `noted` at `name` in the open folder, made whole under another name first and then renamed
    // without replacing anything, or over what is there when `replacing`. False when there is nothing to
    // put back or it cannot be.
    bool putBack(int folderFD, const std::string& name, const NotedFile& noted, bool replacing = false)
    {
        if (noted.kind != Kind::file && noted.kind != Kind::link)
            return false;
        const std::string prepared = preparedName(name);
        bool made = false;
        if (noted.kind == Kind::link) {
            made = ::symlinkat(noted.content.c_str(), folderFD, prepared.c_str()) == 0;
        } else {
            FileDescriptor file(::openat(
                folderFD, prepared.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            made = file.get() >= 0;
            for (std::size_t written = 0; made && written < noted.content.size();) {
                ssize_t count
                    = ::write(file.get(), noted.content.data() + written, noted.content.size() - written);
                made = count > 0;
                written += made ? static_cast<std::size_t>(count) : 0;
            }
            made = made && ::fchmod(file.get(), noted.mode) == 0;
        }
        if (made
            && ::renameat2(
                   folderFD, prepared.c_str(), folderFD, name.c_str(), replacing ? 0 : RENAME_NOREPLACE)
                == 0)
            return true;
        ::unlinkat(folderFD, prepared.c_str(), 0);
        return false;
    }

    bool keptACopy(Kind kind) { return kind == Kind::file || kind == Kind::link; }

    std::string logLine(const Undone& undone)
    {
        std::string line = undone.path.string()
            + (undone.keptOff
                    ? " appeared during a Claude Code run, where direnv, an editor, Claude Code or"
                      " Git would act on it later"
                    : " changed during a Claude Code run in a way that could make Git run a program")
            + (undone.reason.empty() ? "" : " (" + undone.reason + ")") + "; ";
        if (undone.replacedShared) {
            if (!undone.putBack)
                return line + "it could not be put back.";
            return line + "the change stays at the file's other hard links, and "
                + (keptACopy(undone.noted) ? "what the run found was put back at this name."
                                           : "this name, which the run did not find, was removed.");
        }
        if (!undone.moved.name)
            return line + "it could not be moved aside ("
                + std::generic_category().message(undone.moved.error) + ").";
        line += "the change was moved aside as " + (undone.path.parent_path() / *undone.moved.name).string();
        if (undone.putBack)
            return line + ", and what the run found there was put back.";
        if (undone.noted == Kind::absent)
            return line + "; there was none when the run started.";
        return line
            + (keptACopy(undone.noted) ? ", but what the run found there could not be put back."
                                       : ", and nothing could be put back (the run kept no copy of it).");
    }

    // Gives the open folder its owner's write permission back when a command took it away, so that
    // the guard can act in it: what commands made in the user's folders is the user's. True when it did.
    bool madeWritable(int folderFD, const fs::path& folder)
    {
        struct stat status { };
        if (::fstat(folderFD, &status) != 0 || status.st_uid != ::geteuid() || (status.st_mode & S_IWUSR))
            return false;
        FileDescriptor open(::openat(folderFD, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (open.get() < 0 || ::fchmod(open.get(), (status.st_mode & 07777) | S_IWUSR) != 0)
            return false;
        platform::logError(folder.string()
            + " had been made read-only during a Claude Code run; its owner's write permission was given back"
              " so that a change there could be undone.");
        return true;
    }

}

std::optional<Undone> undo(const BeneathPlaces& places, const fs::path& path, const NotedFile& noted,
    std::size_t copyLimit, const GitGuard::Clock& clock)
{
    auto reached = places.reach(path);
    if (!reached || reached->folder.get() < 0 || reached->throughLink)
        return std::nullopt;
    NotedFile now = GitNotedFiles::noteReached(*reached, copyLimit);
    if (now == noted || now.kind == Kind::absent)
        return std::nullopt;
    const int folder = reached->folder.get();
    const std::string& name = reached->name;
    madeWritable(folder, path.parent_path());
    struct stat status { };
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)
        && status.st_nlink > 1) {
        bool replaced = keptACopy(noted.kind) ? putBack(folder, name, noted, true)
                                              : ::unlinkat(folder, name.c_str(), 0) == 0;
        return Undone { path, {}, noted.kind, replaced, true };
    }
    Undone undone { path, moveAside(folder, name, GitGuard::refusedLabel, clock()), noted.kind };
    if (undone.moved.name) {
        undone.putBack = putBack(folder, name, noted);
        undone.removedOlder = removeOlderMovedAside(
            folder, *undone.moved.name, GitGuard::refusedLabel, GitGuard::keptMovedAside);
    }
    return undone;
}

bool isMovedAside(const fs::path& path)
{
    return isMovedAsideName(path.filename().native(), GitGuard::refusedLabel);
}

void logRemovedOlder(std::size_t removed)
{
    if (removed > 0)
        platform::logError(std::to_string(removed) + " older moved-aside files (\"." + GitGuard::refusedLabel
            + "-\") were removed; the newest " + std::to_string(GitGuard::keptMovedAside)
            + " of each name are kept.");
}

// Logs each change undone and adds where it went to `settled`.
void report(const std::vector<Undone>& undone, Settled& settled)
{
    for (const auto& done : undone) {
        settled.removedOlder += done.removedOlder;
        platform::logError(logLine(done));
        if (done.moved.name)
            settled.moved.push_back(done.path.parent_path() / *done.moved.name);
        else if (done.replacedShared && done.putBack)
            settled.moved.push_back(done.path);
    }
}

}
