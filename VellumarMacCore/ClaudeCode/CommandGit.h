// What a run hands its commands' own Git through the settings' "env": the user's identity, which Git
// cannot find in the hidden home folder (and on Linux cannot guess where the host name has no domain),
// and an excludes file naming the placeholders the sandbox puts at protected names that do not exist,
// which Git refuses to add ("can only add regular files") and would otherwise stop `git add -A`, and
// Claude Code's own leftovers, which commands can neither stash nor clean away.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/GitProtection/GitProtection.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::CommandGit {

struct Identity {
    std::optional<std::string> name;
    std::optional<std::string> email;
};

struct Handover {
    Identity identity;
    // Given to commands' Git as "core.excludesFile".
    std::optional<std::filesystem::path> excludesFile;
};

// The excludes file's line for the staging folder Claude Code makes for its own writes at the top of
// the project it runs in (the work folder, or a user's repository it ran in before) and leaves there:
// the sandbox keeps ".claude" read-only to commands, so `git stash -u` and `git clean -d` would fail to
// remove it. Anchored at the top of each repository, where Claude Code puts it.
inline constexpr std::string_view claudeCodeStagingPattern = "/.claude/.cc-writes/\n";

// The user's own "user.name" and "user.email" as `git config --global --get` prints them outside the
// sandbox with `options.home` as HOME: nothing else of the user's configuration. A value Git does not
// print (none set, no `git`, its time limit passed) or that holds a line feed or NUL is absent. Runs
// `git` twice under time limits; never throws.
Identity userIdentity(const GitConfigPaths::Options& options);

// The excludes file's lines: for each of `placeholders` (absolute paths that do not exist yet) that lies
// in a repository's work tree, the pattern that matches its path alone, anchored at the top of the
// repository that holds it (a ".git" folder holding a HEAD, or a ".git" file). Those inside a Git
// folder (which Git never adds), in no repository, below another placeholder, or holding a line feed
// (which a pattern cannot name) add nothing. Empty when nothing is left. Reads the disk.
std::string excludePatterns(const std::vector<std::filesystem::path>& placeholders);

// The settings' "env" object: Git's global configuration off ("GIT_CONFIG_GLOBAL" as "/dev/null"),
// the identity as "GIT_AUTHOR_*" and "GIT_COMMITTER_*" (absent values left out) and the excludes file
// as the first of "GIT_CONFIG_COUNT" settings.
JSON environment(const Handover& handover);

}
