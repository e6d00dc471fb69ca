#include "VellumarMacCore/Reply/MovedAsideActivity.h"

#include <algorithm>
#include <system_error>

namespace vellumar::MovedAsideActivity {

namespace {

    namespace fs = std::filesystem;
    using ToolUse = ClaudeStreamParser::ToolUse;

    // Whether a call may have written anything: all but those that only read.
    bool mayWrite(const ToolUse& use)
    {
        return use.kind != "read" && use.kind != "search" && use.kind != "web";
    }

    // Whether the call still ran, or had left processes running, at `at`.
    bool wasRunning(const ToolUse& use, std::int64_t at)
    {
        const JSON* background = use.input ? use.input->subscript("run_in_background") : nullptr;
        return use.at <= at
            && (!use.endedAt || *use.endedAt >= at || (background && background->boolValue() == true));
    }

    // The calls that made `change`, or every call that could have.
    std::vector<const ToolUse*> makersOf(const std::vector<const ToolUse*>& writers,
        const MovedAsideFiles::Added& added, Comparisons comparisons)
    {
        const fs::path changed = MovedAsideFiles::changedName(added.change.path);
        std::vector<const ToolUse*> makers;
        std::ranges::copy_if(writers, std::back_inserter(makers),
            [&](const ToolUse* use) { return writtenName(*use) == changed; });
        if (!makers.empty())
            return makers;
        if (comparisons == Comparisons::asChangesCame) {
            std::ranges::copy_if(writers, std::back_inserter(makers),
                [&](const ToolUse* use) { return wasRunning(*use, added.at); });
            if (makers.size() == 1)
                return makers;
        }
        return writers;
    }

}

std::optional<fs::path> kernelResolved(const std::string& path)
{
    fs::path file(path);
    if (!file.is_absolute())
        return std::nullopt;
    std::error_code error;
    fs::path folder = fs::weakly_canonical(file.parent_path(), error);
    if (error)
        return std::nullopt;
    return folder / file.filename();
}

std::optional<fs::path> writtenName(const ToolUse& use)
{
    return use.kind == "write" ? kernelResolved(use.target) : std::nullopt;
}

std::map<std::string, std::string_view> statuses(const std::vector<ToolUse>& uses,
    const std::set<std::string>& deniedIDs, const std::vector<MovedAsideFiles::Added>& changes,
    Comparisons comparisons)
{
    std::vector<const ToolUse*> writers;
    for (const auto& use : uses) {
        if (mayWrite(use) && !deniedIDs.contains(use.id))
            writers.push_back(&use);
    }
    std::map<std::string, std::string_view> marked;
    for (const auto& added : changes) {
        if (added.change.stayed && added.change.stayed->placeUnrecorded)
            continue;
        for (const ToolUse* use : makersOf(writers, added, comparisons)) {
            if (added.change.stayed)
                marked.insert_or_assign(use->id, kStayedStatus);
            else
                marked.try_emplace(use->id, kMovedAsideStatus);
        }
    }
    return marked;
}

}
