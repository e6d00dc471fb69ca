// The Git boundary of a run with commands, and this folder's one header for code outside it: what keeps
// the user's own Git, run later outside the sandbox, from executing anything a sandboxed command wrote
// into the repositories of the run's writable places. What it covers and leaves: docs/sandbox.md.
// - `GitRepositories::commandProtection` finds every repository a place holds or held, the search going
//   on across runs (`GitRepositorySearch`), and what Git runs or follows in each, hooks and what its
//   configuration names among them (`WhatGitRuns`). The places' own repositories and a stopped rebase's
//   state are denied in the sandbox, by mounts; every repository found is noted for the guard.
// - `GitGuard` (with `GitGuardWatch`) moves aside each change to what was noted, from whichever process,
//   and puts back what was there, also at the next start after a kill. `CommonDirPlaceholders` put a
//   "commondir" naming its own folder where the sandbox makes one read-only. The guard's sweep at the
//   run's end judges every Git folder in the places the same way, what a rebase, cherry-pick or revert
//   left stopped would run on "--continue" included (`StoppedSequences`).
// - `GitConfigPaths::Options` and `GitCountedSettings::gitReaderForThisProcess` say how `git` is run to
//   read configuration; `GitFolders::located` where Git finds a repository;
//   `HookSearchPath::readLoginSearchPath`, once per start, the PATH of the user's programs that a folder
//   a hook puts first on PATH could shadow.
#pragma once

#include "VellumarMacCore/GitProtection/CommonDirPlaceholders.h"
#include "VellumarMacCore/GitProtection/Finding/GitConfigPaths.h"
#include "VellumarMacCore/GitProtection/Judging/GitCountedSettings.h"
#include "VellumarMacCore/GitProtection/Finding/GitFolders.h"
#include "VellumarMacCore/GitProtection/GitGuard.h"
#include "VellumarMacCore/GitProtection/GitGuardWatch.h"
#include "VellumarMacCore/GitProtection/Finding/GitRepositories.h"
#include "VellumarMacCore/GitProtection/Finding/HookSearchPath.h"
