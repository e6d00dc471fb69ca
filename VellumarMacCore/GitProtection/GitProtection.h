// The Git boundary of a run with commands: what keeps the user's own Git, run later outside the sandbox,
// from executing anything a sandboxed command wrote into the repositories of the run's writable places.
// - What: the files Git runs or follows (hooks, configuration, "commondir", ".git" files, linked
//   worktrees and submodules) and what Git's configuration names as a program, hooks folder or include,
//   as Git's own documentation lists them (`WhatGitRuns`), in every repository a place holds or held.
// - How: the places' own repositories are denied to commands in the sandbox; the others are watched for
//   the run, and what a command changes there is moved aside and put back.
// - What it leaves: repositories a command creates, project files the user runs later, and the bounds of
//   the searches, as the README's "Commands and the sandbox" lists them.
#pragma once

#include "VellumarMacCore/GitProtection/CommonDirGuard.h"
#include "VellumarMacCore/GitProtection/CommonDirPlaceholders.h"
#include "VellumarMacCore/GitProtection/CommonDirWatch.h"
#include "VellumarMacCore/GitProtection/GitRepositories.h"
