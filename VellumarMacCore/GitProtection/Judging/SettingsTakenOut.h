// A Git configuration file with some of its settings taken out and the rest kept byte for byte, so that
// a repository whose configuration went aside for a few settings keeps working with the others.
#pragma once

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

}
