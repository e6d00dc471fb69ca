// Which of Git's settings name a program that Git runs, and which files such a value names, resolved
// as Git resolves them when it runs the program: what a command must not rewrite so that the user's
// own Git, later and outside the sandbox, runs nothing of the command's.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::GitProgramSettings {

// Where Git runs a program and how it expands "~".
struct Resolution {
    // The work tree's top, where Git starts its programs; the Git folder of a bare repository.
    std::filesystem::path top;
    std::filesystem::path home;
};

// The files that Git, running the value of `key` (as `git config` prints it, a command of
// `WhatGitRuns`' table), would run or hand to the program it runs: a program named with a "/" (whether it
// exists yet or not, since a command could make it; but one that does not exist only where its folder does,
// since the sandbox would turn a missing folder on the way into an empty read-only one for the whole run,
// such as a "node_modules" that "npm install" then cannot fill), and any other word of the command that names an existing
// file, such as a script given to "sh". A program without a "/" is found through PATH and adds nothing; so
// does a value that is a boolean where Git reads one, or an alias that names Git's own commands. A command is
// split into words as the shell splits it (blanks, quotes, backslashes, ";", "&", "|", line ends and
// parentheses; the code in a quoted word, as given to "sh -c", once more), after the "!" that marks one in an
// alias or a credential helper; askpass and the signing programs are one path each, as Git runs them without
// a shell. Relative words are taken from `top`; "~" and "~user" at the start of an unquoted word are
// expanded, "$" expansions are not; words after "cd <folder>" are taken from that folder. Reads the disk
// to tell what exists.
std::vector<std::filesystem::path> namedFiles(
    std::string_view key, std::string_view value, const Resolution& resolution);

// A path as Git's configuration means it: `value` taken from `relativeTo` unless absolute, "~" as
// `home`, "~user" as that user's home. Absent for "%(prefix)/" (Git's own installation) and for the
// home of a user that does not exist.
std::optional<std::filesystem::path> configuredPath(
    std::string_view value, const std::filesystem::path& relativeTo, const std::filesystem::path& home);

// The folder of the scripts that the hooks in `hooksFolder` run by a hook manager's custom: husky keeps
// its runners in ".husky/_", set as "core.hooksPath", and each runs the script of its own name in
// ".husky". So, when `hooksFolder` holds one of Git's hook names, the folder's parent, to be protected
// whole: a name protected one by one where no script exists shows to commands' Git as a file it cannot
// add. Absent when the parent is `top` or above it, where files with hook names are ordinary project
// files.
std::optional<std::filesystem::path> hookManagerFolder(
    const std::filesystem::path& hooksFolder, const std::filesystem::path& top);

}
