// Which of a run's tool calls the phone's activity marks for what the Git protection moved aside, or could
// not undo, during the run: Claude Code reports such a call as it saw it, which tells the user nothing.
#pragma once

#include "VellumarMacCore/ClaudeCode/ClaudeStreamParser.h"
#include "VellumarMacCore/Reply/MovedAsideFiles.h"

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::MovedAsideActivity {

inline constexpr std::string_view kMovedAsideStatus = "moved aside by the Git protection";
inline constexpr std::string_view kStayedStatus = "not undone by the Git protection";

// When the run's comparisons found what changed: as it changed, the guard's watch having followed every
// repository throughout the run, or only later (after each tool's result, or at the run's end), when a
// change may have waited past the end of the call that made it.
enum class Comparisons { asChangesCame, later };

// An absolute file path with its folder's links resolved, as the Git protection names what it moves aside;
// the file itself may be gone or a link. Absent for a relative path or a folder that cannot be resolved.
std::optional<std::filesystem::path> kernelResolved(const std::string& path);
// The name a Write or Edit wrote, so resolved.
std::optional<std::filesystem::path> writtenName(const ClaudeStreamParser::ToolUse& use);

// By call id, the status of each of `uses` that made, or could have made, one of `changes`: a change at the
// name a file tool wrote is that tool's; another one is the call's that alone was running when it was found,
// where comparisons came `asChangesCame`; and where no call can be told, it is every call but those denied
// (`deniedIDs`) and those that only read, since a command's processes may outlive its result and a result
// may be read late. What stayed (`GitGuard::MovedChange::stayed`) marks a call over what went aside.
std::map<std::string, std::string_view> statuses(const std::vector<ClaudeStreamParser::ToolUse>& uses,
    const std::set<std::string>& deniedIDs, const std::vector<MovedAsideFiles::Added>& changes,
    Comparisons comparisons);

}
