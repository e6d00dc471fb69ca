#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardSweep.h"

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
    std::vector<GitGuardPutBack::MovedChange> moved;
    std::vector<NewGitFolders::Counted> counted;
    std::vector<const GitFoldersInPlaces::Found*> judged;
    {
        // Under the lock the guard moves aside under, so that what it has just moved is noted as its own.
        auto locked = liveRuns.locked();
        for (const auto& folder : found) {
            if (!MovedAsideByGuard::liesIn(liveRuns.folder(), folder.gitFolder, places.paths()))
                judged.push_back(&folder);
        }
    }
    // A folder a hook puts first on PATH may be that of several Git folders' hooks.
    std::set<fs::path> onPath;
    for (const auto* each : judged) {
        const auto& folder = *each;
        auto noted = options.notedWithIdentity(folder.identity);
        if (noted && noted->gitFolder && *noted->gitFolder != folder.gitFolder)
            noted = carriedOver(*noted, folder.gitFolder);
        if (options.moment == Options::Moment::runsEnd) {
            if (!folder.liesOutside)
                std::ranges::move(
                    StoppedSequences::counted(folder.gitFolder, places, judging), std::back_inserter(counted));
            for (auto& entry : HookPathEntries::counted(
                     folder, noted && noted->gitFolder ? &*noted : nullptr, places, judging)) {
                if ((!options.isNotedPutFirst || !options.isNotedPutFirst(entry.path.parent_path()))
                    && onPath.insert(entry.path).second)
                    counted.push_back(std::move(entry));
            }
        }
        if (folder.liesOutside || options.isComparedHere(folder.gitFolder))
            continue;
        if (noted && noted->gitFolder) {
            auto settled = GitGuardComparison::settle(liveRuns, *noted, places, judging.settings, options.clock,
                judging.isKnownGitFolder, [&](const fs::path& path) { return judging.windows.holds(path); },
                options.run, judging.commandsEndedBy);
            moved.insert(moved.end(), settled.moved.begin(), settled.moved.end());
        } else if (!judging.isKnownGitFolder(folder.gitFolder) || !options.isComparedByAnother
            || !options.isComparedByAnother(folder.gitFolder)) {
            std::ranges::move(
                NewGitFolders::counted(folder.gitFolder, places, judging), std::back_inserter(counted));
        }
    }
    auto settled = GitGuardComparison::settleCounted(
        liveRuns, std::move(counted), places, judging, options.clock, options.run);
    moved.insert(moved.end(), settled.moved.begin(), settled.moved.end());
    return moved;
}

}
