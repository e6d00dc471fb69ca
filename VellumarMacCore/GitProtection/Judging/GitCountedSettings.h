// Which changes to a configuration file's settings count: every setting added, changed or removed that
// is not on the everyday list (`EverydaySettings`) with a plain value. What decides whether a change to a
// repository's "config" is put back, so that the everyday Git work that writes configuration
// ("git push -u", "git remote add", "git config user.email", "git submodule init") keeps its changes,
// and whatever else a Git of any version reads there does not.
#pragma once

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::GitCountedSettings {

// Every setting of a configuration file's bytes, in Git's own order as "<key>\n<value>\0" each ("<key>\0"
// for a key written without "="); absent when Git cannot read them (a file Git refuses stops every Git
// command, and is put back too).
using Reader = std::function<std::optional<std::string>(std::string_view configuration)>;

// Reads with the `git` found in `searchPath` (`git config --file`, no includes, neither the system's
// nor the user's configuration), from a private temporary copy of the bytes, under a time limit.
// Any thread; never throws.
Reader gitReader(std::string searchPath, CommandRunnerFunction run = runCommand);

// The reader for this process's PATH.
Reader gitReaderForThisProcess();

// One setting as a `Reader` gives it; no value for a key written without "=".
struct Setting {
    std::string key;
    std::optional<std::string> value;

    friend auto operator<=>(const Setting&, const Setting&) = default;
};

// The settings of a `Reader`'s output, in its order.
std::vector<Setting> settingsOf(std::string_view listing);

// Whether the change from the settings `before` to `after` counts: absent when every setting it adds,
// changes or removes is on the everyday list with a plain value, else what counted for a log line
// ("core.fsmonitor was set, protocol.ext.allow was set": at most a few keys, cut to printable bytes).
// Settings are compared as a multiset, so that neither their order nor a repeated everyday key hides a
// change.
std::optional<std::string> judged(const std::vector<Setting>& before, const std::vector<Setting>& after);

// The same for a configuration file's bytes, read with `settings`; a file Git cannot read counts.
// Never throws but for memory.
std::optional<std::string> judged(const Reader& settings, std::string_view before, std::string_view after);

}
