#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardSweep.h"

#include "VellumarMacCore/Foundations/ParallelEach.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"
#include "VellumarMacCore/GitProtection/Judging/HookPathEntries.h"
#include "VellumarMacCore/GitProtection/Judging/StoppedSequences.h"
#include "VellumarMacCore/GitProtection/Judging/UnreadableEntries.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitFolderWhereabouts.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardComparison.h"

#include <algorithm>
#include <set>

namespace vellumar::GitGuardSweep {

std::chrono::steady_clock::duration judgingBound = std::chrono::minutes(5);
std::chrono::steady_clock::duration listingBound = std::chrono::minutes(2);

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedUnit;

    std::string secondsOf(std::chrono::steady_clock::duration bound)
    {
        return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(bound).count());
    }

    // Why a folder the walk did not list went aside.
    std::string pastTheListingBound()
    {
        return "the walk of the places had spent the " + secondsOf(listingBound)
            + " s it lists every folder in before it came to this folder, which a command may have made, so "
              "it went aside unlisted";
    }

    // `noted` as it would be had its Git folder been at `gitFolder`: a work tree's ".git" carries its
    // work tree with it, where it moved along.
    NotedUnit carriedOver(const NotedUnit& noted, const fs::path& gitFolder)
    {
        const fs::path& from = *noted.gitFolder;
        if (noted.workTree && from.filename() == ".git" && gitFolder.filename() == ".git")
            return GitFolderWhereabouts::movedUnit(noted, from.parent_path(), gitFolder.parent_path());
        return GitFolderWhereabouts::movedUnit(noted, from, gitFolder);
    }

}

std::string pastTheBound(std::string_view what)
{
    return "the run's end had spent the " + secondsOf(judgingBound) + " s it judges in before it came to "
        + std::string(what) + ", so it went aside unread";
}

GitRepositorySearch::ListingBound listingBoundFromNow(const CommandWriteWindows& windows)
{
    return { .until = std::chrono::steady_clock::now() + listingBound,
        .madeByCommands = [&windows](const fs::path& folder) { return windows.couldHaveMade(folder); } };
}

std::vector<GitGuardPutBack::MovedChange> swept(LiveRuns& liveRuns,
    const std::vector<GitFoldersInPlaces::Found>& found, const BeneathPlaces& places, const Options& options)
{
    const NewGitFolders::Judging& judging = options.judging;
    // What is known of each folder, and whether it is compared with what was noted of it or judged against
    // an empty repository, decided on the run's thread, which the registry's lock serves.
    struct Judged {
        const GitFoldersInPlaces::Found* folder;
        std::optional<NotedUnit> noted;
        // Outside every place, or compared as a unit noted it (`Options::isComparedHere`).
        bool passedOver = false;
        bool compared = false;
        bool judgedNew = false;
        // What counted: in its stopped sequences, on the PATH its hooks search, as a new Git folder, and
        // what Git could wait on in it; or, where the run's end came to it past its bound, what closed it.
        std::vector<NewGitFolders::Counted> stopped, putFirst, asNew, unreadable, closed;
    };
    std::vector<Judged> judged;
    std::vector<NewGitFolders::Counted> unlisted;
    {
        // Under the lock the guard moves aside under, so that what it has just moved is noted as its own.
        auto locked = liveRuns.locked();
        for (const auto& folder : found) {
            if (!MovedAsideByGuard::liesIn(liveRuns.folder(), folder.gitFolder, places.paths()))
                judged.push_back({ &folder });
        }
        for (const auto& folder : options.unlisted) {
            if (!MovedAsideByGuard::liesIn(liveRuns.folder(), folder, places.paths()))
                unlisted.push_back(
                    { .path = folder, .reason = pastTheListingBound(), .unknownBefore = true });
        }
    }
    // What every folder's files show, read before anything is put back, so that each is judged as the
    // commands left it.
    auto read = [&](Judged& each) {
        const auto& folder = *each.folder;
        const bool atTheEnd = options.moment == Options::Moment::runsEnd;
        auto pastBound = [&] { return atTheEnd && std::chrono::steady_clock::now() >= options.judgedBy; };
        // What a unit notes its comparison judges, and what the guard moved aside stays aside.
        auto isMovedAside = [&](const fs::path& path) {
            return MovedAsideByGuard::liesIn(liveRuns.folder(), path, places.paths());
        };
        auto isPassedOver = [&](const fs::path& path) {
            return (each.noted && each.noted->files.contains(path)) || isMovedAside(path);
        };
        const GitNotedFiles::NotedUnit* noted = each.noted && each.noted->gitFolder ? &*each.noted : nullptr;
        auto close = [&] {
            if (!folder.liesOutside)
                each.closed = NewGitFolders::closed(folder.gitFolder, judging, isPassedOver, pastTheBound());
        };
        // Past the bound, the hooks that would search folders not judged go aside.
        auto putFirst = [&] {
            each.putFirst = pastBound()
                ? HookPathEntries::closed(folder, noted, places, judging, isMovedAside,
                    pastTheBound("the folders this Git folder's hooks put first on PATH"))
                : HookPathEntries::counted(folder, noted, places, judging);
        };
        if (pastBound()) {
            close();
            putFirst();
            return;
        }
        if (atTheEnd) {
            if (!folder.liesOutside) {
                each.stopped = StoppedSequences::counted(folder.gitFolder, places, judging);
                auto walked = UnreadableEntries::counted(folder.gitFolder, judging, isPassedOver, pastBound);
                each.unreadable = std::move(walked.counted);
                if (!walked.whole)
                    close();
            }
            putFirst();
        }
        if (each.judgedNew)
            each.asNew = NewGitFolders::counted(folder.gitFolder, places, judging);
    };
    // A thousand noted units are each read back from the registry's text, and a thousand repositories'
    // files read, on a few threads: one after another they held the reply back. What was noted of a folder
    // that is neither compared nor judged here is let go at once, so that a thousand are never held
    // together.
    parallelEach(judged.size(), [&](std::size_t index) {
        Judged& each = judged[index];
        const auto& folder = *each.folder;
        each.noted = options.notedWithIdentity(folder.identity);
        if (each.noted && each.noted->gitFolder && *each.noted->gitFolder != folder.gitFolder)
            each.noted = carriedOver(*each.noted, folder.gitFolder);
        each.passedOver = folder.liesOutside || options.isComparedHere(folder.gitFolder);
        if (each.passedOver) {
            read(each);
            each.noted.reset();
        }
    });
    for (auto& each : judged) {
        const auto& folder = *each.folder;
        if (each.passedOver)
            continue;
        if (each.noted && each.noted->gitFolder)
            each.compared = true;
        else
            each.judgedNew = !judging.isKnownGitFolder(folder.gitFolder) || !options.isComparedByAnother
                || !options.isComparedByAnother(folder.gitFolder);
    }
    parallelEach(judged.size(), [&](std::size_t index) {
        if (!judged[index].passedOver)
            read(judged[index]);
    });
    std::vector<GitGuardPutBack::MovedChange> moved;
    std::vector<NewGitFolders::Counted> counted;
    // Each path once: a folder a hook puts first on PATH may be that of several Git folders' hooks, and a
    // hook that is a link counts as both.
    std::set<fs::path> paths;
    auto count = [&](std::vector<NewGitFolders::Counted>& some) {
        for (auto& entry : some) {
            if (paths.insert(entry.path).second)
                counted.push_back(std::move(entry));
        }
    };
    for (auto& each : judged) {
        count(each.stopped);
        std::erase_if(each.putFirst, [&](const NewGitFolders::Counted& entry) {
            return options.isNotedPutFirst && options.isNotedPutFirst(entry.path.parent_path());
        });
        count(each.putFirst);
        if (each.compared) {
            auto settled = GitGuardComparison::settle(
                liveRuns, *each.noted, places, judging.settings, options.clock, judging.isKnownGitFolder,
                [&](const fs::path& path) { return judging.windows.holds(path); }, options.run,
                judging.commandsEndedBy);
            moved.insert(moved.end(), settled.moved.begin(), settled.moved.end());
        }
        // What is judged for what it holds is told so, rather than for what it is.
        count(each.asNew);
        count(each.unreadable);
        count(each.closed);
    }
    count(unlisted);
    auto settled = GitGuardComparison::settleCounted(
        liveRuns, std::move(counted), places, judging, options.clock, options.run);
    moved.insert(moved.end(), settled.moved.begin(), settled.moved.end());
    return moved;
}

}
