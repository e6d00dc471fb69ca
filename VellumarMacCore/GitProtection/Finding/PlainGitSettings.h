// A configuration file's settings read without starting Git, where its bytes are in the plain form that
// `git config` itself writes: the guard reads where a Git folder's hooks run in every repository at each
// run's start and end, and a `git` for each would cost a message tens of milliseconds.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellumar::PlainGitSettings {

// One setting: its key as `git config --list` gives it (section and name in lowercase, a subsection as
// written) and its value, none for a key written without "=".
using Setting = std::pair<std::string, std::optional<std::string>>;

// Every setting of `bytes`, in order, as git-config(1) reads them; absent where any line is in a form
// read here no further than to be sure Git reads it otherwise or alike: a quote, a backslash, a comment
// after a section's header or a value, a section named with a dot, a name beside a header, a tab within a
// value, a setting before any section, a carriage return, a NUL or a byte-order mark. Git must read those.
// Never throws but for memory.
std::optional<std::vector<Setting>> settingsOf(std::string_view bytes);

// The value Git takes of `key` (as a `Setting`'s) in `settings`: the last one's; none where that one is
// written without "=", or there is none.
std::optional<std::string> lastValue(const std::vector<Setting>& settings, std::string_view key);

}
