// The Git boundary of a run with commands, and this folder's one header for code outside it: what keeps the
// user's own Git, run later outside the sandbox, from executing anything a sandboxed command wrote into the
// repositories of the run's writable places.
// - What: the files Git runs or follows (hooks and the files hook links lead to, configuration,
//   "commondir", ".git" files, linked worktrees and submodules, a stopped rebase's state) and what
//   Git's configuration names as a program, hooks folder or include, as Git's own documentation lists
//   them (`WhatGitRuns`), in every repository a place holds or held.
// - How: the places' own repositories and the sequencer's state are denied to commands in the sandbox
//   (each a mount, whose cost grows with the square of their number); every repository found, with what
//   its configuration names, is also noted and watched for the run by `GitGuard`, which moves aside each
//   change that could make Git run something, from whichever process, and puts back what was there,
//   also at the next start after a kill. The search for them goes on across runs
//   (`GitRepositorySearch`).
// - What it leaves: repositories a command creates, project files the user runs later, and the bounds of
//   the searches, as docs/sandbox.md lists them.
// - For a run: `GitRepositories::commandProtection` finds what its sandbox denies and its guard notes;
//   `CommonDirPlaceholders` and `GitGuard` (with `GitGuardWatch`) hold it while the run lasts and put
//   right at the next start what a killed process left; `GitConfigPaths::Options` and
//   `GitCountedSettings::gitReaderForThisProcess` say how `git` is run to read configuration, and
//   `GitFolders::located` where Git finds a repository.
#pragma once

#include "VellumarMacCore/GitProtection/CommonDirPlaceholders.h"
#include "VellumarMacCore/GitProtection/GitConfigPaths.h"
#include "VellumarMacCore/GitProtection/GitCountedSettings.h"
#include "VellumarMacCore/GitProtection/GitFolders.h"
#include "VellumarMacCore/GitProtection/GitGuard.h"
#include "VellumarMacCore/GitProtection/GitGuardWatch.h"
#include "VellumarMacCore/GitProtection/GitRepositories.h"
