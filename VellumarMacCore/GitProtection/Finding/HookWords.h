// The commands and words of a hook's script as a POSIX shell reads them, each word with what the guard
// can know of its expansions written out and the rest marked as unknown, so that a folder the hook puts
// first on PATH, or a file it sources, is followed however it is spelled, and what cannot be followed
// is seen as such rather than guessed.
#pragma once

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::HookWords {

// Stands, in an expanded word, for what the guard cannot know: a command's output, a variable it does
// not know.
inline constexpr char kUnknown = '\x01';
// Stands for the PATH the hook was given: the user's own folders, none of them put first by the hook.
inline constexpr char kGivenPath = '\x02';
// A blank inside quotes, which the word keeps.
inline constexpr char kQuotedBlank = '\x03';
// Stands for what Git hands the hook, its arguments ("$1", "$@", "$#"...), and a command's status ("$?"):
// not known either, but no command wrote it.
inline constexpr char kFromGit = '\x04';

struct Known {
    std::filesystem::path script; // "$0": the hook Git runs, or the one that sourced this file
    std::filesystem::path top; // where the hook runs, as `git rev-parse --show-toplevel` prints it
    // Set by the scripts so far, expanded; one set again to something else is no longer known.
    std::map<std::string, std::string, std::less<>> variables;
    const CommandEnvironment* environment = nullptr; // what the hook is run with; none, an empty one
};

struct Word {
    enum class Role { argument, assignment, command, sourced, redirection };
    std::string text; // expanded
    std::string_view written;
    Role role;
};

struct Command {
    std::vector<Word> words;
    // Whether its text may set PATH, in the shell or any other language: the name "PATH" followed by
    // "=" or "+=", past quotes and brackets ("PATH=", "os.environ['PATH'] =", "process.env.PATH =").
    bool setsPath = false;
};

// Calls `each` with every simple command of `text`, in order, with `known` as it stands there, those a
// command substitution runs before the command holding it: a command of assignments alone (or after
// "export", "local", "readonly", "declare", "typeset") sets `known.variables`, and "name=(...)" and
// "name+=(...)" an array, its words joined by blanks. Expanded: "~" ("~+" is where the hook runs),
// "$HOME" and every variable of `known.environment` but "PWD" and "PATH", "$PWD", "$0", what the
// scripts set, "${name}" with ":-", "-", ":+", "+", "%", "%%", "#" and "##" (a default applies where
// neither the scripts nor the environment set the name), "${name[@]}" and "${name[*]}", and "$(pwd)",
// "$(cd WORD && pwd)", "$(git rev-parse --show-toplevel)", "$(dirname WORD)" and "$(basename WORD)"; the
// hook's arguments and a status are `kFromGit`, every other expansion is `kUnknown`. Quotes join what
// they hold to the rest of the word; a comment is no word. Never throws but for memory.
void readCommands(std::string_view text, Known& known, const std::function<void(const Command&)>& each);

}
