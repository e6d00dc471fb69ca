// The settings that everyday Git work writes into a repository's configuration and that Git reads as
// plain data: a remote's URL, an upstream, a user's name, a line-ending or sparse-checkout choice, how
// output looks, what status and logs show, caches and buffers, signing on or off. A change to any other
// setting, whatever it is and whatever a later Git adds, is what the guard counts.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

namespace vellumar::EverydaySettings {

// What a value that leads out of its configuration is read against. An absent function answers false.
struct Surroundings {
    // What Git makes of a remote's name: a remote the configuration gives a URL, one Git reads from a
    // file of the Git folder's ("remotes/<name>", "branches/<name>", which the guard does not judge), or,
    // for any other name, a URL.
    enum class RemoteName { configured, inFile, url };
    std::function<RemoteName(std::string_view name)> remoteNamed;
    // Whether Git, pushing to the local path `path` (as written, or a file URL's path decoded), enters
    // only what is the user's, whose hooks a push runs: Git folders the guard knew before the run, and
    // what lies outside every place where a command could write.
    std::function<bool(std::string_view path)> leadsOnlyToTheUsers;
    // Whether `value`, as "core.worktree", names the configuration's submodule's own work tree.
    std::function<bool(std::string_view value)> namesOwnWorkTree;
};

// Whether `key`, as `git config --list` prints it (section and name in lower case, a subsection as
// written), is on the everyday list and `value` is plain data where Git reads it: a URL that names no
// remote helper and no option (and, where Git may push, no repository of a writable place the guard did
// not know), a push refspec that neither deletes nor forces, a boolean where Git reads a boolean. An
// absent value is a key written without "=", which Git reads as true.
bool isEveryday(
    std::string_view key, std::optional<std::string_view> value, const Surroundings& surroundings);

}
