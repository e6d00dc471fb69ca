#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TextPins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>

using namespace vellumar;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

class ClaudeInvocationSettings : public ::testing::Test {
protected:
    ClaudeInvocationSettings()
    {
        fs::create_directories(work);
        fs::create_directories(data / "tls");
    }

    test::TemporaryFolder folder;
    fs::path home = folder / "home";
    fs::path data = folder / "data";
    fs::path work = data / "workspaces" / "ios-abc";
    PermissionResolver resolver { home, data, 3.0 };
};

}

// Each whole document, the test's folder written "T", pinned by its digest (a failure prints it): a
// symlinked work folder appears resolved, other work folders and the relay's own files are hidden
// from commands, uploads and what runs later (Git hooks and config, .envrc, Claude Code's files and
// .mcp.json) cannot be written in the work folder or a writable grant where it exists (only the work
// folder's ".envrc" does: the run's guard keeps the rest off), a read-only grant that holds a
// writable one gets no edit deny of its own, secrets follow their modes, and commands get the sandbox. Gated
// commands are refused by the rules until approved, sandboxed all the same; a closed write gate makes every
// folder read-only.
TEST_F(ClaudeInvocationSettings, CommandsGrantsAndGates)
{
    test::ScopedEnvironmentVariable temporary("TMPDIR", std::nullopt);
    fs::create_directories(home / ".ssh");
    fs::create_directories(data / "workspaces" / "ios-other");
    fs::create_directory_symlink(work, folder / "link-to-work");
    std::ofstream(work / ".envrc") << "use nix\n";
    ResolvedPermissions granted, gated;
    granted.bash = gated.bash = true;
    granted.secrets = { { "ssh", false, { home / ".ssh" }, {} }, { "aws", true, { home / ".aws" }, {} },
        { "shell", true, {}, { home / ".zshrc" } } };
    granted.folders = { { "/p", false, "/p", false }, { "/p/q", true, "/p/q", false },
        { "/r", false, "/r", false }, { "/r", true, "/r", false } };
    gated.approve = { "bash", "write" };
    gated.folders = { { "/p", true, "/p", false } };
    for (const auto& [permissions, digest] :
        { std::pair(granted, "14b8eaedce3750e3dff9"), std::pair(gated, "1d195f8af26a9720c5ab") }) {
        // The protection first: it keeps its listings in the data folder, which the settings then deny.
        auto protection = ClaudeInvocation::gitProtection(folder / "link-to-work", permissions, resolver);
        std::string text
            = ClaudeInvocation::settingsJSON(folder / "link-to-work", permissions, resolver, protection).encoded();
        for (auto at = text.find(folder.path().string()); at != std::string::npos;
             at = text.find(folder.path().string(), at))
            text.replace(at, folder.path().string().size(), "T");
        test::expectPinned(text, digest);
    }
}

TEST_F(ClaudeInvocationSettings, NetworkModes)
{
    // The canonical JSON of "network" ("" for none) and whether the weaker isolation must be on.
    const std::tuple<const char*, Strings, const char*, bool> cases[] = {
        { "none", {}, "", false },
        { "local", {}, R"({"allowLocalBinding":true})", false },
        { "domains", {}, "", false },
        { "domains", { "example.com", "api.example.org" },
            R"({"allowedDomains":["example.com","api.example.org"]})", false },
        { "all", {}, R"({"allowLocalBinding":true,"allowedDomains":["*"]})", true },
    };
    for (const auto& [network, domains, expected, weaker] : cases) {
        SCOPED_TRACE(network);
        ResolvedPermissions permissions;
        permissions.bash = true;
        permissions.network = network;
        permissions.domains = domains;
        JSON sandbox = *ClaudeInvocation::settingsJSON(work, permissions, resolver, {}).subscript("sandbox");
        const JSON* networkSettings = sandbox.subscript("network");
        EXPECT_EQ(networkSettings ? networkSettings->encoded() : "", expected);
        const JSON* weakerSetting = sandbox.subscript("enableWeakerNetworkIsolation");
        EXPECT_EQ(weakerSetting ? weakerSetting->encoded() : "", weaker ? "true" : "");
    }
}

TEST_F(ClaudeInvocationSettings, TheUsersTemporaryFolderIsHiddenFromCommandsWhereverItLies)
{
    const Strings shared = { "/tmp", "/var/tmp", "/dev/shm" };
    // A private folder inside a shared one, as libpam-tmpdir makes it, is hidden with it already.
    fs::path privateFolder = "/tmp/" + folder.path().filename().string() + "-private";
    fs::create_directory(privateFolder);
    const std::pair<std::optional<std::string>, Strings> cases[] = {
        { std::nullopt, shared },
        { privateFolder.string(), shared },
        { "/etc", { "/tmp", "/var/tmp", "/dev/shm", "/etc" } },
        // Hiding the root would hide everything.
        { "/", shared },
    };
    for (const auto& [temporaryFolder, expected] : cases) {
        SCOPED_TRACE(temporaryFolder.value_or("unset"));
        test::ScopedEnvironmentVariable temporary("TMPDIR", temporaryFolder);
        EXPECT_EQ(ClaudeInvocation::sandboxTempPaths(), expected);
    }
    fs::remove(privateFolder);
}

// The relay's own entries are denied as folders ("/**") or as files by what each one is, a link
// taking the kind of what it leads to; a name that is not there yet is denied as a file.
TEST_F(ClaudeInvocationSettings, DeniesTheRelaysEntriesByTheirKind)
{
    fs::create_directories(folder / "elsewhere/folder");
    std::ofstream(folder / "elsewhere/file") << "x";
    fs::create_directory_symlink(folder / "elsewhere/folder", data / "activity");
    fs::create_symlink(folder / "elsewhere/file", data / "memory.json");
    fs::create_symlink(folder / "nowhere", data / "incoming");
    std::ofstream(data / "extra.txt") << "x";
    JSON document = ClaudeInvocation::settingsJSON(work, ResolvedPermissions(), resolver, {});
    Strings denied;
    for (const auto& rule : *document.subscript("permissions")->subscript("deny")->arrayValue())
        denied.push_back(*rule.stringValue());
    const std::string prefix = "Read(/" + data.string() + "/";
    for (const auto& expected : { "tls/**)", "activity/**)", "memory.json)", "incoming)", "extra.txt)",
             "routines.json)", "sessions.json)" }) {
        SCOPED_TRACE(expected);
        EXPECT_NE(std::find(denied.begin(), denied.end(), prefix + expected), denied.end());
    }
}

// What the guard keeps off is what the settings no longer deny because it is missing: at each place's
// top its own names and a ".git" where it is no repository, in a place's Git folders (a linked
// worktree's too) what is moved aside whole, but for the place's own "commondir", which the run holds. Never
// what exists, what Claude Code holds itself (".mcp.json",
// ".claude", the work folder's ".git" and instruction files), nor a missing hook or configuration,
// which the guard judges by what it holds.
TEST_F(ClaudeInvocationSettings, KeepsOffWhatIsMissingAndNotClaudeCodes)
{
    const fs::path root = fs::canonical(folder.path());
    const fs::path plain = root / "plain";
    const fs::path app = root / "app";
    fs::create_directories(plain / ".vscode");
    ASSERT_EQ(test::runPeer({ "git", "init", "-q", app.string() }).exitStatus, 0);
    ASSERT_EQ(test::runPeer({ "git", "-C", app.string(), "-c", "user.name=U", "-c", "user.email=u@x",
                                "commit", "-q", "--allow-empty", "-m", "first" })
                  .exitStatus,
        0);
    ASSERT_EQ(
        test::runPeer({ "git", "-C", app.string(), "worktree", "add", "-q", (root / "linked").string() })
            .exitStatus,
        0);
    fs::remove_all(app / ".git/hooks");
    ResolvedPermissions permissions;
    permissions.bash = true;
    permissions.folders = { { plain, true, plain.string(), false }, { app, true, app.string(), false },
        { root / "read-only", false, "", false } };
    const auto git = ClaudeInvocation::gitProtection(work, permissions, resolver);
    std::vector<fs::path> expected;
    const fs::path resolvedWork = fs::canonical(work);
    for (const auto& path :
        { app / ".envrc", app / ".git/config.worktree", app / ".git/worktrees/linked/config.worktree",
            app / ".vscode", app / "CLAUDE.local.md", app / "CLAUDE.md", resolvedWork / ".envrc",
            plain / ".envrc", plain / ".git", plain / "CLAUDE.local.md", plain / "CLAUDE.md" })
        expected.push_back(path);
    EXPECT_EQ(ClaudeInvocation::keptOffPaths(work, permissions, git), expected);
    permissions.bash = false;
    EXPECT_EQ(ClaudeInvocation::keptOffPaths(work, permissions, git), std::vector<fs::path> {});
}
