// Repositories that come inside a guarded one during a run: a submodule's Git folder that
// "git submodule add" makes below ".git/modules/", or a repository that the superproject's index comes
// to record as a gitlink ("git init emb; git add emb"). The user's Git in the superproject enters them
// ("git status" looks into each submodule), so what they hold is judged against an empty repository:
// each hook counts, and each setting that an empty repository does not hold and the everyday list does
// not name.
#pragma once

#include "VellumarMacCore/GitProtection/Judging/GitCountedSettings.h"
#include "VellumarMacCore/GitProtection/Judging/GitNotedFiles.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vellumar::InnerRepositories {

struct Counted {
    std::filesystem::path path; // a hook or a configuration file, to go aside
    std::string reason; // what counted, for the log line
};

// What counts in each repository inside `superproject` whose Git folder (as the kernel resolves it)
// `isGuarded` does not know: those a run noted when it started are judged against what it noted instead.
// A gitlink whose ".git" is a file is left to the submodule's Git folder it names below ".git/modules/".
// Reads the disk, and the superproject's index with the `git` of this process's PATH in a private empty
// Git folder (so that nothing the superproject's configuration names runs), under a time limit. An index
// Git cannot read that way (split, or past the output limit) names no gitlink. Never throws but for
// memory.
std::vector<Counted> counted(const GitNotedFiles::NotedUnit& superproject,
    const std::function<bool(const std::filesystem::path&)>& isGuarded,
    const GitCountedSettings::Reader& settings);

}
