// Which changes to a repository's configuration count, each made and read with the real `git config`:
// at the edges of the everyday list, where a family holds both data and programs, where a remote leads,
// and how a push refspec acts on the remote.
#include "VellumarMacCore/GitProtection/Judging/GitCountedSettings.h"

#include "VellumarMacCore/Permissions/PathContainment.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

void git(const fs::path& folder, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), { "git", "-C", folder.string() });
    ASSERT_EQ(test::runPeer(arguments).exitStatus, 0) << arguments.back();
}

// A repository with a commit, as a submodule or a worktree is made from.
void committed(const fs::path& repository)
{
    git(repository.parent_path(), { "init", "-q", repository.filename().string() });
    git(repository,
        { "-c", "user.name=U", "-c", "user.email=u@example.com", "commit", "-q", "--allow-empty", "-m",
            "x" });
}

void write(const fs::path& file, const std::string& bytes)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << bytes;
}

}

TEST(GitCountedSettings, CountsWhatRunsOrLeadsGitElsewhereAndKeepsWhatGitReadsAsData)
{
    // "project" with an upstream at origin, and a submodule "vendor/lib" that "git submodule deinit" left
    // without its ".git" file (one naming its Git folder is planted in the hooks); "gen", a submodule's Git
    // folder whose ".git" file is there but not its record in ".gitmodules", as "git submodule add" leaves
    // them for a moment; "known.git" and "mirror" the guard knew, "unknown.git" a command made; "app",
    // with a linked worktree at "trees/app".
    test::TemporaryHome home;
    const fs::path project = home.root / "project";
    committed(home.root / "library");
    committed(home.root / "app");
    git(home.root / "app", { "worktree", "add", "-q", "../trees/app" });
    git(home.root, { "init", "-q", "--bare", "known.git" });
    git(home.root, { "init", "-q", "--bare", "unknown.git" });
    git(home.root, { "init", "-q", "-b", "main", "project" });
    git(project, { "init", "-q", "--bare", "mirror" });
    git(project, { "remote", "add", "origin", "https://example.com/project.git" });
    git(project, { "config", "branch.main.remote", "origin" });
    git(project,
        { "-c", "protocol.file.allow=always", "submodule", "add", "-q", (home.root / "library").string(),
            "vendor/lib" });
    git(project, { "submodule", "deinit", "-q", "-f", "vendor/lib" });
    git(project, { "init", "-q", "--separate-git-dir", (project / ".git/modules/gen").string(), "gen" });
    write(project / ".git/remotes/mirror", "URL: ../unknown.git\n");
    write(project / ".git/hooks/.git", "gitdir: ../modules/vendor/lib\n");
    // Where "project" alone is writable: "made.git" a command made there, reached too through "into".
    git(project, { "init", "-q", "--bare", "made.git" });
    fs::create_directory_symlink(project, home.root / "into");
    auto isWritable = [&](const fs::path& path) { return isPathInside(path, project); };
    std::set<fs::path> known;
    for (const char* gitFolder : { "app/.git", "app/.git/worktrees/app", "known.git", "project/.git",
             "project/mirror", "project/.git/modules/vendor/lib", "project/.git/modules/gen" })
        known.insert(fs::canonical(home.root / gitFolder));
    auto reader = GitCountedSettings::gitReaderForThisProcess();
    auto isKnown = [&](const fs::path& gitFolder) { return known.contains(gitFolder); };
    const std::string unknownURL = "file://" + (home.root / "unknown.git").string();
    const std::string knownURL = "file://localhost" + (home.root / "kno%77n.git").string();

    enum Repository { main, vendorLib, gen, withWorktree, inPlace };
    struct Case {
        const char* name;
        std::vector<std::string> change; // arguments of `git config --file <its configuration>`
        std::optional<std::string> counted; // what the log line names, absent when the change stays
        Repository repository = main;
        std::vector<std::string> before = {}; // the same, for the user's setting before the change
    };
    const Case cases[] = {
        // One family, data and program.
        { "a colour", { "color.ui", "auto" }, std::nullopt },
        { "how paths are quoted", { "core.quotePath", "false" }, std::nullopt },
        { "the editor", { "core.editor", "vim" }, "core.editor was set (can make Git run a program)" },
        { "moved lines coloured", { "diff.colorMoved", "zebra" }, std::nullopt },
        { "an external diff", { "diff.external", "./differ" },
            "diff.external was set (can make Git run a program)" },
        { "a log's dates", { "log.date", "format:%Y" }, std::nullopt },
        { "the log's pager", { "pager.log", "./page" }, "pager.log was set (can make Git run a program)" },
        { "signing on", { "commit.gpgSign", "true" }, std::nullopt },
        { "signing off as a number", { "commit.gpgSign", "0" }, std::nullopt },
        { "fetched objects checked", { "fetch.fsckObjects", "1" }, std::nullopt },
        { "a merge's rename limit", { "merge.renameLimit", "20000" }, std::nullopt },
        { "a command redefined", { "alias.st", "!./status" }, "alias.st was set (redefines a Git command)" },
        { "a credential helper", { "credential.helper", "./store" },
            "credential.helper was set (can make Git run a program)" },
        { "the signing program", { "gpg.program", "./sign" },
            "gpg.program was set (can make Git run a program)" },
        { "an HTTP buffer, with its unit", { "http.postBuffer", "500m" }, std::nullopt },
        { "an HTTP proxy", { "http.proxy", "http://127.0.0.1:1" },
            "http.proxy was set (changes where Git connects or whom it trusts)" },
        { "TLS unverified", { "http.sslVerify", "false" },
            "http.sslverify was set (changes where Git connects or whom it trusts)" },
        { "git-lfs's layout", { "lfs.repositoryformatversion", "0" }, std::nullopt },
        // Push refspecs, and a mirror.
        { "a refspec that pushes", { "remote.origin.push", "refs/heads/main:refs/heads/main" },
            std::nullopt },
        { "the matching refspec", { "remote.origin.push", ":" }, std::nullopt },
        { "a refspec that deletes", { "remote.origin.push", ":refs/heads/release" },
            "remote.origin.push was set (makes a plain push delete or overwrite on the remote)" },
        { "a refspec that deletes a one-letter ref", { "remote.origin.push", ":x" },
            "remote.origin.push was set (makes a plain push delete or overwrite on the remote)" },
        { "a refspec that forces", { "remote.origin.push", "+main:main" },
            "remote.origin.push was set (makes a plain push delete or overwrite on the remote)" },
        { "a fetch refspec that forces", { "--add", "remote.origin.fetch", "+refs/tags/*:refs/tags/*" },
            std::nullopt },
        { "a mirror", { "remote.origin.mirror", "true" },
            "remote.origin.mirror was set (makes a plain push delete or overwrite on the remote)" },
        // Where a remote leads a push.
        { "a known repository by its relative path", { "remote.backup.url", "../known.git" }, std::nullopt },
        { "a known repository without its .git", { "remote.backup.url", "../known" }, std::nullopt },
        { "a known repository by a percent-encoded file URL with a host", { "remote.backup.url", knownURL },
            std::nullopt },
        { "an unknown repository", { "remote.backup.url", "../unknown.git" },
            "remote.backup.url was set (can make Git run a program)" },
        { "an unknown repository by a file URL", { "remote.origin.pushurl", unknownURL },
            "remote.origin.pushurl was set (can make Git run a program)" },
        { "an upstream's push remote by a known path", { "branch.main.pushRemote", "../known.git" },
            std::nullopt },
        { "the default push remote by an unknown path", { "remote.pushDefault", "../unknown.git" },
            "remote.pushdefault was set (can make Git run a program)" },
        { "a remote's name that a file of the Git folder gives", { "branch.main.pushRemote", "mirror" },
            "branch.main.pushremote was set (can make Git run a program)" },
        { "a branch's own repository as its upstream, from each worktree", { "branch.x.remote", "." },
            std::nullopt, withWorktree },
        { "a path that leads elsewhere from a linked worktree", { "remote.backup.url", "../known.git" },
            "remote.backup.url was set (can make Git run a program)", withWorktree },
        { "an upstream whose remote loses its URL", { "--unset", "remote.origin.url" },
            "branch.main.remote was set (can make Git run a program)" },
        { "a URL read as an option", { "remote.origin.url", "-oProxyCommand=sh:x" },
            "remote.origin.url was set (can make Git run a program)" },
        { "an ssh host read as an option", { "remote.origin.url", "ssh://-oProxyCommand=sh/x" },
            "remote.origin.url was set (can make Git run a program)" },
        { "an ssh host in brackets read as an option",
            { "remote.origin.url", "ssh://git@[-oProxyCommand=sh]/x" },
            "remote.origin.url was set (can make Git run a program)" },
        { "an ssh host", { "remote.origin.url", "git@example.com:project.git" }, std::nullopt },
        { "a scheme Git's own only in lower case", { "remote.origin.url", "SSH://example.com/x" },
            "remote.origin.url was set (can make Git run a program)" },
        // A submodule's own work tree, connected and disconnected.
        { "deinit disconnects a submodule", { "--unset", "core.worktree" }, std::nullopt, vendorLib,
            { "core.worktree", "../../../../vendor/lib" } },
        { "update connects it again", { "core.worktree", "../../../../vendor/lib" }, std::nullopt,
            vendorLib },
        { "a submodule's work tree elsewhere in the project", { "core.worktree", "../../../../vendor" },
            "core.worktree was set (can make Git run a program)", vendorLib },
        { "add connects one before .gitmodules records it", { "core.worktree", "../../../gen" }, std::nullopt,
            gen },
        { "a submodule's work tree in the Git folder", { "core.worktree", "../../../../.git/hooks" },
            "core.worktree was set (can make Git run a program)", vendorLib },
        { "another submodule's work tree", { "core.worktree", "../../../vendor/lib" },
            "core.worktree was set (can make Git run a program)", gen },
        // Outside every writable place, nothing is a command's.
        { "an unknown repository outside the place",
            { "remote.backup.url", (home.root / "unknown.git").string() }, std::nullopt, inPlace },
        { "no repository yet outside the place", { "remote.backup.url", "../../later" }, std::nullopt,
            inPlace },
        { "an unknown repository in the place", { "remote.backup.url", "made" },
            "remote.backup.url was set (can make Git run a program)", inPlace },
        { "a link outside the place leading into it",
            { "remote.backup.url", (home.root / "into/made.git").string() },
            "remote.backup.url was set (can make Git run a program)", inPlace },
    };
    const std::map<Repository, GitCountedSettings::Repository> repositories {
        { main, { fs::canonical(project / ".git"), project, isKnown, reader } },
        { vendorLib, { fs::canonical(project / ".git/modules/vendor/lib"), std::nullopt, isKnown, reader } },
        { gen, { fs::canonical(project / ".git/modules/gen"), std::nullopt, isKnown, reader } },
        { withWorktree, { fs::canonical(home.root / "app/.git"), home.root / "app", isKnown, reader } },
        { inPlace, { fs::canonical(project / ".git"), project, isKnown, reader, isWritable } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto& repository = repositories.at(testCase.repository);
        const fs::path configuration = repository.gitFolder / "config";
        const std::string kept = test::readFile(configuration);
        auto configured = [&](std::vector<std::string> arguments) {
            arguments.insert(arguments.begin(), { "config", "--file", configuration.string() });
            git(project, arguments);
        };
        if (!testCase.before.empty())
            configured(testCase.before);
        const std::string before = test::readFile(configuration);
        configured(testCase.change);

        EXPECT_EQ(
            GitCountedSettings::judged(before, test::readFile(configuration), repository), testCase.counted);
        write(configuration, kept);
    }
}
