// Which changes to a configuration file's settings count: every setting added, changed or removed that
// is not on the everyday list (`EverydaySettings`) with a plain value. What decides whether a change to a
// repository's "config" is put back, so that the everyday Git work that writes configuration
// ("git push -u", "git remote add", "git config user.email", "git submodule init") keeps its changes,
// and whatever else a Git of any version reads there does not.
#pragma once

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <filesystem>
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

// The setting of `key` (as a `Reader` gives it: section and name in lowercase) that Git takes: the last
// one. Null where there is none.
const Setting* lastOf(const std::vector<Setting>& settings, std::string_view key);

// The repository a configuration belongs to, for the settings whose value leads out of it: a remote
// that is a local path, a submodule's work tree.
struct Repository {
    std::filesystem::path gitFolder; // as the kernel resolves it
    // Its work tree's top, where Git runs and takes a relative path from; absent where it has none, or
    // only its configuration tells.
    std::optional<std::filesystem::path> workTree;
    // Whether the guard knew a Git folder (as the kernel resolves it) before the run: a remote that
    // leads Git into any other within a place where commands could write counts. Absent: it knew none.
    std::function<bool(const std::filesystem::path&)> isKnownGitFolder;
    // Reads its configuration's settings, and those of the other files Git reads as configuration there
    // (the superproject's ".gitmodules").
    Reader settings;
    // Whether a command of some run could write at a path (as the kernel resolves it): what lies outside
    // every such place, such as a repository granted only for reading, holds nothing a command wrote.
    // Absent: anywhere.
    std::function<bool(const std::filesystem::path&)> isWritable = nullptr;
};

// A key of which a setting that counted came (else went), as `Reader` gives it.
struct CountedKey {
    std::string key;
    bool came = true;
};

// The keys of the settings that the change from `before` to `after` adds, changes or removes and that
// are not on the everyday list with a plain value, each once, in key order; none when the change does
// not count.
// Settings are compared as a multiset, so that neither their order nor a repeated everyday key hides a
// change; each is read among the settings of its side, so that one the command left as it was but whose
// meaning it changed (a remote's name whose remote it removed, which Git then takes for a path) counts.
// Reads the disk where a value leads out of the configuration.
std::vector<CountedKey> countedKeys(
    const std::vector<Setting>& before, const std::vector<Setting>& after, const Repository& repository);

// What counted for a log line and the bot: each key with what the setting lets a command do
// ("core.fsmonitor was set (can make Git run a program), http.proxy was set (changes where Git connects
// or whom it trusts)": at most a few keys, cut to printable bytes, and how many more).
std::string reasonFor(const std::vector<CountedKey>& keys);

// Whether the change from the settings `before` to `after` counts: absent when no key counts
// (`countedKeys`), else `reasonFor` them.
std::optional<std::string> judged(
    const std::vector<Setting>& before, const std::vector<Setting>& after, const Repository& repository);

// The same for a configuration file's bytes, read with the repository's `settings`; a file Git cannot
// read counts. Never throws but for memory.
std::optional<std::string> judged(
    std::string_view before, std::string_view after, const Repository& repository);

}
