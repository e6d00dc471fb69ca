#include "VellumarMacCore/GitProtection/PuttingBack/GitFolderWhereabouts.h"

#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardPutBack.h"
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

std::optional<Found> elsewhere(const GitNotedFiles::NotedUnit& unit, const BeneathPlaces& places)
{
    if (!unit.gitFolder)
        return std::nullopt;
    auto noted = unit.files.find(*unit.gitFolder);
    if (noted == unit.files.end() || noted->second.kind != NotedFile::Kind::other
        || reachedAt(*unit.gitFolder, places) == noted->second)
        return std::nullopt;
    for (fs::path from = *unit.gitFolder; isBelowAPlace(from, places); from = from.parent_path()) {
        const fs::path below = unit.gitFolder->lexically_relative(from);
        for (const auto& name : GitNotedFiles::entriesBeneath(places, from.parent_path())) {
            const fs::path moved = from.parent_path() / name;
            if (moved == from || GitGuardPutBack::isMovedAside(moved))
                continue;
            fs::path now = below == "." ? moved : moved / below;
            if (reachedAt(now, places) == noted->second)
                return Found { from, moved, std::move(now) };
        }
    }
    return std::nullopt;
}

bool movedBack(const Found& found, const BeneathPlaces& places)
{
    if (renamed(found.moved, found.from, RENAME_NOREPLACE, places))
        return true;
    return found.now != found.moved
        && renamed(found.now, movedPath(found.now, found.moved, found.from), RENAME_NOREPLACE, places);
}

bool exchanged(const fs::path& one, const fs::path& other, const BeneathPlaces& places)
{
    return renamed(one, other, RENAME_EXCHANGE, places);
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
