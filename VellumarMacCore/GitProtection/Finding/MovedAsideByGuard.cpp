#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"

#include "VellumarMacCore/GitProtection/Finding/IdentityRecord.h"

#include <algorithm>
#include <ctime>

namespace vellumar::MovedAsideByGuard {

namespace {

    namespace fs = std::filesystem;

    IdentityRecord& recordIn(const fs::path& dataFolder)
    {
        return IdentityRecord::in(dataFolder / recordName, limit);
    }

    bool isWithin(const fs::path& path, const fs::path& place)
    {
        return std::mismatch(place.begin(), place.end(), path.begin(), path.end()).first == place.end();
    }

}

void note(const fs::path& dataFolder, int folder, const std::string& name)
{
    const std::string identity[] = { IdentityRecord::identityAt(folder, name) };
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    recordIn(dataFolder).note(identity, now);
}

bool isOne(const fs::path& dataFolder, const fs::path& path)
{
    const IdentityRecord& record = recordIn(dataFolder);
    return !record.empty() && record.notedAt(IdentityRecord::identityOf(path));
}

bool liesIn(const fs::path& dataFolder, const fs::path& path, const std::vector<fs::path>& places)
{
    const IdentityRecord& record = recordIn(dataFolder);
    if (record.empty())
        return false;
    auto place = std::find_if(
        places.begin(), places.end(), [&](const fs::path& one) { return isWithin(path, one); });
    if (place == places.end())
        return false;
    for (fs::path folder = path; folder != *place && folder.has_relative_path();
         folder = folder.parent_path()) {
        if (record.notedAt(IdentityRecord::identityOf(folder)))
            return true;
    }
    return false;
}

}
