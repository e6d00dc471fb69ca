// The settings that everyday Git work writes into a repository's configuration and that Git reads as
// plain data: a remote's URL, an upstream, a user's name, a line-ending or sparse-checkout choice. A
// change to any other setting, whatever it is and whatever a later Git adds, is what the guard counts.
#pragma once

#include <optional>
#include <string_view>

namespace vellumar::EverydaySettings {

// Whether `key`, as `git config --list` prints it (section and name in lower case, a subsection as
// written), is on the everyday list and `value` is plain data where Git reads it: a URL that names no
// remote helper and no option, a boolean where Git reads a boolean. An absent value is a key written
// without "=", which Git reads as true.
bool isEveryday(std::string_view key, std::optional<std::string_view> value);

}
