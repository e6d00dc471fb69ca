#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardKeptUnits.h"

#include "VellumarMacCore/Permissions/PathContainment.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace vellumar::GitGuardKeptUnits {

namespace {

    namespace fs = std::filesystem;
    using GitNotedFiles::NotedUnit;

    struct Kept {
        NotedUnit noted;
        fs::path liveRuns;
        std::vector<fs::path> named;
        // How many watches kept between runs look at it.
        int keptBy = 0;
    };

    struct Cache {
        std::mutex lock;
        std::map<fs::path, Kept> byKey;
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

    // Whether `unit`, noted beneath `before`, would be noted the same beneath `now`: each of its Git
    // folder, work tree and configured paths is reached from the same place. A link of a hook's chain
    // may lead beneath a place that the earlier run did not have, so a unit with one is noted again.
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

}

void keep(const NotedUnit& noted, const fs::path& liveRuns, const std::vector<fs::path>& named)
{
    Cache& shared = cache();
    std::lock_guard lock(shared.lock);
    Kept& kept = shared.byKey[noted.key()];
    kept = { noted, liveRuns, named, kept.keptBy + 1 };
}

void forget(const std::vector<fs::path>& keys)
{
    Cache& shared = cache();
    std::lock_guard lock(shared.lock);
    for (const auto& key : keys) {
        auto kept = shared.byKey.find(key);
        if (kept != shared.byKey.end() && --kept->second.keptBy <= 0)
            shared.byKey.erase(kept);
    }
}

void refresh(const NotedUnit& noted)
{
    Cache& shared = cache();
    std::lock_guard lock(shared.lock);
    if (auto kept = shared.byKey.find(noted.key()); kept != shared.byKey.end())
        kept->second.noted = noted;
}

bool contains(const fs::path& key)
{
    Cache& shared = cache();
    std::lock_guard lock(shared.lock);
    return shared.byKey.contains(key);
}

std::optional<NotedUnit> taken(const NotedUnit& bare, const fs::path& liveRuns,
    const std::vector<fs::path>& named, const std::vector<fs::path>& places)
{
    Cache& shared = cache();
    std::lock_guard lock(shared.lock);
    auto kept = shared.byKey.find(bare.key());
    if (kept == shared.byKey.end() || kept->second.liveRuns != liveRuns || kept->second.named != named
        || kept->second.noted.gitFolder != bare.gitFolder || kept->second.noted.workTree != bare.workTree
        || !notedAlikeBeneath(kept->second.noted, named, kept->second.noted.places, places))
        return std::nullopt;
    NotedUnit unit = kept->second.noted;
    unit.places = places;
    return unit;
}

}
