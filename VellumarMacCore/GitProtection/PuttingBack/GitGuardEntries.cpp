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

LiveRuns::Entry placeEntryOf(const std::filesystem::path& place, const PlaceHeld& held)
{
    std::string payload;
    for (const timespec& time : { held.built, held.knownFrom })
        payload += std::to_string(time.tv_sec) + " " + std::to_string(time.tv_nsec) + " ";
    payload.pop_back();
    return { place.native(), std::move(payload) };
}

PlaceHeld placeHeldOf(std::string_view payload)
{
    long numbers[4] {};
    std::size_t count = 0;
    bool more = true;
    while (more && count < 4) {
        const auto space = payload.find(' ');
        more = space != std::string_view::npos;
        const std::string_view number = payload.substr(0, space);
        auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), numbers[count++]);
        if (error != std::errc() || end != number.data() + number.size())
            return {};
        payload.remove_prefix(more ? space + 1 : payload.size());
    }
    if (more || (count != 2 && count != 4))
        return {};
    return { { numbers[0], numbers[1] }, count == 4 ? timespec { numbers[2], numbers[3] } : timespec {} };
}

}
