// Where a configuration's settings lead out of it, read from the disk as Git reads it: the Git folder a
// remote's local path takes a push into, and the work tree a submodule's Git folder belongs to.
#pragma once

#include "VellumarMacCore/GitProtection/Judging/EverydaySettings.h"
#include "VellumarMacCore/GitProtection/Judging/GitCountedSettings.h"

#include <vector>

namespace vellumar::WhereSettingsLead {

// What the everyday list reads `settings` (one side of a change to the configuration of `repository`)
// against: which remotes they give a URL, where a local path leads a push, and whether "core.worktree"
// names the submodule's own work tree. Reads the disk when asked, not before; the answer holds
// references to both arguments. Never throws but for memory.
EverydaySettings::Surroundings surroundingsOf(const GitCountedSettings::Repository& repository,
    const std::vector<GitCountedSettings::Setting>& settings);

}
