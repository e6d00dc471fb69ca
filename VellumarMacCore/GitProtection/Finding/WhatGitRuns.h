// Git's own list of what it runs, as the documentation of Git 2.39 names it: hooks (githooks(5)), the
// settings whose value is a command or names where Git reads hooks, templates or configuration from
// (git-config(1), and gitattributes(5), git-interpret-trailers(1) and git-archive(1) for the drivers,
// trailers and archive filters they define), the entries that make a folder a Git folder and the state
// Git acts on later (gitrepository-layout(5)). Every list the protection reads comes from this one table.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::WhatGitRuns {

enum class Kind {
    hook, // a file in a hooks folder that Git runs
    setting, // a configuration key
    sequencerState, // a Git folder's record of a stopped rebase, cherry-pick or revert, with its to-do list
    sequencerCommand, // a to-do list's command that does Git's own work and runs no program
    mergeStrategy, // a merge strategy built into Git; any other name is a program Git runs
};

// How Git uses a setting's value.
enum class Reading {
    none, // not a setting
    shellCommand, // given to "sh -c" (or run directly when it needs no shell) at the work tree's top
    shellCommandUnlessBoolean, // the same, but a boolean turns a built-in behaviour on or off
    programPath, // run as one program, its value a path and never split
    credentialHelper, // "!" and a shell command, an absolute path, or the name of "git credential-NAME"
    bangCommand, // "!" and a shell command; anything else is Git's own work
    hooksFolder, // the folder Git runs hooks from
    include, // a configuration file Git reads as if written in place
    templateFolder, // the folder whose "hooks/" and "config" "git init" and "git clone" copy
};

struct Row {
    Kind kind;
    // As the documentation writes it: "filter.<driver>.clean", "alias.*", "pre-commit", "HEAD".
    std::string_view name;
    Reading reading = Reading::none;
};

std::span<const Row> rows();

// The names of the rows of `kind`, in the table's order.
std::vector<std::string_view> namesOf(Kind kind);

bool isHookName(std::string_view name);

// A pattern matching the keys of a setting written as the documentation writes it ("filter.<driver>.clean",
// "alias.*"), as `git config` prints them: section and name in lower case, a subsection as written.
std::string namePattern(std::string_view name);

// A pattern for `git config --get-regexp` (which sees the section and the name in lower case, a
// subsection as written) matching every setting of the table, and no other.
std::string keyPattern();

// How Git uses the value of `key` as `git config` prints it; absent for a key not in the table.
std::optional<Reading> readingOf(std::string_view key);

}
