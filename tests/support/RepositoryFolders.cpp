#include "tests/support/RepositoryFolders.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace vellumar::test {

namespace {

    constexpr const char* kProjectsScript = R"sh(set -e
g() { git -c user.name=User -c user.email=user@example.com "$@"; }
for r in plain husky main; do
  g init -q "$r"; echo first > "$r/tracked.txt"; g -C "$r" add tracked.txt; g -C "$r" commit -qm first
done
g -C husky config core.hooksPath .husky/_
mkdir -p husky/.husky/_
echo '*' > husky/.husky/_/.gitignore
printf '%s\n' '#!/usr/bin/env sh' 'n=$(basename "$0")' 's=$(dirname "$(dirname "$0")")/$n' \
  '[ ! -f "$s" ] && exit 0' 'sh -e "$s" "$@"' > husky/.husky/_/h
for hook in applypatch-msg commit-msg post-applypatch post-checkout post-commit post-merge post-rewrite \
    pre-applypatch pre-auto-gc pre-commit pre-merge-commit pre-push pre-rebase prepare-commit-msg; do
  printf '#!/usr/bin/env sh\n. "$(dirname "$0")/h"\n' > "husky/.husky/_/$hook"
done
chmod +x husky/.husky/_/*
echo 'npm test' > husky/.husky/pre-commit
g -C main worktree add -q ../linked
)sh";

}

void makeProjectsFolder(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder);
    auto made
        = runPeer({ "sh", "-c", std::string("cd \"$1\" && ") + kProjectsScript, "sh", folder.string() });
    EXPECT_EQ(made.exitStatus, 0) << made.output;
}

}
