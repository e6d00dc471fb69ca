#include "VellumarMacCore/GitProtection/PuttingBack/GitFolderWhereabouts.h"

#include "Platform/Log.h"
#include "Platform/Random.h"
#include "VellumarMacCore/Foundations/MoveAside.h"
#include "VellumarMacCore/Foundations/Renames.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"
#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardEntries.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <utility>

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

    using Identity = std::pair<dev_t, ino_t>;

    // What is at `path`, reached beneath the places through no link: its identity, absent where nothing
    // is; false where it cannot be reached.
    bool identityAt(const fs::path& path, const BeneathPlaces& places, std::optional<Identity>& identity)
    {
        identity.reset();
        auto reached = reachedPlainly(path, places);
        if (!reached)
            return false;
        struct stat status { };
        if (::fstatat(reached->folder.get(), reached->name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
            identity = Identity { status.st_dev, status.st_ino };
        return identity || errno == ENOENT;
    }

    bool isAt(const fs::path& path, const std::optional<Identity>& identity, const BeneathPlaces& places)
    {
        std::optional<Identity> there;
        return identity && identityAt(path, places, there) && there == identity;
    }

    // A trade in steps, as recorded before its first: the first name, the second, the name the first's
    // folder waits at meanwhile, the places all three are reached beneath, and the identities of the
    // first's folder, which goes to the second name, and of the second's, which goes to the first (absent
    // in an older build's record).
    struct Trade {
        fs::path first;
        fs::path second;
        fs::path waiting;
        std::vector<fs::path> places;
        std::optional<Identity> firstFolder;
        std::optional<Identity> secondFolder;
    };

    LiveRuns::Entry entryOf(const Trade& trade)
    {
        std::string payload = trade.second.native() + '\0' + trade.waiting.native() + '\0';
        for (const auto& identity : { trade.firstFolder, trade.secondFolder })
            payload += std::to_string(identity->first) + ' ' + std::to_string(identity->second) + ' ';
        for (const auto& place : trade.places)
            payload += '\0' + place.native();
        return { trade.first.native(), std::move(payload) };
    }

    // The two identities a record's third part holds; none where it holds a place, as an older build's.
    std::pair<std::optional<Identity>, std::optional<Identity>> identitiesOf(const std::string& text)
    {
        std::istringstream stream(text);
        Identity first;
        Identity second;
        stream >> first.first >> first.second >> second.first >> second.second >> std::ws;
        if (!stream || !stream.eof())
            return {};
        return { first, second };
    }

    Trade tradeOf(const LiveRuns::Entry& entry)
    {
        std::vector<fs::path> parts;
        for (std::size_t start = 0; start <= entry.payload.size();) {
            std::size_t end = std::min(entry.payload.find('\0', start), entry.payload.size());
            parts.emplace_back(entry.payload.substr(start, end - start));
            start = end + 1;
        }
        parts.resize(std::max<std::size_t>(parts.size(), 3));
        auto [firstFolder, secondFolder] = identitiesOf(parts[2]);
        auto places = parts.begin() + (firstFolder ? 3 : 2);
        return { entry.key, parts[0], parts[1], { places, parts.end() }, firstFolder, secondFolder };
    }

    // Frees `name` for a step of `trade`: what is there, if neither of the trade's folders, a command put
    // there since the steps began, and it goes aside beside it, noted as the guard's own. Whether the name
    // is free.
    bool freed(const Trade& trade, const fs::path& name, const BeneathPlaces& places,
        const fs::path& dataFolder, const GitGuardPutBack::Clock& clock)
    {
        std::optional<Identity> there;
        if (!identityAt(name, places, there))
            return false;
        if (!there)
            return true;
        if (there == trade.firstFolder || there == trade.secondFolder)
            return false;
        auto reached = reachedPlainly(name, places);
        const MovedAside moved = reached
            ? moveAside(reached->folder.get(), reached->name, MovedAsideByGuard::refusedLabel, clock())
            : MovedAside {};
        if (!moved.name)
            return false;
        MovedAsideByGuard::note(dataFolder, reached->folder.get(), *moved.name);
        platform::logError(name.string() + " was taken while " + trade.first.string() + " and "
            + trade.second.string() + " traded places in steps; what took it was moved aside as "
            + (name.parent_path() / *moved.name).string() + ".");
        return true;
    }

    // How often a step frees its name where a command takes it again and again.
    constexpr int kStepTries = 4;

    // Renames `from` to `to`, a step of `trade`, freeing `to` first. Whether it was taken.
    bool stepTaken(const Trade& trade, const fs::path& from, const fs::path& to, const BeneathPlaces& places,
        const fs::path& dataFolder, const GitGuardPutBack::Clock& clock)
    {
        for (int tried = 0; tried < kStepTries; ++tried) {
            if (!freed(trade, to, places, dataFolder, clock))
                return false;
            if (renamed(from, to, places))
                return true;
        }
        return false;
    }

    // The steps of `trade` left once its first was taken, whatever a command did between them: the
    // second's folder to the first name where it is still at the second, then the first's folder from
    // where it waits to the second name where the second's reached the first, or else back to the first
    // name. What a command put at a name a step needs goes aside first. Whether the first's folder waits
    // no more; `back`, whether the second's is at the first name.
    bool finished(const Trade& trade, const BeneathPlaces& places, const fs::path& dataFolder,
        const GitGuardPutBack::Clock& clock, bool& back)
    {
        if (isAt(trade.second, trade.secondFolder, places)
            && stepTaken(trade, trade.second, trade.first, places, dataFolder, clock))
            GitGuardPutBack::reachedStep(GitGuardPutBack::Step::tradeStepTaken);
        back = isAt(trade.first, trade.secondFolder, places);
        if (isAt(trade.waiting, trade.firstFolder, places))
            stepTaken(trade, trade.waiting, back ? trade.second : trade.first, places, dataFolder, clock);
        return !isAt(trade.waiting, trade.firstFolder, places);
    }

    void loggedLeft(const Trade& trade)
    {
        platform::logError(trade.first.string() + " and " + trade.second.string()
            + " could not finish trading places in steps, and " + trade.waiting.string()
            + " still holds what was at " + trade.first.string()
            + "; the steps left are taken at the next start.");
    }

    // Trades `first` and `second`, where the file system cannot in one step, in three, each written to
    // the record before the first is taken, so that after a kill the next start finishes them
    // (`finishTrades`): the first's folder to a name beside it, the second's to the first name, then the
    // first's to the second name. Whether the second's folder reached the first name.
    bool tradedInSteps(LiveRuns::Locked& locked, const fs::path& dataFolder, const fs::path& first,
        const fs::path& second, const BeneathPlaces& places, const GitGuardPutBack::Clock& clock)
    {
        Trade trade { first, second,
            first.parent_path()
                / ("." + first.filename().string() + ".trading-" + platform::secureRandomHex(4)),
            places.paths() };
        if (!identityAt(first, places, trade.firstFolder) || !identityAt(second, places, trade.secondFolder)
            || !trade.firstFolder || !trade.secondFolder)
            return false;
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
            if (!finished(trade, places, dataFolder, clock, back)) {
                loggedLeft(trade);
                return back;
            }
        }
        locked.forget(LiveRuns::Kind::folderTrade, trade.first.native());
        try {
            locked.write(LiveRuns::Kind::folderTrade);
        } catch (const std::exception&) {
            // What the record still names is done: the next start finds nothing waiting.
        }
        return back;
    }

    // Trades `first` and `second` in one step, or in steps where the file system cannot.
    bool traded(LiveRuns::Locked& locked, const fs::path& dataFolder, const fs::path& first,
        const fs::path& second, const BeneathPlaces& places, const GitGuardPutBack::Clock& clock)
    {
        auto one = reachedPlainly(first, places);
        auto other = reachedPlainly(second, places);
        if (!one || !other)
            return false;
        const int error = Renames::exchanged(one->folder.get(), one->name, other->folder.get(), other->name);
        return error == 0
            || (error == EINVAL && tradedInSteps(locked, dataFolder, first, second, places, clock));
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

bool tradedBack(LiveRuns::Locked& locked, const fs::path& dataFolder, const GitNotedFiles::NotedUnit& unit,
    const fs::path& folder, const Found& found, const BeneathPlaces& places,
    const GitGuardPutBack::Clock& clock)
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
        || !traded(locked, dataFolder, folder, found.now, places, clock))
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
    if (!traded(locked, dataFolder, taken, usersWas, places, clock))
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

void finishTrades(LiveRuns::Locked& locked, const fs::path& dataFolder, const GitGuardPutBack::Clock& clock)
{
    for (auto& entry : locked.leftBehind(LiveRuns::Kind::folderTrade)) {
        Trade trade = tradeOf(entry);
        const BeneathPlaces places(trade.places);
        // An older build's record holds no identities: what waits is the first's folder, and the second's
        // is at the first name where its step was taken, else still at the second.
        if (!trade.firstFolder) {
            identityAt(trade.waiting, places, trade.firstFolder);
            std::optional<Identity> atFirst;
            identityAt(trade.first, places, atFirst);
            identityAt(atFirst ? trade.first : trade.second, places, trade.secondFolder);
        }
        if (!isAt(trade.waiting, trade.firstFolder, places))
            continue;
        bool back = false;
        if (!finished(trade, places, dataFolder, clock, back)) {
            loggedLeft(trade);
            locked.retain(LiveRuns::Kind::folderTrade, std::move(entry));
            continue;
        }
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
