// What commands' Git is handed: the excludes file, read by real Git, and the identity, read by real Git
// from a home folder of the test's own.
#include "VellumarMacCore/ClaudeCode/CommandGit.h"

#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

std::set<std::string> untracked(const fs::path& repository, const fs::path& excludes)
{
    auto status = test::runPeer({ "git", "-C", repository.string(), "-c",
        "core.excludesFile=" + excludes.string(), "status", "--porcelain", "-z", "--untracked-files=all" });
    std::set<std::string> files;
    for (std::size_t start = 0, end; (end = status.output.find('\0', start)) != std::string::npos;
         start = end + 1)
        files.insert(status.output.substr(start + 3, end - start - 3));
    return files;
}

}

// Each placeholder is hidden from Git in the repository that holds it, and a file beside it, or of the
// same name deeper down, stays in sight; a placeholder in a Git folder, below another one, in no
// repository or with a line feed in its path adds no line.
TEST(CommandGit, ExcludePatternsHideEachPlaceholderAndNothingBeside)
{
    test::TemporaryHome home;
    const fs::path top = home.home / "Projects";
    const fs::path nested = top / "nested";
    for (const auto& repository : { top, nested })
        ASSERT_EQ(test::runPeer({ "git", "init", "-q", repository.string() }).exitStatus, 0);
    const std::vector<fs::path> placeholders = { top / ".envrc", top / "my file", top / "a*b", top / "[x]",
        top / "tail ", top / "back\\slash", top / "sub/.claude/settings.json", top / ".claude",
        top / ".claude/skills", nested / ".mcp.json", top / ".git/config.worktree", top / "line\nfeed",
        home.root / "loose/.envrc" };
    const std::string expected = "/.claude\n/.envrc\n/\\[x]\n/a\\*b\n/back\\\\slash\n/my\\ file\n/.mcp.json\n"
                                 "/sub/.claude/settings.json\n/tail\\ \n";
    const std::string patterns = CommandGit::excludePatterns(placeholders);
    EXPECT_EQ(patterns, expected);

    const fs::path excludes = home.root / "excludes";
    std::ofstream(excludes) << patterns;
    for (const auto& placeholder : placeholders) {
        const std::string& path = placeholder.native();
        if (path.find(".git/") == std::string::npos && path.find('\n') == std::string::npos
            && placeholder.filename() != ".claude") {
            fs::create_directories(placeholder.parent_path());
            std::ofstream(placeholder) << "x\n";
        }
    }
    for (const char* beside : { "a-b", "x", "sub/.envrc", "tail", "my  file", ".mcp.json" })
        std::ofstream(top / beside) << "x\n";
    std::ofstream(nested / ".envrc") << "x\n";
    fs::create_directories(nested / "sub");
    std::ofstream(nested / "sub/.mcp.json") << "x\n";
    // One excludes file serves every repository: the nested one's "/.mcp.json" hides the top's as well,
    // and the top's "/.envrc" the nested one's.
    EXPECT_EQ(untracked(top, excludes),
        (std::set<std::string> { "a-b", "x", "sub/.envrc", "tail", "my  file", "nested/" }));
    EXPECT_EQ(untracked(nested, excludes), (std::set<std::string> { "sub/.mcp.json" }));
}

// Only the name and address of the user's own global configuration, as Git reads it outside the
// sandbox with the user's home: nothing an include adds, and no value a variable cannot hold.
TEST(CommandGit, UserIdentityIsTheGlobalNameAndAddressAlone)
{
    struct Case {
        const char* name;
        const char* gitconfig; // ~/.gitconfig, none when null; the XDG file names "xdg@example.org"
        std::optional<std::string> expectedName;
        std::optional<std::string> expectedEmail;
    };
    const Case cases[] = {
        { "both in ~/.gitconfig", "[user]\n\tname = Ada L\n\temail = ada@example.org\n", "Ada L",
            "ada@example.org" },
        { "in the XDG file where there is no ~/.gitconfig", nullptr, std::nullopt, "xdg@example.org" },
        { "in an included file", "[include]\n\tpath = ~/.config/git/config\n", std::nullopt, std::nullopt },
        { "a name holding a line feed", "[user]\n\tname = \"a\\nb\"\n", std::nullopt, std::nullopt },
    };
    test::ScopedEnvironmentVariable xdg("XDG_CONFIG_HOME", std::nullopt);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        if (testCase.gitconfig)
            std::ofstream(home.home / ".gitconfig") << testCase.gitconfig;
        fs::create_directories(home.home / ".config/git");
        std::ofstream(home.home / ".config/git/config") << "[user]\n\temail = xdg@example.org\n";
        auto identity = CommandGit::userIdentity({ .home = home.home, .searchPath = "/usr/bin:/bin" });
        EXPECT_EQ(identity.name, testCase.expectedName);
        EXPECT_EQ(identity.email, testCase.expectedEmail);
    }
}

// A ".git" file that leads Git nowhere makes no repository of its folder: Git in the repository above
// lists what lies below as its own, so a placeholder there is anchored at that repository's top.
TEST(CommandGit, ExcludePatternsPassOverAGitFileGitDoesNotFollow)
{
    struct Case {
        const char* name;
        const char* gitFile; // "<git folder>" stands for a Git folder's path
    };
    const Case cases[] = {
        { "a path to nothing", "gitdir: ../missing\n" },
        { "a Git folder, then a second line Git reads into its path", "gitdir: <git folder>\nmore\n" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        test::TemporaryHome home;
        const fs::path top = home.home / "Projects";
        const fs::path nested = top / "nested";
        ASSERT_EQ(test::runPeer({ "git", "init", "-q", top.string() }).exitStatus, 0);
        ASSERT_EQ(
            test::runPeer({ "git", "init", "-q", "--bare", (home.root / "store.git").string() }).exitStatus,
            0);
        fs::create_directories(nested);
        std::string content = testCase.gitFile;
        if (auto at = content.find("<git folder>"); at != std::string::npos)
            content.replace(at, std::string_view("<git folder>").size(), (home.root / "store.git").string());
        std::ofstream(nested / ".git") << content;
        std::ofstream(nested / ".envrc") << "x\n";
        std::ofstream(nested / "beside") << "x\n";

        const std::string patterns = CommandGit::excludePatterns({ nested / ".envrc" });
        EXPECT_EQ(patterns, "/nested/.envrc\n");
        const fs::path excludes = home.root / "excludes";
        std::ofstream(excludes) << patterns;
        EXPECT_EQ(untracked(top, excludes), (std::set<std::string> { "nested/beside" }));
    }
}
