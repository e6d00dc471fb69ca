#include "VellumarMacCore/GitProtection/PuttingBack/GitFolderWhereabouts.h"

#include "Platform/Log.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardEntries.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <fcntl.h>

namespace vellumar::GitFolderWhereabouts {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedFile;

    bool isBelowAPlace(const fs::path& path, const BeneathPlaces& places)
    {
        return std::any_of(places.paths().begin(), places.paths().end(),
            [&](const fs::path& place) { return path != place && isStandardizedPathInside(path, place); });
    }

    void loggedBack(const fs::path& folder, const fs::path& foundAt)
    {
        platform::logError(folder.string() + " was found at " + foundAt.string()
            + " during a Claude Code run, and was put back at its name.");
    }

    // Renames `from` to `to`, both reached beneath the places through no link, with `flags`.
    bool renamed(const fs::path& from, const fs::path& to, unsigned flags, const BeneathPlaces& places)
    {
        auto source = places.reach(from);
        auto target = places.reach(to);
        if (!source || !target || source->throughLink || target->throughLink || source->folder.get() < 0
            || target->folder.get() < 0)
            return false;
        BeneathPlaces::ownerMayAct(source->folder.get(), from.parent_path());
        BeneathPlaces::ownerMayAct(target->folder.get(), to.parent_path());
        return ::renameat2(source->folder.get(), source->name.c_str(), target->folder.get(),
                   target->name.c_str(), flags)
            == 0;
    }

}

NotedFile reachedAt(const fs::path& path, const BeneathPlaces& places)
{
    auto reached = places.reach(path);
    return reached ? GitNotedFiles::noteReached(*reached, GitNotedFiles::maxCopiedBytes) : NotedFile {};
}

std::optional<Found> elsewhere(
    const GitNotedFiles::NotedUnit& unit, const fs::path& folder, const BeneathPlaces& places)
{
    auto noted = unit.files.find(folder);
    if (noted == unit.files.end() || noted->second.kind != NotedFile::Kind::other
        || reachedAt(folder, places) == noted->second)
        return std::nullopt;
    // A hooks folder may also lie alone beside a folder above it: a command trades it with a folder of
    // its own anywhere there.
    const bool mayLieAlone = folder != unit.gitFolder;
    for (fs::path from = folder; isBelowAPlace(from, places); from = from.parent_path()) {
        const fs::path below = folder.lexically_relative(from);
        for (const auto& name : GitNotedFiles::entriesBeneath(places, from.parent_path())) {
            const fs::path moved = from.parent_path() / name;
            if (moved == from || GitGuardPutBack::isMovedAside(moved))
                continue;
            fs::path now = below == "." ? moved : moved / below;
            if (reachedAt(now, places) == noted->second)
                return Found { from, moved, std::move(now) };
            if (mayLieAlone && below != "." && reachedAt(moved, places) == noted->second)
                return Found { folder, moved, moved };
        }
    }
    return std::nullopt;
}

bool tradedBack(const LiveRuns::Locked& locked, const GitNotedFiles::NotedUnit& unit, const fs::path& folder,
    const Found& found, const BeneathPlaces& places)
{
    // The other unit's key lies above where its folder is now as the unit's own lies above `folder`.
    fs::path theirKey = found.now;
    for (const auto& step : folder.lexically_relative(unit.key())) {
        if (step != ".")
            theirKey = theirKey.parent_path();
    }
    const std::string* other = locked.find(LiveRuns::Kind::guardedUnit, theirKey.native());
    if (!other)
        return false;
    const GitNotedFiles::NotedUnit theirs = GitGuardEntries::unitOf(*other);
    auto theirFolder = theirs.files.find(found.now);
    if (theirFolder == theirs.files.end() || reachedAt(folder, places) != theirFolder->second
        || reachedAt(found.now, places) != unit.files.at(folder)
        || !renamed(folder, found.now, RENAME_EXCHANGE, places))
        return false;
    platform::logError(folder.string() + " and " + found.now.string()
        + " had traded places during a Claude Code run; each was put back at its name.");
    return true;
}

std::optional<GitGuardPutBack::Undone> broughtBack(const fs::path& dataFolder, const Found& found,
    const fs::path& folder, const BeneathPlaces& places, const GitGuard::Clock& clock)
{
    // What took the name: the first link on the way, or what is at the name itself.
    auto reached = places.reach(folder);
    if (!reached)
        return std::nullopt;
    const fs::path taken = reached->path;
    if (taken != found.from && !isPathInside(taken, found.from))
        return std::nullopt;
    const fs::path usersWas = movedPath(taken, found.from, found.moved);
    if (!renamed(taken, usersWas, RENAME_EXCHANGE, places))
        return std::nullopt;
    GitGuardPutBack::reachedStep(GitGuardPutBack::Step::folderTraded);
    loggedBack(folder, found.now);
    GitGuardPutBack::Undone undone { taken, {}, NotedFile::Kind::other, true };
    auto theirs = places.reach(usersWas);
    auto name = places.reach(taken);
    if (!theirs || theirs->throughLink || theirs->folder.get() < 0 || !name || name->folder.get() < 0)
        return undone;
    // Beside the name it took, as a file's change goes.
    undone.moved = moveAsideInto(
        theirs->folder.get(), theirs->name, name->folder.get(), name->name, GitGuard::refusedLabel, clock());
    if (undone.moved.name)
        MovedAsideByGuard::note(dataFolder, name->folder.get(), *undone.moved.name);
    return undone;
}

bool movedBack(const Found& found, const BeneathPlaces& places)
{
    const fs::path folder = movedPath(found.now, found.moved, found.from);
    if (!renamed(found.moved, found.from, RENAME_NOREPLACE, places)
        && (found.now == found.moved || !renamed(found.now, folder, RENAME_NOREPLACE, places)))
        return false;
    loggedBack(folder, found.now);
    return true;
}

GitNotedFiles::NotedUnit movedUnit(
    const GitNotedFiles::NotedUnit& unit, const fs::path& from, const fs::path& to)
{
    GitNotedFiles::NotedUnit moved { unit.gitFolder, unit.workTree, unit.places, {} };
    for (auto* path : { &moved.gitFolder, &moved.workTree }) {
        if (*path)
            *path = movedPath(**path, from, to);
    }
    for (const auto& [path, file] : unit.files)
        moved.files.emplace(movedPath(path, from, to), file);
    return moved;
}

fs::path movedPath(const fs::path& path, const fs::path& from, const fs::path& to)
{
    if (path == from)
        return to;
    return isPathInside(path, from) ? to / path.lexically_relative(from) : path;
}

}
