#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardKeptUnits.h"

#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardEntries.h"
#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace vellumar::GitGuardKeptUnits {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedUnit;

    struct Kept {
        // Encoded, as the registry holds it: a unit read back, its paths split into their parts, takes
        // four times as much, with thousands of repositories kept.
        std::string payload;
        std::string liveRuns;
        std::vector<fs::path> named;
        // How many watches kept between runs look at it.
        int keptBy = 0;
    };

    struct Cache {
        std::mutex lock;
        std::map<std::string, Kept> byKey;
    };

    Cache& cache()
    {
        static Cache shared;
        return shared;
    }

    // The outermost of `places` that holds `path`, from where it is reached (`BeneathPlaces::reach`).
    std::optional<fs::path> outermostPlace(const fs::path& path, const std::vector<fs::path>& places)
    {
        std::optional<fs::path> outermost;
        for (const auto& place : places) {
            if (isStandardizedPathInside(path, place)
                && (!outermost || isStandardizedPathInside(*outermost, place)))
                outermost = place;
        }
        return outermost;
    }

}

bool notedAlikeBeneath(const NotedUnit& unit, const std::vector<fs::path>& named,
    const std::vector<fs::path>& before, const std::vector<fs::path>& now)
{
    std::vector<fs::path> roots = named;
    for (const auto& root : { unit.gitFolder, unit.workTree }) {
        if (root)
            roots.push_back(*root);
    }
    return std::all_of(roots.begin(), roots.end(), [&](const fs::path& root) {
        return outermostPlace(root, before) == outermostPlace(root, now);
    }) && std::none_of(unit.files.begin(), unit.files.end(), [](const auto& file) {
        return file.second.kind == GitNotedFiles::NotedFile::Kind::link;
    });
}

void keep(const LiveRuns::Entry& noted, const fs::path& liveRuns, const std::vector<fs::path>& named)
{
    Cache& shared = cache();
    std::lock_guard lock(shared.lock);
    Kept& kept = shared.byKey[noted.key];
    kept = { noted.payload, liveRuns.native(), named, kept.keptBy + 1 };
}

void forget(const std::vector<fs::path>& keys)
{
    Cache& shared = cache();
    std::lock_guard lock(shared.lock);
    for (const auto& key : keys) {
        auto kept = shared.byKey.find(key.native());
        if (kept != shared.byKey.end() && --kept->second.keptBy <= 0)
            shared.byKey.erase(kept);
    }
}

void refresh(const LiveRuns::Entry& noted)
{
    Cache& shared = cache();
    std::lock_guard lock(shared.lock);
    if (auto kept = shared.byKey.find(noted.key); kept != shared.byKey.end())
        kept->second.payload = noted.payload;
}

bool contains(const fs::path& key)
{
    Cache& shared = cache();
    std::lock_guard lock(shared.lock);
    return shared.byKey.contains(key.native());
}

std::optional<NotedUnit> taken(const NotedUnit& bare, const fs::path& liveRuns,
    const std::vector<fs::path>& named, const std::vector<fs::path>& places)
{
    Cache& shared = cache();
    std::string payload;
    {
        std::lock_guard lock(shared.lock);
        auto kept = shared.byKey.find(bare.key().native());
        if (kept == shared.byKey.end() || kept->second.liveRuns != liveRuns.native()
            || kept->second.named != named)
            return std::nullopt;
        payload = kept->second.payload;
    }
    // Read back outside the lock: a run's start takes a thousand units on several threads.
    NotedUnit unit = GitGuardEntries::unitOf(payload);
    if (unit.gitFolder != bare.gitFolder || unit.workTree != bare.workTree
        || !notedAlikeBeneath(unit, named, unit.places, places))
        return std::nullopt;
    unit.places = places;
    return unit;
}

}
