// Which of a configuration file's settings can make Git run something (`WhatGitRuns::keyPattern`: a
// program, a hooks folder, a template folder or more configuration): what decides whether a change
// to a repository's "config" is put back, so that the everyday Git work that writes configuration
// ("git push -u", "git remote add", "git config user.email", "git submodule init") keeps its changes.
#pragma once

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::GitCountedSettings {

// The counted settings of a configuration file's bytes, in Git's own order as "<key>\n<value>\0" each;
// absent when Git cannot read them (a file Git refuses stops every Git command, and is put back too).
using Reader = std::function<std::optional<std::string>(std::string_view configuration)>;

// Reads with the `git` found in `searchPath` (`git config --file`, no includes, neither the system's
// nor the user's configuration), from a private temporary copy of the bytes, under a time limit.
// Any thread; never throws.
Reader gitReader(std::string searchPath, CommandRunnerFunction run = runCommand);

// The reader for this process's PATH.
Reader gitReaderForThisProcess();

}
