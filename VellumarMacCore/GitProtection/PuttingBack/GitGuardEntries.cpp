#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardEntries.h"

namespace vellumar::GitGuardEntries {

using GitNotedFiles::NotedFile;
using GitNotedFiles::NotedUnit;

LiveRuns::Entry entryOf(const NotedUnit& unit)
{
    return { unit.key().native(), GitNotedFiles::encoded({ unit }) };
}

LiveRuns::Entry keptOffEntryOf(
    const std::filesystem::path& path, const std::vector<std::filesystem::path>& places)
{
    return { path.native(),
        GitNotedFiles::encoded(
            { NotedUnit { std::nullopt, path.parent_path(), places, { { path, NotedFile {} } } } }) };
}

NotedUnit unitOf(std::string_view payload)
{
    auto read = GitNotedFiles::decoded(payload);
    return read.units.empty() ? NotedUnit {} : std::move(read.units.front());
}

}
