#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardSweep.h"

#include "VellumarMacCore/Foundations/ParallelEach.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"
#include "VellumarMacCore/GitProtection/Judging/HookPathEntries.h"
#include "VellumarMacCore/GitProtection/Judging/StoppedSequences.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitFolderWhereabouts.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardComparison.h"

#include <algorithm>
#include <iterator>
#include <set>

namespace vellumar::GitGuardSweep {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedUnit;

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
        // What counted: in its stopped sequences, on the PATH its hooks search, and as a new Git folder.
        std::vector<NewGitFolders::Counted> stopped, putFirst, asNew;
    };
    std::vector<Judged> judged;
    {
        // Under the lock the guard moves aside under, so that what it has just moved is noted as its own.
        auto locked = liveRuns.locked();
        for (const auto& folder : found) {
            if (!MovedAsideByGuard::liesIn(liveRuns.folder(), folder.gitFolder, places.paths()))
                judged.push_back({ &folder });
        }
    }
    // What every folder's files show, read before anything is put back, so that each is judged as the
    // commands left it.
    auto read = [&](Judged& each) {
        const auto& folder = *each.folder;
        if (options.moment == Options::Moment::runsEnd) {
            if (!folder.liesOutside)
                each.stopped = StoppedSequences::counted(folder.gitFolder, places, judging);
            each.putFirst = HookPathEntries::counted(
                folder, each.noted && each.noted->gitFolder ? &*each.noted : nullptr, places, judging);
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
    // A folder a hook puts first on PATH may be that of several Git folders' hooks.
    std::set<fs::path> onPath;
    for (auto& each : judged) {
        std::ranges::move(each.stopped, std::back_inserter(counted));
        for (auto& entry : each.putFirst) {
            if ((!options.isNotedPutFirst || !options.isNotedPutFirst(entry.path.parent_path()))
                && onPath.insert(entry.path).second)
                counted.push_back(std::move(entry));
        }
        if (each.compared) {
            auto settled = GitGuardComparison::settle(
                liveRuns, *each.noted, places, judging.settings, options.clock, judging.isKnownGitFolder,
                [&](const fs::path& path) { return judging.windows.holds(path); }, options.run,
                judging.commandsEndedBy);
            moved.insert(moved.end(), settled.moved.begin(), settled.moved.end());
        }
        std::ranges::move(each.asNew, std::back_inserter(counted));
    }
    auto settled = GitGuardComparison::settleCounted(
        liveRuns, std::move(counted), places, judging, options.clock, options.run);
    moved.insert(moved.end(), settled.moved.begin(), settled.moved.end());
    return moved;
}

}
