#include "VellumarMacCore/GitProtection/PuttingBack/GitFolderWhereabouts.h"

#include "Platform/Log.h"
#include "Platform/Random.h"
#include "VellumarMacCore/Foundations/Renames.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardEntries.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <cerrno>
#include <exception>
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

    // The unit's Git folder, noted as `noted`, where the ".git" file now at its name leads: the file
    // reached through no link, the folder it names too, and that folder the noted one by identity.
    std::optional<Found> namedFromItsName(const fs::path& dataFolder, const GitNotedFiles::NotedUnit& unit,
        const NotedFile& noted, const BeneathPlaces& places)
    {
        if (!unit.workTree || unit.gitFolder != *unit.workTree / ".git"
            || reachedAt(*unit.gitFolder, places).kind != NotedFile::Kind::file)
            return std::nullopt;
        auto location = GitFolders::located(*unit.workTree);
        if (!location || location->gitFile != unit.gitFolder
            || MovedAsideByGuard::isOne(dataFolder, location->gitFolder)
            || reachedAt(location->gitFolder, places) != noted)
            return std::nullopt;
        return Found { *unit.gitFolder, location->gitFolder, location->gitFolder, true };
    }

    // `path` reached beneath the places through no link, its folder open and its owner's permission
    // given back; absent where it cannot be.
    std::optional<BeneathPlaces::Reached> reachedPlainly(const fs::path& path, const BeneathPlaces& places)
    {
        auto reached = places.reach(path);
        if (!reached || reached->throughLink || reached->folder.get() < 0)
            return std::nullopt;
        BeneathPlaces::ownerMayAct(reached->folder.get(), path.parent_path());
        return reached;
    }

    // Renames `from` to `to`, both reached beneath the places through no link, replacing nothing.
    bool renamed(const fs::path& from, const fs::path& to, const BeneathPlaces& places)
    {
        auto source = reachedPlainly(from, places);
        auto target = reachedPlainly(to, places);
        return source && target
            && Renames::withoutReplacing(
                   source->folder.get(), source->name, target->folder.get(), target->name)
            == 0;
    }

    // A trade in steps, as recorded before its first: the first name, the second, the name the first's
    // folder waits at meanwhile, and the places all three are reached beneath.
    struct Trade {
        fs::path first;
        fs::path second;
        fs::path waiting;
        std::vector<fs::path> places;
    };

    LiveRuns::Entry entryOf(const Trade& trade)
    {
        std::string payload = trade.second.native() + '\0' + trade.waiting.native();
        for (const auto& place : trade.places)
            payload += '\0' + place.native();
        return { trade.first.native(), std::move(payload) };
    }

    Trade tradeOf(const LiveRuns::Entry& entry)
    {
        std::vector<fs::path> parts;
        for (std::size_t start = 0; start <= entry.payload.size();) {
            std::size_t end = std::min(entry.payload.find('\0', start), entry.payload.size());
            parts.emplace_back(entry.payload.substr(start, end - start));
            start = end + 1;
        }
        parts.resize(std::max<std::size_t>(parts.size(), 2));
        return { entry.key, parts[0], parts[1], { parts.begin() + 2, parts.end() } };
    }

    // The steps of a trade that are still to take, each taken where its name is free: the second's
    // folder to the first name, then the first's from where it waits to the second name. What was
    // never begun stays as it is.
    void finished(const Trade& trade, const BeneathPlaces& places)
    {
        renamed(trade.second, trade.first, places);
        renamed(trade.waiting, trade.second, places);
    }

    // Trades `first` and `second`, where the file system cannot in one step, in three, each written to
    // the record before the first is taken, so that after a kill the next start finishes them
    // (`finishTrades`): the first's folder to a name beside it, the second's to the first name, then the
    // first's to the second name. Whether the second's folder reached the first name.
    bool tradedInSteps(
        LiveRuns::Locked& locked, const fs::path& first, const fs::path& second, const BeneathPlaces& places)
    {
        Trade trade { first, second,
            first.parent_path()
                / ("." + first.filename().string() + ".trading-" + platform::secureRandomHex(4)),
            places.paths() };
        try {
            locked.retain(LiveRuns::Kind::folderTrade, entryOf(trade));
            locked.write(LiveRuns::Kind::folderTrade);
        } catch (const std::exception& error) {
            platform::logError(first.string() + " and " + second.string()
                + " could not trade places, which this file system does not do in one step: the steps could "
                  "not be recorded ("
                + error.what() + ").");
            return false;
        }
        bool back = false;
        if (renamed(first, trade.waiting, places)) {
            GitGuardPutBack::reachedStep(GitGuardPutBack::Step::tradeStepTaken);
            back = renamed(second, first, places);
            if (back)
                GitGuardPutBack::reachedStep(GitGuardPutBack::Step::tradeStepTaken);
            renamed(trade.waiting, back ? second : first, places);
        }
        locked.forget(LiveRuns::Kind::folderTrade, trade.first.native());
        try {
            locked.write(LiveRuns::Kind::folderTrade);
        } catch (const std::exception&) {
            // What the record still names is done: the next start finds its names taken.
        }
        return back;
    }

    // Trades `first` and `second` in one step, or in steps where the file system cannot.
    bool traded(
        LiveRuns::Locked& locked, const fs::path& first, const fs::path& second, const BeneathPlaces& places)
    {
        auto one = reachedPlainly(first, places);
        auto other = reachedPlainly(second, places);
        if (!one || !other)
            return false;
        const int error = Renames::exchanged(one->folder.get(), one->name, other->folder.get(), other->name);
        return error == 0 || (error == EINVAL && tradedInSteps(locked, first, second, places));
    }

}

NotedFile reachedAt(const fs::path& path, const BeneathPlaces& places)
{
    auto reached = places.reach(path);
    return reached ? GitNotedFiles::noteReached(*reached, GitNotedFiles::maxCopiedBytes) : NotedFile {};
}

std::optional<Found> elsewhere(const fs::path& dataFolder, const GitNotedFiles::NotedUnit& unit,
    const fs::path& folder, const BeneathPlaces& places)
{
    auto noted = unit.files.find(folder);
    if (noted == unit.files.end() || noted->second.kind != NotedFile::Kind::other
        || reachedAt(folder, places) == noted->second)
        return std::nullopt;
    if (folder == unit.gitFolder) {
        if (auto found = namedFromItsName(dataFolder, unit, noted->second, places))
            return found;
    }
    // A hooks folder may also lie alone beside a folder above it: a command trades it with a folder of
    // its own anywhere there.
    const bool mayLieAlone = folder != unit.gitFolder;
    for (fs::path from = folder; isBelowAPlace(from, places); from = from.parent_path()) {
        const fs::path below = folder.lexically_relative(from);
        for (const auto& name : GitNotedFiles::entriesBeneath(places, from.parent_path())) {
            const fs::path moved = from.parent_path() / name;
            if (moved == from || MovedAsideByGuard::isOne(dataFolder, moved))
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

bool tradedBack(LiveRuns::Locked& locked, const GitNotedFiles::NotedUnit& unit, const fs::path& folder,
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
        || !traded(locked, folder, found.now, places))
        return false;
    platform::logError(folder.string() + " and " + found.now.string()
        + " had traded places during a Claude Code run; each was put back at its name.");
    return true;
}

std::optional<GitGuardPutBack::Undone> broughtBack(LiveRuns::Locked& locked, const fs::path& dataFolder,
    const Found& found, const fs::path& folder, const BeneathPlaces& places,
    const GitGuardPutBack::Clock& clock)
{
    // What took the name: the first link on the way, or what is at the name itself.
    auto reached = places.reach(folder);
    if (!reached)
        return std::nullopt;
    const fs::path taken = reached->path;
    if (taken != found.from && !isPathInside(taken, found.from))
        return std::nullopt;
    const fs::path usersWas = movedPath(taken, found.from, found.moved);
    if (!traded(locked, taken, usersWas, places))
        return std::nullopt;
    GitGuardPutBack::reachedStep(GitGuardPutBack::Step::folderTraded);
    loggedBack(folder, found.now);
    GitGuardPutBack::Undone undone { taken, {}, NotedFile::Kind::other, true };
    auto theirs = places.reach(usersWas);
    auto name = places.reach(taken);
    if (!theirs || theirs->throughLink || theirs->folder.get() < 0 || !name || name->folder.get() < 0)
        return undone;
    // Beside the name it took, as a file's change goes.
    undone.moved = moveAsideInto(theirs->folder.get(), theirs->name, name->folder.get(), name->name,
        MovedAsideByGuard::refusedLabel, clock());
    if (undone.moved.name)
        MovedAsideByGuard::note(dataFolder, name->folder.get(), *undone.moved.name);
    return undone;
}

bool movedBack(const Found& found, const BeneathPlaces& places)
{
    const fs::path folder = movedPath(found.now, found.moved, found.from);
    if (!renamed(found.moved, found.from, places)
        && (found.now == found.moved || !renamed(found.now, folder, places)))
        return false;
    loggedBack(folder, found.now);
    return true;
}

void finishTrades(LiveRuns::Locked& locked)
{
    for (const auto& entry : locked.leftBehind(LiveRuns::Kind::folderTrade)) {
        const Trade trade = tradeOf(entry);
        finished(trade, BeneathPlaces(trade.places));
        platform::logError(trade.first.string() + " and " + trade.second.string()
            + " were trading places in steps when the program was killed; what was left of the steps was "
              "taken.");
    }
    locked.write(LiveRuns::Kind::folderTrade);
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
