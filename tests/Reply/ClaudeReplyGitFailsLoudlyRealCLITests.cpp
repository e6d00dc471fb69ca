// Where the guard of a granted "~/Projects" cannot undo what a command planted, with the real CLI,
// bubblewrap and the scripted model: what it can take away, it does, the phone's reply names the
// repository and what stays there, the log says so, and the next run's start tries again.
#include "tests/Reply/GitRowsRealCLI.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The user's hooks folder, named by core.hooksPath, whose pre-commit runs every executable part
// beside it.
const std::string kUsersHooksFolder = "repo app && mkdir app/.githooks && git -C app config core.hooksPath .githooks"
                                      " && printf '#!/bin/sh\\nfor part in .githooks/*.sh; do [ -x \"$part\" ] "
                                      "&& \"$part\"; done; true\\n' > app/.githooks/pre-commit"
                                      " && chmod +x app/.githooks/pre-commit && userhook app/.githooks/lint.sh";

// A part whose name leaves no room for the guard's ".refused-<time>-<random>": no name beside it can
// hold it.
const std::string kLongPart = "app/.githooks/$(printf 'x%.0s' $(seq 230)).sh";

const std::string kUsersCommitAndWhatWasTold = "git -C app commit -q --allow-empty -m by-the-user"
                                               " && git -C app log -1 --format=%s && cat \"$OUT\""
                                               " && test ! -x "
    + kLongPart + " && grep -q \"$RAN\" " + kLongPart
    + " && echo no-execute-bit"
      " && grep -q 'could not be moved aside (File name too long), so it is left without execute permission' "
      "\"$LOG\" && echo logged"
      " && grep -qF \"(From Vellumar for Mac: the Git protection could not undo\" \"$REPLIES/1\""
      " && grep -qF \"In $PWD/app: $PWD/\"" + kLongPart + " \"$REPLIES/1\" && echo first-reply-names-app"
      " && grep -qF \"In $PWD/app: $PWD/\"" + kLongPart + " \"$REPLIES/2\" && echo next-start-tried-again";

}

TEST(ClaudeReplyGitFailsLoudlyRealCLI, WhatCannotGoAsideLosesItsExecuteBitAndIsTold)
{
    const std::string expected
        = "by-the-user\nlint.sh\nno-execute-bit\nlogged\nfirst-reply-names-app\nnext-start-tried-again\n";
    vellumar::test::runGitRows({
        { "a part of the user's hooks folder whose name leaves no room to move it aside", kUsersHooksFolder,
            { { "plant " + kLongPart }, { "true" } }, kUsersCommitAndWhatWasTold, expected,
            { .replySaysMore = true } },
        { "a part of the user's hooks folder whose name leaves no room to move it aside, as an ordinary user",
            kUsersHooksFolder, { { "plant " + kLongPart }, { "true" } }, kUsersCommitAndWhatWasTold, expected,
            { .asNobody = true, .replySaysMore = true } },
    });
}
