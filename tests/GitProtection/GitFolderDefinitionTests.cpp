// What a Git folder is, row by row against Git itself: `git rev-parse` run in the folder, kept from
// looking above it, must name the folder exactly where the definition takes it for one.
#include "VellumarMacCore/GitProtection/Finding/GitFolderDefinition.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace vellumar;
namespace fs = std::filesystem;

TEST(GitFolderDefinition, TakesForAGitFolderExactlyWhatGitDoes)
{
    // `bare DIR` makes a bare repository, `store DIR` one without its HEAD.
    const std::string functions
        = "set -e; export HOME=\"$PWD\" GIT_CONFIG_NOSYSTEM=1\n"
          "bare() { git init -q --bare \"$1\"; }\nstore() { bare \"$1\"; rm \"$1/HEAD\"; }\n"
          "repo() { git init -q \"$1\"; git -C \"$1\" -c user.name=U -c user.email=u@e "
          "commit -q --allow-empty -m first; }\n";
    const struct {
        const char* name;
        const char* layout;
        const char* folder;
        bool isGitFolder;
    } rows[] = {
        { "a work tree's .git", "repo r", "r/.git", true },
        { "the work tree itself", "repo r", "r", false },
        { "a bare repository", "bare b", "b", true },
        { "HEAD a link into refs/", "bare b; ln -sf refs/heads/main b/HEAD", "b", true },
        { "HEAD a link elsewhere", "bare b; ln -sf heads/main b/HEAD", "b", false },
        { "a detached HEAD", "bare b; echo 0123456789abcdef0123456789ABCDEF01234567 > b/HEAD", "b", true },
        { "39 digits of an object id", "bare b; echo 0123456789abcdef0123456789abcdef0123456 > b/HEAD", "b",
            false },
        { "blanks after ref:", "bare b; printf 'ref:\\t refs/x' > b/HEAD", "b", true },
        { "a vertical tab after ref:", "bare b; printf 'ref:\\v refs/x' > b/HEAD", "b", false },
        { "ref: naming no refs/", "bare b; echo 'ref: heads/main' > b/HEAD", "b", false },
        { "refs/ past HEAD's 255 bytes", "bare b; printf 'ref:%260srefs/x' '' > b/HEAD", "b", false },
        { "HEAD a folder", "bare b; rm b/HEAD; mkdir b/HEAD", "b", false },
        { "objects missing", "bare b; rm -r b/objects", "b", false },
        { "refs missing", "bare b; rm -r b/refs", "b", false },
        { "objects an executable file", "bare b; rm -r b/objects; touch b/objects; chmod +x b/objects", "b",
            true },
        { "HEAD and a commondir to a store",
            "store s; mkdir f; echo ../s > f/commondir; echo 'ref: refs/x' > f/HEAD", "f", true },
        { "the store itself", "store s", "s", false },
        { "a commondir absolute, with CR LF", "store s; bare f; printf \"$PWD/s\\r\\n\" > f/commondir", "f",
            true },
        { "a commondir with a trailing blank", "store s; bare f; echo '../s ' > f/commondir", "f", false },
        { "a commondir naming nothing", "bare f; echo ../none > f/commondir", "f", false },
        { "a commondir naming a file", "bare f; echo HEAD > f/commondir", "f", false },
        { "a commondir leading past the folder's own", "mkdir s; bare f; echo ../s > f/commondir", "f",
            false },
        { "an empty commondir", "bare f; touch f/commondir", "f", false },
        { "a commondir that is a folder", "bare f; mkdir f/commondir", "f", false },
        { "a commondir of one line end", "bare f; echo > f/commondir", "f", true },
        { "a linked worktree's folder", "repo r; git -C r worktree add -q ../w", "r/.git/worktrees/w", true },
        { "a submodule's folder",
            "repo r; mkdir r/.git/modules; git init -q --separate-git-dir r/.git/modules/m m",
            "r/.git/modules/m", true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TemporaryFolder root;
        ASSERT_EQ(
            test::runPeer({ "sh", "-c", "cd \"$0\" && " + functions + row.layout, root.path() }).exitStatus,
            0);
        const fs::path folder = root.path() / row.folder;
        auto git = test::runPeer(
            { "sh", "-c", "cd \"$0\" && GIT_CEILING_DIRECTORIES=\"$1\" git rev-parse --absolute-git-dir",
                folder.string(), folder.parent_path().string() });
        const bool gitSays = git.exitStatus == 0 && git.output == fs::canonical(folder).string() + "\n";
        EXPECT_EQ(gitSays, row.isGitFolder) << git.output;
        EXPECT_EQ(GitFolderDefinition::isGitFolder(folder), row.isGitFolder);
    }
}
