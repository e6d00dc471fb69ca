#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/Foundations/Renames.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolderDefinition.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"

#include <algorithm>
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
    // renamed there, `replacing` what is there or nothing. False when it cannot be.
    bool putBack(int folderFD, const std::string& name, const NotedFile& noted, bool replacing)
    {
        const std::string prepared = preparedName(name);
        if (madeCopy(folderFD, prepared, noted) != 0)
            return false;
        reachedStep(Step::copyMade);
        if (replacing ? ::renameat(folderFD, prepared.c_str(), folderFD, name.c_str()) == 0
                      : Renames::withoutReplacing(folderFD, prepared, folderFD, name) == 0)
            return true;
        ::unlinkat(folderFD, prepared.c_str(), 0);
        return false;
    }

    bool keptACopy(Kind kind) { return kind == Kind::file || kind == Kind::link; }

    // Takes every execute bit from the regular file at `name` in the open folder, met through no link.
    Undone::StayedAs leftUnexecutable(int folderFD, const std::string& name)
    {
        using StayedAs = Undone::StayedAs;
        FileDescriptor file(::openat(folderFD, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat status { };
        if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
            return StayedAs::asItIs;
        constexpr unsigned kRunBits = S_IXUSR | S_IXGRP | S_IXOTH | S_ISUID | S_ISGID;
        if ((status.st_mode & kRunBits) == 0)
            return StayedAs::neverExecutable;
        return BeneathPlaces::changedMode(file.get(), status.st_mode & 07777 & ~kRunBits)
            ? StayedAs::executeTaken
            : StayedAs::asItIs;
    }

    // The last resort where a change stays at its name.
    Undone disarmedWhereStayed(Undone undone, int folderFD, const std::string& name)
    {
        if (undone.stayed())
            undone.stayedAs = leftUnexecutable(folderFD, name);
        return undone;
    }

    // The repository a path lies in, as the user knows it: the work tree of the ".git" above it, else the
    // nearest folder that holds a ".git" or is a Git folder itself, else the path's own folder.
    fs::path repositoryHolding(const fs::path& path)
    {
        for (fs::path folder = path.parent_path(); folder.has_relative_path();
             folder = folder.parent_path()) {
            if (folder.filename() == ".git")
                return folder.parent_path();
        }
        for (fs::path folder = path.parent_path(); folder.has_relative_path();
             folder = folder.parent_path()) {
            std::error_code error;
            if (fs::exists(fs::symlink_status(folder / ".git", error))
                || GitFolderDefinition::isGitFolder(folder))
                return folder;
        }
        return path.parent_path();
    }

    constexpr std::string_view kTriedAgain
        = " It is tried again when the program next starts, or a run next guards the repository.";

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

    std::string stayedAs(const Undone& undone)
    {
        using StayedAs = Undone::StayedAs;
        std::string_view left;
        if (!undone.runOnlyAsProgram)
            left = undone.stayedAs == StayedAs::executeTaken
                ? ", so its execute permission was taken, but it stays where it is: the user's Git may still "
                  "read it, or have a shell run it."
                : " and stays as it is: the user's Git may act on it.";
        else
            left = undone.stayedAs == StayedAs::executeTaken
                ? ", so it is left without execute permission: nothing can run it as a program, and its "
                  "bytes stay where they are."
                : undone.stayedAs == StayedAs::neverExecutable
                ? " and stays as it is, without execute permission: nothing runs it as a program."
                : " and stays as it is: the user's Git may act on it.";
        return std::string(left) + std::string(kTriedAgain);
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
                + (undone.putBack ? "what the run found there was put back."
                                  : "it could not be put back." + std::string(kTriedAgain));
        if (undone.replacedShared) {
            if (!undone.putBack)
                return line + "it could not be put back" + stayedAs(undone);
            return line + "the change stays at the file's other hard links, and "
                + (keptACopy(undone.noted) ? "what the run found was put back at this name."
                                           : "this name, which the run did not find, was removed.");
        }
        if (!undone.moved.name)
            return line + "it could not be moved aside ("
                + std::generic_category().message(undone.moved.error) + ")"
                + (undone.settingsTakenOut ? ", and the same file without those settings took its place."
                                           : stayedAs(undone));
        line += "the change was moved aside as " + (undone.path.parent_path() / *undone.moved.name).string();
        if (undone.putBack && undone.settingsTakenOut)
            return line + ", and the same file without those settings took its place.";
        if (undone.putBack)
            return line
                + (undone.putInstead ? ", and what is to take its place was put there."
                                     : ", and what the run found there was put back.");
        if (undone.noted == Kind::absent)
            return line + (undone.unknownBefore ? "." : "; there was none when the run started.");
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
    // reading and its trade; the last reading is traded whatever is there.
    constexpr int kReadings = 8;

    // Whether a Git writer holds "<name>.lock", which it renames into place when done. The guard never
    // takes that lock itself: a Git command finding it taken fails at once, with no retry.
    bool gitHoldsLock(int folder, const std::string& name)
    {
        return ::faccessat(folder, (name + ".lock").c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0;
    }

    // Trades the change at `name` for a copy of `noted` where what goes aside is still what was read
    // (`read`): a Git writer renaming its file into place meanwhile would otherwise lose its write to the
    // aside name. Where it did, its file is traded back at once and `readAgain` is set; a writer's later
    // write is thus built on its own file, not on the copy. Without `read`, the trade is made whatever is
    // there.
    MovedAside tradedAside(int folder, const std::string& name, const NotedFile& noted, const Clock& clock,
        const std::optional<Identity>& read, bool& readAgain)
    {
        if (read && (gitHoldsLock(folder, name) || identityAt(folder, name) != read)) {
            readAgain = true;
            return {};
        }
        std::optional<Identity> copy;
        MovedAside moved = exchangeAside(
            folder, name, MovedAsideByGuard::refusedLabel, clock(), [&](const std::string& at) {
                int error = madeCopy(folder, at, noted);
                copy = identityAt(folder, at);
                if (error == 0)
                    reachedStep(Step::copyMade);
                return error;
            });
        if (!read || !moved.name || identityAt(folder, *moved.name) == read)
            return moved;
        readAgain = true;
        if (Renames::exchanged(folder, *moved.name, folder, name) == 0
            && identityAt(folder, *moved.name) == copy)
            ::unlinkat(folder, moved.name->c_str(), 0);
        return {};
    }

    std::optional<Undone> undoReached(const fs::path& dataFolder, const BeneathPlaces::Reached& reached,
        const fs::path& path, const NotedFile& now, const NotedFile& noted, const Clock& clock,
        KeptMovedAside::InRun* run, const std::optional<Identity>& read, bool& readAgain,
        const MadeFromNow& withoutWhatCounted)
    {
        const bool copyKept = keptACopy(noted.kind);
        if (now == noted || (now.kind == Kind::absent && !copyKept))
            return std::nullopt;
        const int folder = reached.folder.get();
        const std::string& name = reached.name;
        BeneathPlaces::ownerMayAct(folder, path.parent_path());
        if (now.kind == Kind::absent) {
            Undone undone { path, {}, noted.kind, putBack(folder, name, noted, false) };
            undone.wasMissing = true;
            return undone;
        }
        struct stat status { };
        if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)
            && status.st_nlink > 1) {
            bool replaced
                = copyKept ? putBack(folder, name, noted, true) : ::unlinkat(folder, name.c_str(), 0) == 0;
            return disarmedWhereStayed({ path, {}, noted.kind, replaced, true }, folder, name);
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
            undone.moved = moveAside(folder, name, MovedAsideByGuard::refusedLabel, clock());
            undone.putBack = undone.moved.name && copyKept && putBack(folder, name, noted, false);
        }
        if (!undone.moved.name && withoutWhatCounted) {
            const NotedFile kept = withoutWhatCounted(now);
            undone.settingsTakenOut = kept.kind == Kind::file && putBack(folder, name, kept, true);
            undone.putBack = undone.settingsTakenOut;
        }
        if (undone.moved.name) {
            MovedAsideByGuard::note(dataFolder, folder, *undone.moved.name);
            undone.removedSameBytes = KeptMovedAside::removeSameBytes(folder, *undone.moved.name);
            if (run)
                undone.removedInFlood = run->boundFlood(folder, path, *undone.moved.name);
        }
        return disarmedWhereStayed(std::move(undone), folder, name);
    }
}

std::optional<Undone> undo(const fs::path& dataFolder, const BeneathPlaces& places, const fs::path& path,
    const NotedFile& notedBefore, std::size_t copyLimit, const Clock& clock, KeptMovedAside::InRun* run,
    const MadeFromNow& madeFromNow, const MadeFromNow& withoutWhatCounted)
{
    auto reached = places.reach(path);
    if (!reached || reached->folder.get() < 0 || reached->throughLink)
        return std::nullopt;
    for (int reading = 1;; ++reading) {
        const auto read
            = reading < kReadings ? identityAt(reached->folder.get(), reached->name) : std::nullopt;
        const NotedFile now = GitNotedFiles::noteReached(*reached, copyLimit);
        bool readAgain = false;
        auto undone = undoReached(dataFolder, *reached, path, now,
            madeFromNow ? madeFromNow(now) : notedBefore, clock, run, read, readAgain, withoutWhatCounted);
        if (!readAgain)
            return undone;
        std::this_thread::sleep_for(std::chrono::milliseconds(1 << reading));
    }
}

void report(const std::vector<Undone>& undone, Settled& settled)
{
    for (const auto& done : undone) {
        std::string line = logLine(done);
        platform::logError(line);
        const std::string reason
            = done.keptOff ? "it appeared where " + std::string(kActedOnLater) : done.reason;
        if (done.moved.name)
            settled.moved.push_back({ done.path.parent_path() / *done.moved.name, reason });
        else if ((done.replacedShared || done.settingsTakenOut) && done.putBack)
            settled.moved.push_back({ done.path, reason });
        else if (done.stayed())
            settled.moved.push_back(
                { done.path, reason, MovedChange::Stayed { std::move(line), repositoryHolding(done.path) } });
    }
}

bool anyStayed(const std::vector<MovedChange>& moved)
{
    return std::ranges::any_of(moved, [](const MovedChange& change) { return change.stayed.has_value(); });
}

std::vector<MovedChange> notLookedThrough(const std::vector<fs::path>& places, std::string_view why) noexcept
{
    std::vector<MovedChange> told;
    try {
        for (const auto& place : places) {
            std::string line = "The Git repositories in " + place.string()
                + " could not be gone through at the end of a Claude Code run (" + std::string(why)
                + "): what its commands left there for the user's Git to act on was not judged, and may stay."
                + std::string(kTriedAgain);
            platform::logError(line);
            told.push_back({ place, "its Git repositories could not be gone through",
                MovedChange::Stayed { std::move(line), place } });
        }
    } catch (const std::exception&) {
        // Out of memory for the words too: the places stay in the record all the same.
    }
    return told;
}

}
