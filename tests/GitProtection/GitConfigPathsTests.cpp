// What real Git's configuration and ".git" files name inside a writable place, found as Git resolves
// them, and what lies outside every place left out.
#include "VellumarMacCore/GitProtection/Finding/GitConfigPaths.h"
#include "VellumarMacCore/GitProtection/Finding/GitRepositories.h"
#include "VellumarMacCore/GitProtection/Finding/GitRepositorySearch.h"

#include "tests/GitProtection/GitSteps.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/ProcessFixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <set>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

// A repository at "~/Projects", the writable place, with Git's settings made by Git itself.
struct ConfiguredPlace {
    test::TemporaryHome home;
    fs::path place = home.home / "Projects";
    test::ScopedEnvironmentVariable xdg { "XDG_CONFIG_HOME", std::nullopt };

    ConfiguredPlace() { git(place, { "init", "-q" }); }

    static void git(const fs::path& folder, std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), { "git", "-C", folder.string() });
        EXPECT_EQ(test::runPeer(arguments).exitStatus, 0);
    }

    void write(const std::string& relative, const std::string& text) const
    {
        fs::create_directories((home.root / relative).parent_path());
        std::ofstream(home.root / relative) << text;
    }

    // Each path protected outside the place's own Git folder, denied or guarded as what the
    // configuration names, relative to the place, or absolute when it lies elsewhere.
    std::set<std::string> found() const
    {
        std::set<std::string> relative;
        auto protection = GitRepositories::commandProtection(
            { place }, { .home = home.home, .searchPath = "/usr/bin:/bin" });
        auto paths = protection.deniedPaths;
        for (const auto& guarded : protection.guarded)
            paths.insert(paths.end(), guarded.configured.begin(), guarded.configured.end());
        for (const auto& path : paths) {
            if (!isPathInside(path, place / ".git"))
                relative.insert(
                    isPathInside(path, place) ? path.lexically_relative(place).string() : path.string());
        }
        return relative;
    }
};

}

TEST(GitConfigPaths, FindsWhatEachScopeNamesAsGitResolvesIt)
{
    struct Case {
        const char* name;
        std::function<void(ConfiguredPlace&)> configure;
        std::set<std::string> expected;
    };
    using Place = ConfiguredPlace;
    const Case cases[] = {
        { "nothing configured", [](Place&) {}, {} },
        { "a relative hooks folder",
            [](Place& p) {
                p.git(p.place, { "config", "core.hooksPath", ".husky" });
            },
            { ".husky" } },
        { "a hooks folder below ~",
            [](Place& p) {
                p.git(p.place, { "config", "core.hooksPath", "~/Projects/h" });
            },
            { "h" } },
        { "the built-in monitor",
            [](Place& p) {
                p.git(p.place, { "config", "core.fsmonitor", "true" });
            },
            {} },
        { "a monitor named by its path, whether it exists or not",
            [](Place& p) {
                p.write("home/Projects/tools/other", "");
                p.git(p.place, { "config", "core.fsmonitor", "tools/monitor" });
            },
            { "tools/monitor" } },
        { "a monitor in a folder that does not exist yet",
            [](Place& p) {
                p.git(p.place, { "config", "core.fsmonitor", "node_modules/.bin/monitor" });
            },
            {} },
        { "a monitor that is a script given to a shell",
            [](Place& p) {
                p.write("home/Projects/tools/monitor.sh", "exit 1\n");
                p.git(p.place, { "config", "core.fsmonitor", "sh tools/monitor.sh --quiet" });
            },
            { "tools/monitor.sh" } },
        { "a monitor found on PATH",
            [](Place& p) {
                p.git(p.place, { "config", "core.fsmonitor", "watchman" });
            },
            {} },
        { "programs that settings name in each scope, taken from the work tree's top",
            [](Place& p) {
                p.write("home/Projects/tools/pager.sh", "");
                p.write("home/Projects/tools/helper", "");
                p.write("home/.gitconfig",
                    "[core]\n\tpager = sh tools/pager.sh\n"
                    "[credential \"https://example.com\"]\n\thelper = !./tools/helper\n");
                p.git(p.place, { "config", "filter.Tool.clean", "./tools/clean.sh %f" });
                p.git(p.place, { "config", "core.sshCommand", "ssh -i ~/.ssh/key" });
            },
            { "tools/pager.sh", "tools/helper", "tools/clean.sh" } },
        { "husky 9's runners, and the folder of the scripts of their names",
            [](Place& p) {
                p.git(p.place, { "config", "core.hooksPath", ".husky/_" });
                for (const char* name :
                    { ".husky/_/h", ".husky/_/pre-commit", ".husky/_/pre-push", ".husky/pre-commit" })
                    p.write(std::string("home/Projects/") + name, "");
            },
            { ".husky/_", ".husky" } },

        { "a hooks folder at the top, beside a file named like a hook",
            [](Place& p) {
                p.git(p.place, { "config", "core.hooksPath", ".githooks" });
                p.write("home/Projects/.githooks/pre-commit", "");
                p.write("home/Projects/pre-commit", "");
            },
            { ".githooks" } },
        { "an include relative to the including file",
            [](Place& p) {
                p.git(p.place, { "config", "include.path", "../shared.cfg" });
            },
            { "shared.cfg" } },
        { "an include whose condition fails today, and what it includes in turn",
            [](Place& p) {
                p.git(p.place, { "config", "includeIf.onbranch:later.path", "../later.cfg" });
                p.write("home/Projects/later.cfg", "[include]\n\tpath = deeper/more.cfg\n");
                p.write("home/Projects/deeper/more.cfg", "[core]\n\thooksPath = from-more\n");
            },
            { "later.cfg", "deeper/more.cfg", "from-more" } },
        { "~/.gitconfig naming a file in the place",
            [](Place& p) {
                p.write("home/.gitconfig",
                    "[includeIf \"gitdir:~/Projects/\"]\n\tpath = ~/Projects/.local.cfg\n");
            },
            { ".local.cfg" } },
        { "the XDG file naming a file in the place",
            [](Place& p) { p.write("home/.config/git/config", "[include]\n\tpath = ~/Projects/xdg.cfg\n"); },
            { "xdg.cfg" } },
        { "names outside every place, and a user who does not exist",
            [](Place& p) {
                p.git(p.place, { "config", "include.path", "/etc/elsewhere.cfg" });
                p.git(p.place, { "config", "--add", "include.path", "~no-such-user-here/x.cfg" });
            },
            {} },
        // The ".git" file itself is the guard's (`GitRepositories::Protection::guardedGitFiles`).
        { "a submodule's .git file deeper down, and what its repository's configuration names",
            [](Place& p) {
                p.git(p.home.root, { "init", "-q", "--bare", "module.git" });
                p.git(p.home.root / "module.git",
                    { "config", "include.path", "../home/Projects/from-module.cfg" });
                p.write(
                    "home/Projects/libs/sub/.git", "gitdir: " + (p.home.root / "module.git").string() + "\n");
            },
            { "from-module.cfg" } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ConfiguredPlace place;
        testCase.configure(place);
        EXPECT_EQ(place.found(), testCase.expected);
    }
}

// The walk for ".git" entries follows no link and does not enter a Git folder; a ".git" file counts
// only when it names a Git folder; past the counts that once stopped it, it goes on. Its clock stands
// still, so that the time budget, which a busy machine spends on fewer folders, stops nothing here.
TEST(GitConfigPaths, GitEntriesWalkStaysInsideAndGoesPastTheOldBounds)
{
    test::TemporaryHome home;
    fs::path place = test::madeFolder(home.root / "place");
    fs::path outside = test::madeFolder(home.root / "outside/sub");
    test::emptyGitFolder(home.root / "gitdir");
    const std::string gitdir = "gitdir: " + (home.root / "gitdir").string() + "\n";
    std::ofstream(outside / ".git") << gitdir;
    fs::create_directory_symlink(home.root / "outside", place / "link");
    std::ofstream(test::madeFolder(place / ".git/modules/x") / ".git") << gitdir;
    test::emptyGitFolder(place / ".git");
    test::madeFolder(place / "a/b");
    std::ofstream(place / "a/b/.git") << gitdir;
    test::touch(test::madeFolder(place / "a/nowhere") / ".git");
    test::madeFolder(place / "a/empty/.git");
    const GitRepositorySearch::Options stillClock { .clock
        = [] { return std::chrono::steady_clock::time_point(); } };
    auto entries = GitRepositorySearch::gitEntries({ place }, stillClock);
    EXPECT_EQ(entries.gitFiles, std::vector { place / "a/b/.git" });
    ASSERT_EQ(entries.repositories.size(), 1u);
    EXPECT_EQ(entries.repositories[0].gitFolder, place / ".git");

    struct Case {
        const char* name;
        std::size_t files;
        std::size_t folders;
        std::size_t expectedFiles;
        std::size_t expectedFolders;
    };
    const std::size_t fileBound = 256;
    const std::size_t folderBound = 1024;
    const Case cases[] = {
        { "files at the old bound", fileBound, 0, fileBound, 0 },
        { "files one past the old bound", fileBound + 1, 0, fileBound + 1, 0 },
        { "Git folders at the old bound", 0, folderBound, 0, folderBound },
        { "Git folders one past the old bound", 0, folderBound + 1, 0, folderBound + 1 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        fs::path flood = test::madeFolder(home.root / "flood" / testCase.name);
        for (std::size_t index = 0; index < testCase.files; ++index)
            std::ofstream(test::madeFolder(flood / ("f" + std::to_string(index))) / ".git") << gitdir;
        for (std::size_t index = 0; index < testCase.folders; ++index)
            test::emptyGitFolder(flood / ("d" + std::to_string(index)) / ".git");
        // A folder more after them: at the bound the walk goes on into it.
        test::madeFolder(flood / "z/deeper");
        test::CapturedLog log;
        auto found = GitRepositorySearch::gitEntries({ flood }, stillClock);
        EXPECT_EQ(found.gitFiles.size(), testCase.expectedFiles);
        EXPECT_EQ(found.repositories.size(), testCase.expectedFolders);
        bool past = testCase.files > testCase.expectedFiles || testCase.folders > testCase.expectedFolders;
        EXPECT_EQ(log.lines().size(), past ? 1u : 0u);
    }
}

// An included file that never ends (a FIFO nobody writes) holds every `git` in the repository for good,
// the user's own too: what the configuration names is not known, and the run stops, with one log line. A
// `git` that only takes long, running all the while as on a busy machine, is waited for. The limit on a
// `git` that does not get on is a second here, which the slow one runs well past.
TEST(GitConfigPaths, AConfigurationGitNeverFinishesReadingStopsTheRunAndASlowOneDoesNot)
{
    struct Case {
        const char* name;
        bool endless;
    };
    for (const Case& testCase :
        { Case { "an include that never ends", true }, Case { "a slow git", false } }) {
        SCOPED_TRACE(testCase.name);
        ConfiguredPlace place;
        if (testCase.endless) {
            ASSERT_EQ(::mkfifo((place.place / ".git/endless.cfg").c_str(), 0600), 0);
            place.git(place.place, { "config", "include.path", "endless.cfg" });
        }
        // The first `git` keeps a CPU busy for three seconds before it reads anything.
        const fs::path slow = test::madeFolder(place.home.root / "slow");
        test::writeExecutable(slow / "git",
            "#!/bin/bash\nif mkdir '" + (slow / "began").string()
                + "' 2>/dev/null; then while ((SECONDS < 3)); do :; done; fi\nexec /usr/bin/git \"$@\"\n");
        auto stallsInASecond = [](const fs::path& executable, const std::vector<std::string>& arguments,
                                   CommandOptions options) {
            options.stallLimitSeconds = 1;
            return runCommand(executable, arguments, options);
        };
        test::CapturedLog log;
        auto sandbox = GitRepositories::sandboxPart({ place.place },
            { .home = place.home.home,
                .searchPath = slow.string() + ":/usr/bin:/bin",
                .run = stallsInASecond });
        if (testCase.endless) {
            EXPECT_THROW(GitRepositories::forGuard(sandbox), std::runtime_error);
            ASSERT_EQ(log.lines().size(), 1u);
            EXPECT_NE(log.lines().front().find(place.place.string()), std::string::npos);
        } else {
            EXPECT_NO_THROW(GitRepositories::forGuard(sandbox));
            EXPECT_TRUE(log.lines().empty());
        }
    }
}

// One row per setting of Git's list, set by Git itself with values holding tabs and newlines: a command
// is split at both, as the shell splits it; a program's path never is.
TEST(GitConfigPaths, EverySettingOfGitsListIsFollowedAsGitRunsIt)
{
    // A command on two lines, the second naming a program by its path with a tab before its argument.
    const std::string command = "true\n./tools/later\t-x";
    const std::set<std::string> commandFiles = { "tools/later" };
    const std::string bang = "!" + command;
    const std::string path = "tools/my\ttool\nx";
    const std::set<std::string> pathFiles = { path };
    struct Case {
        const char* key;
        std::string value;
        std::set<std::string> expected;
    };
    const Case cases[] = {
        { "core.hooksPath", "hooks\tfolder", { "hooks\tfolder" } },
        { "include.path", "../inc\tluded.cfg", { "inc\tluded.cfg" } },
        { "includeIf.onbranch:later.path", "../inc\nluded.cfg", { "inc\nluded.cfg" } },
        { "init.templateDir", "tem\tplates", { "tem\tplates" } },
        { "core.editor", command, commandFiles },
        { "sequence.editor", command, commandFiles },
        { "core.pager", command, commandFiles },
        { "pager.log", command, commandFiles },
        { "core.fsmonitor", command, commandFiles },
        { "core.sshCommand", command, commandFiles },
        { "core.gitProxy", command, commandFiles },
        { "core.alternateRefsCommand", command, commandFiles },
        { "core.askPass", path, pathFiles },
        { "interactive.diffFilter", command, commandFiles },
        { "diff.external", command, commandFiles },
        { "diff.Driver.command", command, commandFiles },
        { "diff.Driver.textconv", command, commandFiles },
        { "difftool.Tool.cmd", command, commandFiles },
        { "difftool.Tool.path", path, pathFiles },
        { "merge.Driver.driver", command, commandFiles },
        { "mergetool.Tool.cmd", command, commandFiles },
        { "mergetool.Tool.path", path, pathFiles },
        { "filter.Driver.clean", command, commandFiles },
        { "filter.Driver.smudge", command, commandFiles },
        { "filter.Driver.process", command, commandFiles },
        { "credential.helper", bang, commandFiles },
        { "credential.https://example.com.helper", bang, commandFiles },
        { "gpg.program", path, pathFiles },
        { "gpg.ssh.program", path, pathFiles },
        { "gpg.ssh.defaultKeyCommand", command, commandFiles },
        { "alias.release", bang, commandFiles },
        { "submodule.lib/sub.update", bang, commandFiles },
        { "remote.origin.uploadpack", command, commandFiles },
        { "remote.origin.receivepack", command, commandFiles },
        { "uploadpack.packObjectsHook", command, commandFiles },
        { "browser.Tool.cmd", command, commandFiles },
        { "browser.Tool.path", path, pathFiles },
        { "man.Tool.cmd", command, commandFiles },
        { "man.Tool.path", path, pathFiles },
        { "guitool.Tool.cmd", command, commandFiles },
        { "imap.tunnel", command, commandFiles },
        { "instaweb.httpd", command, commandFiles },
        { "sendemail.toCmd", command, commandFiles },
        { "sendemail.work.toCmd", command, commandFiles },
        { "sendemail.ccCmd", command, commandFiles },
        { "sendemail.work.ccCmd", command, commandFiles },
        { "sendemail.smtpServer", path, pathFiles },
        { "sendemail.work.smtpServer", path, pathFiles },
        { "trailer.Sign.cmd", command, commandFiles },
        { "trailer.Sign.command", command, commandFiles },
        { "tar.tar.xz.command", command, commandFiles },
        { "user.name", command, {} },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.key);
        ConfiguredPlace place;
        // The programs' folder exists, as a program not made yet is protected only there.
        fs::create_directories(place.place / "tools");
        place.git(place.place, { "config", testCase.key, testCase.value });
        EXPECT_EQ(place.found(), testCase.expected);
    }
}

// Commands as people write them: words after a "cd" run where it leads; an alias of Git's own commands,
// or a submodule's update by one of Git's ways, runs nothing; the templates folder of "~/.gitconfig".
TEST(GitConfigPaths, CommandsRunWhereACdLeadsAndTemplatesOfTheGlobalFileCount)
{
    struct Case {
        const char* name;
        const char* key;
        const char* value;
        std::set<std::string> expected;
    };
    const Case cases[] = {
        { "after a cd", "alias.release", "!cd tools && ./release.sh", { "tools/release.sh" } },
        { "after a cd, a script given to sh", "alias.t", "!cd tools; sh run.sh", { "tools/run.sh" } },
        { "a cd below ~, then one up", "core.pager", "cd ~/Projects/tools/x; cd ..&& ./p", { "tools/p" } },
        { "Git's own commands", "alias.st", "status ./tools/later", {} },
        { "an update by rebase", "submodule.lib.update", "rebase", {} },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ConfiguredPlace place;
        place.write("home/Projects/tools/run.sh", "");
        place.git(place.place, { "config", testCase.key, testCase.value });
        EXPECT_EQ(place.found(), testCase.expected);
    }
    ConfiguredPlace place;
    place.write("home/.gitconfig", "[init]\n\ttemplateDir = ~/Projects/templates\n");
    EXPECT_EQ(place.found(), std::set<std::string> { "templates" });
}
