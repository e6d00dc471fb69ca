// The files a setting that names a program names, read from its value as Git and the shell read it.
#include "VellumarMacCore/GitProtection/Finding/GitProgramSettings.h"

#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <set>

using namespace vellumar;
namespace fs = std::filesystem;

TEST(GitProgramSettings, NamedFilesAreTheProgramsAndTheExistingFilesOfTheCommand)
{
    test::TemporaryHome home;
    const fs::path top = test::madeFolder(home.root / "top");
    test::touch(test::madeFolder(top / "tools") / "run.sh");
    test::touch(test::madeFolder(top / "my tool") / "run.sh");
    test::touch(test::madeFolder(home.root / "home/bin") / "run.sh");
    // What a quoted "~" names: a folder of that name.
    test::touch(test::madeFolder(top / "~/bin") / "run.sh");
    struct Case {
        const char* name;
        const char* key; // as `git config` prints it
        const char* value;
        std::set<std::string> expected; // relative to the temporary root, or absolute outside it
    };
    const Case cases[] = {
        { "a pager found on PATH", "core.pager", "less -R", {} },
        { "a filter found on PATH", "filter.lfs.smudge", "git-lfs smudge -- %f", {} },
        { "a script given to a shell", "filter.x.clean", "sh tools/run.sh %f", { "top/tools/run.sh" } },
        { "a program by its path, not made yet", "diff.external", "./tools/later.sh",
            { "top/tools/later.sh" } },
        { "a program in a folder not made yet", "core.fsmonitor", "node_modules/.bin/monitor", {} },

        { "an argument that names nothing yet", "diff.x.command", "sh tools/later.sh", {} },
        { "a folder", "sequence.editor", "./tools --dir tools", {} },
        { "quotes holding a blank", "merge.x.driver", "sh \"my tool/run.sh\" %A && 'my tool'/run.sh",
            { "top/my tool/run.sh" } },
        { "a backslash holding a blank", "core.editor", "sh my\\ tool/run.sh", { "top/my tool/run.sh" } },
        { "every command of a list", "core.sshcommand", "true;./tools/later.sh|./a&&(./b)",
            { "top/tools/later.sh", "top/a", "top/b" } },
        { "a redirection's file", "diff.x.textconv", "cat >tools/run.sh 2>./c", { "top/tools/run.sh" } },
        { "code given to sh -c", "alias.t", "!sh -c './tools/later.sh \"$@\"' -", { "top/tools/later.sh" } },
        { "an alias of Git's own commands", "alias.st", "status ./tools/run.sh", {} },
        { "~ at a word's start, quoted or not", "core.pager", "sh ~/bin/run.sh '~/bin/run.sh' x~/bin/run.sh",
            { "home/bin/run.sh", "top/~/bin/run.sh" } },
        { "a credential helper's shell command", "credential.https://example.com.helper", "!./tools/run.sh",
            { "top/tools/run.sh" } },
        { "a credential helper by name, with a file", "credential.helper", "tools/run.sh --file tools/run.sh",
            { "top/tools/run.sh" } },
        { "askpass, one path with its blanks", "core.askpass", "my tool/run.sh", { "top/my tool/run.sh" } },
        { "a signing program below ~", "gpg.ssh.program", "~/bin/run.sh", { "home/bin/run.sh" } },
        { "a signing program below a user's ~", "gpg.program", "~root/later", { "/root/later" } },
        { "a boolean where Git reads one", "pager.log", "false", {} },
        { "a per-command pager", "pager.diff", "./tools/run.sh", { "top/tools/run.sh" } },
        { "a setting that names no program", "user.name", "./tools/run.sh", {} },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::set<std::string> found;
        for (const auto& path : GitProgramSettings::namedFiles(
                 testCase.key, testCase.value, { .top = top, .home = home.root / "home" }))
            found.insert(
                isPathInside(path, home.root) ? path.lexically_relative(home.root).string() : path.string());
        EXPECT_EQ(found, testCase.expected);
    }
}
