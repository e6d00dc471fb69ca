#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
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

    // Makes a copy of `noted` at `at` in the open folder, replacing nothing there: 0, or the errno
    // (EEXIST where the name is taken). A copy begun and not finished is removed.
    int madeCopy(int folderFD, const std::string& at, const NotedFile& noted)
    {
        if (noted.kind == Kind::link)
            return ::symlinkat(noted.content.c_str(), folderFD, at.c_str()) == 0 ? 0 : errno;
        FileDescriptor file(
            ::openat(folderFD, at.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file.get() < 0)
            return errno;
        int error = 0;
        for (std::size_t written = 0; error == 0 && written < noted.content.size();) {
            ssize_t count
                = ::write(file.get(), noted.content.data() + written, noted.content.size() - written);
            error = count > 0 ? 0 : (count < 0 ? errno : EIO);
            written += count > 0 ? static_cast<std::size_t>(count) : 0;
        }
        if (error == 0 && ::fchmod(file.get(), noted.mode) != 0)
            error = errno;
        if (error != 0)
            ::unlinkat(folderFD, at.c_str(), 0);
        return error;
    }

    // Puts a copy of `noted` at `name` in the open folder: made whole under another name first, then
    // renamed with `flags` (RENAME_NOREPLACE where nothing is to be replaced). False when it cannot be.
    bool putBack(int folderFD, const std::string& name, const NotedFile& noted, unsigned flags)
    {
        const std::string prepared = preparedName(name);
        if (madeCopy(folderFD, prepared, noted) != 0)
            return false;
        reachedStep(Step::copyMade);
        if (::renameat2(folderFD, prepared.c_str(), folderFD, name.c_str(), flags) == 0)
            return true;
        ::unlinkat(folderFD, prepared.c_str(), 0);
        return false;
    }

    bool keptACopy(Kind kind) { return kind == Kind::file || kind == Kind::link; }

    constexpr std::string_view kActedOnLater = "direnv, an editor, Claude Code or Git would act on it later";

    std::string removedLines(const Undone& undone)
    {
        std::string lines;
        for (const auto& name : undone.removedSameBytes)
            lines += " " + name + ", moved aside earlier with the same bytes, was removed.";
        for (const auto& name : undone.removedInFlood)
            lines += " " + name
                + ", moved aside earlier in this run, was removed: a run keeps the first and the newest "
                + std::to_string(KeptMovedAside::InRun::keptNewest) + " of one name.";
        return lines;
    }

    std::string undoneLine(const Undone& undone)
    {
        std::string line = undone.path.string()
            + (undone.keptOff ? " appeared during a Claude Code run, where " + std::string(kActedOnLater)
                    : undone.wasMissing
                    ? " was missing where the run had found a file"
                    : " changed during a Claude Code run in a way the user's Git would act on")
            + (undone.reason.empty() ? "" : " (" + undone.reason + ")") + "; ";
        if (undone.wasMissing)
            return line
                + (undone.putBack ? "what the run found there was put back." : "it could not be put back.");
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
        if (undone.putBack && undone.settingsTakenOut)
            return line + ", and the same file without those settings took its place.";
        if (undone.putBack)
            return line
                + (undone.putInstead ? ", and what is to take its place was put there."
                                     : ", and what the run found there was put back.");
        if (undone.noted == Kind::absent)
            return line + "; there was none when the run started.";
        return line
            + (keptACopy(undone.noted) ? ", but what the run found there could not be put back."
                                       : ", and nothing could be put back (the run kept no copy of it).");
    }

    std::string logLine(const Undone& undone) { return undoneLine(undone) + removedLines(undone); }

}

void (*stepSeam)(Step) = nullptr;

void reachedStep(Step step)
{
    if (stepSeam)
        stepSeam(step);
}

namespace {

    using Identity = std::pair<dev_t, ino_t>;

    std::optional<Identity> identityAt(int folder, const std::string& name)
    {
        struct stat status { };
        if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            return std::nullopt;
        return Identity { status.st_dev, status.st_ino };
    }

    // How often a change is read again where a writer replaced it, or held Git's lock on it, between its
    // reading and its trade; the last reading is traded whatever holds the lock.
    constexpr int kReadings = 8;

    // Git writes its configuration under "<name>.lock", made with O_EXCL and renamed into place. Held
    // across the check and the trade, no Git writer renames between them; one that tries meanwhile is
    // told the lock is taken, as by another Git command. False only where a Git writer holds it; where
    // none can be made for another cause, the trade goes on without.
    bool lockedAsGit(int folder, const std::string& name, std::optional<std::string>& lock)
    {
        std::string made = name + ".lock";
        FileDescriptor file(
            ::openat(folder, made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file.get() >= 0)
            lock = std::move(made);
        return file.get() >= 0 || errno != EEXIST;
    }

    // Trades the change at `name` for a copy of `noted`, under Git's lock, where what goes aside is still
    // what was read (`read`): a Git writer renaming its file into place meanwhile would otherwise lose its
    // write to the aside name. Where it did, or holds the lock, nothing is traded and `readAgain` is set.
    // Without `read`, the trade is made whatever is there.
    MovedAside tradedAside(int folder, const std::string& name, const NotedFile& noted,
        const GitGuard::Clock& clock, const std::optional<Identity>& read, bool& readAgain)
    {
        std::optional<std::string> lock;
        MovedAside moved = exchangeAside(folder, name, GitGuard::refusedLabel, clock(), [&](const std::string& at) {
            int error = madeCopy(folder, at, noted);
            if (error != 0)
                return error;
            reachedStep(Step::copyMade);
            if (!read)
                return 0;
            if (lockedAsGit(folder, name, lock) && identityAt(folder, name) == read)
                return 0;
            readAgain = true;
            ::unlinkat(folder, at.c_str(), 0);
            return EAGAIN;
        });
        if (lock)
            ::unlinkat(folder, lock->c_str(), 0);
        return moved;
    }

    std::optional<Undone> undoReached(const fs::path& dataFolder, const BeneathPlaces::Reached& reached,
        const fs::path& path, const NotedFile& now, const NotedFile& noted, const GitGuard::Clock& clock,
        KeptMovedAside::InRun* run, const std::optional<Identity>& read, bool& readAgain)
    {
        const bool copyKept = keptACopy(noted.kind);
        if (now == noted || (now.kind == Kind::absent && !copyKept))
            return std::nullopt;
        const int folder = reached.folder.get();
        const std::string& name = reached.name;
        BeneathPlaces::ownerMayAct(folder, path.parent_path());
        if (now.kind == Kind::absent) {
            Undone undone { path, {}, noted.kind, putBack(folder, name, noted, RENAME_NOREPLACE) };
            undone.wasMissing = true;
            return undone;
        }
        struct stat status { };
        if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)
            && status.st_nlink > 1) {
            bool replaced
                = copyKept ? putBack(folder, name, noted, 0) : ::unlinkat(folder, name.c_str(), 0) == 0;
            return Undone { path, {}, noted.kind, replaced, true };
        }
        Undone undone { path, {}, noted.kind };
        undone.wentAside = now;
        if (copyKept) {
            undone.moved = tradedAside(folder, name, noted, clock, read, readAgain);
            if (readAgain)
                return std::nullopt;
            undone.putBack = undone.moved.name.has_value();
            if (undone.putBack)
                reachedStep(Step::traded);
        }
        if (!undone.moved.name) {
            // No copy to trade, or a file system that cannot trade two names: the change goes aside alone
            // and the copy follows. A kill between leaves the name empty, which the next start fills from
            // the record.
            undone.moved = moveAside(folder, name, GitGuard::refusedLabel, clock());
            undone.putBack = undone.moved.name && copyKept && putBack(folder, name, noted, RENAME_NOREPLACE);
        }
        if (undone.moved.name) {
            MovedAsideByGuard::note(dataFolder, folder, *undone.moved.name);
            undone.removedSameBytes = KeptMovedAside::removeSameBytes(folder, *undone.moved.name);
            if (run)
                undone.removedInFlood = run->boundFlood(folder, path, *undone.moved.name);
        }
        return undone;
    }

}

std::optional<Undone> undo(const fs::path& dataFolder, const BeneathPlaces& places, const fs::path& path,
    const NotedFile& notedBefore, std::size_t copyLimit, const GitGuard::Clock& clock, KeptMovedAside::InRun* run,
    const MadeFromNow& madeFromNow)
{
    auto reached = places.reach(path);
    if (!reached || reached->folder.get() < 0 || reached->throughLink)
        return std::nullopt;
    for (int reading = 1;; ++reading) {
        const auto read = reading < kReadings ? identityAt(reached->folder.get(), reached->name) : std::nullopt;
        const NotedFile now = GitNotedFiles::noteReached(*reached, copyLimit);
        bool readAgain = false;
        auto undone = undoReached(dataFolder, *reached, path, now, madeFromNow ? madeFromNow(now) : notedBefore,
            clock, run, read, readAgain);
        if (!readAgain)
            return undone;
        std::this_thread::sleep_for(std::chrono::milliseconds(1 << reading));
    }
}

bool isMovedAside(const fs::path& path)
{
    return isMovedAsideName(path.filename().native(), GitGuard::refusedLabel);
}

void report(const std::vector<Undone>& undone, Settled& settled)
{
    for (const auto& done : undone) {
        platform::logError(logLine(done));
        const std::string reason
            = done.keptOff ? "it appeared where " + std::string(kActedOnLater) : done.reason;
        if (done.moved.name)
            settled.moved.push_back({ done.path.parent_path() / *done.moved.name, reason });
        else if (done.replacedShared && done.putBack)
            settled.moved.push_back({ done.path, reason });
    }
}

}
