#include "VellumarMacCore/GitProtection/PuttingBack/GitGuardEntries.h"

#include <charconv>
#include <string>

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

LiveRuns::Entry placeEntryOf(const std::filesystem::path& place, const timespec& built)
{
    return { place.native(), std::to_string(built.tv_sec) + " " + std::to_string(built.tv_nsec) };
}

timespec builtOf(std::string_view payload)
{
    const auto space = payload.find(' ');
    timespec built {};
    if (space == std::string_view::npos)
        return {};
    const char* end = payload.data() + payload.size();
    auto seconds = std::from_chars(payload.data(), payload.data() + space, built.tv_sec);
    auto nanoseconds = std::from_chars(payload.data() + space + 1, end, built.tv_nsec);
    if (seconds.ec != std::errc() || seconds.ptr != payload.data() + space || nanoseconds.ec != std::errc()
        || nanoseconds.ptr != end)
        return {};
    return built;
}

}
