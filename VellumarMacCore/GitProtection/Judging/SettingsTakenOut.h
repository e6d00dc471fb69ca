// A Git configuration file with some of its settings taken out and the rest kept byte for byte, so that
// a repository whose configuration went aside for a few settings keeps working with the others.
#pragma once

#include "VellumarMacCore/GitProtection/Judging/GitCountedSettings.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vellumar::SettingsTakenOut {

// `configuration` without the lines of every setting whose key, as `git config --list` prints it
// (section and name in lower case, a quoted subsection as written), is one of `keys`: a line that holds
// a section's header and a setting keeps the header. Comments, sections and the other settings stay as
// written. Absent where the bytes are not read as Git reads them (an unclosed header or quote), so that
// the caller keeps nothing rather than a guess. The caller reads the result with Git before trusting it.
std::optional<std::string> configurationWithout(
    std::string_view configuration, const std::set<std::string, std::less<>>& keys);

// A configuration without the settings that counted, to take its place, so that Git goes on working there
// with the others.
struct Kept {
    std::string configuration;
    std::set<std::string, std::less<>> takenOut;
};
// `configuration` without the settings of every key in `counted`, where the repository's Git reads what
// is left and finds nothing more in it that counts against the settings `before`; absent where not.
// Never throws but for memory.
std::optional<Kept> withoutCounted(std::string_view configuration,
    const std::vector<GitCountedSettings::CountedKey>& counted,
    const std::vector<GitCountedSettings::Setting>& before, const GitCountedSettings::Repository& repository);

}
