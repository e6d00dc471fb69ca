// A folder of Git repositories as a developer keeps one, for tests of what a run leaves in it.
#pragma once

#include <filesystem>

namespace vellumar::test {

// Makes in `folder` (created when missing) a plain repository "plain", one set up by husky 9 "husky"
// (its hooks in ".husky/_", each running "h", which runs the script of the hook's name in ".husky";
// only "pre-commit" has one), and "main" with a linked worktree "linked", each with one commit. Fails
// the test when it cannot.
void makeProjectsFolder(const std::filesystem::path& folder);

}
