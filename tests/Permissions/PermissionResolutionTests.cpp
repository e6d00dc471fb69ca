#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/PermissionSettings.h"
#include "VellumarMacCore/Permissions/ProbePool.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/Permissions/Refusals.h"
#include "tests/Permissions/TemporaryHome.h"
#include "tests/support/HeldFolder.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

using namespace vellumar;
using test::refusalOf;
using test::TemporaryHome;
using test::touch;
namespace fs = std::filesystem;

namespace {

using Paths = std::vector<fs::path>;

PermissionSettings withFolders(std::vector<PermissionSettings::Folder> folders)
{
    PermissionSettings settings;
    settings.folders = std::move(folders);
    return settings;
}

PermissionSettings withCommands(std::string network, bool cliTools)
{
    PermissionSettings settings;
    settings.bash = true;
    settings.network = std::move(network);
    settings.domains = { "example.com", "*.example.org" };
    settings.cliTools = cliTools;
    return settings;
}

// A home with a tool folder on PATH, so that a scan finds something in every list.
struct HomeWithTools : TemporaryHome {
    HomeWithTools()
    {
        fs::create_directories(home / ".cargo/bin");
        touch(home / ".cargo/env");
        fs::create_directories(resolvingSymlinks(root.path()) / "sys/bin");
    }
    std::string loginPath() const
    {
        return (home / ".cargo/bin").string() + ":" + (resolvingSymlinks(root.path()) / "sys/bin").string();
    }
};

}

TEST(PermissionResolution, ExpandsTheHomeFolderIntoItsGrantableSubfolders)
{
    TemporaryHome t;
    for (const char* name : { "Code", "Documents", ".hidden", "With Space" })
        fs::create_directories(t.home / name);
    const auto resolver = t.resolver();

    auto resolved = resolver.resolve(withFolders({ { "~", false } }), std::nullopt);
    EXPECT_EQ(resolved.homeAccess, "read");
    EXPECT_EQ(resolved.folders,
        (std::vector<FolderGrant> { { t.home / "Code", false, "~/Code", true },
            { t.home / "Projects", false, "~/Projects", true } }));
}

TEST(PermissionResolution, MergesEntriesForTheSamePlaceKeepingTheFirstLabel)
{
    TemporaryHome t;
    fs::create_directories(t.home / "Code");
    fs::create_directory_symlink(t.home / "Projects", t.home / "current");
    struct Case {
        const char* name;
        std::vector<PermissionSettings::Folder> folders;
        std::optional<std::string> homeAccess;
        std::vector<FolderGrant> grants;
    };
    const FolderGrant code { t.home / "Code", true, "~/Code", true };
    const Case cases[] = {
        { "home read-only, then writable", { { "~", false }, { "~/", true } }, "write",
            { code, { t.home / "Projects", true, "~/Projects", true } } },
        { "home writable, then read-only", { { "~", true }, { "~", false } }, "write",
            { code, { t.home / "Projects", true, "~/Projects", true } } },
        { "home writable, then a subfolder read-only", { { "~", true }, { "~/Projects", false } }, "write",
            { code, { t.home / "Projects", true, "~/Projects", true } } },
        { "a subfolder read-only, then home writable", { { "~/Projects", false }, { "~", true } }, "write",
            { code, { t.home / "Projects", true, "~/Projects", false } } },
        { "a symlink and its target", { { "~/current", false }, { "~/Projects", true } }, std::nullopt,
            { { t.home / "Projects", true, "~/Projects", false } } },
        { "the target twice, read-only", { { "~/Projects", false }, { "~/current/", false } }, std::nullopt,
            { { t.home / "Projects", false, "~/Projects", false } } },
    };
    const auto resolver = t.resolver();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto resolved = resolver.resolve(withFolders(c.folders), std::nullopt);
        EXPECT_EQ(resolved.homeAccess, c.homeAccess);
        EXPECT_EQ(resolved.folders, c.grants);
    }
}

TEST(PermissionResolution, SortsGrantsByTheirRealPaths)
{
    TemporaryHome t;
    const fs::path R = resolvingSymlinks(t.root.path());
    fs::create_directories(R / "Volumes/Work");
    fs::create_directories(t.home / "Code");
    fs::create_directory_symlink(R / "Volumes/Work", t.home / "zz-work");

    auto resolved = t.resolver().resolve(
        withFolders({ { "~/zz-work", false }, { "~/Projects", true }, { "~/Code", false } }), std::nullopt);
    // /…/Volumes/Work sorts before /…/home/… only because its real path does.
    EXPECT_EQ(resolved.folders,
        (std::vector<FolderGrant> { { R / "Volumes/Work", false, (R / "Volumes/Work").string(), false },
            { t.home / "Code", false, "~/Code", false },
            { t.home / "Projects", true, "~/Projects", false } }));
}

TEST(PermissionResolution, RefusesTheFirstFolderThatFailsItsChecks)
{
    TemporaryHome t;
    fs::create_directories(t.home / "My Folder");
    fs::create_directory_symlink(t.home / "My Folder", t.home / "plain");
    fs::create_directories(t.home / ".ssh");
    fs::create_directory_symlink(t.home / ".ssh", t.home / "dotfiles");
    touch(t.home / "notes.txt");
    struct Case {
        const char* name;
        std::vector<PermissionSettings::Folder> folders;
        std::string expected;
    };
    const Case cases[] = {
        { "real path with a space", { { "~/Projects", true }, { "~/plain", false } },
            "400 bad_path The real path of \"~/plain\" has characters that cannot be used." },
        { "path with a space as written", { { "~/My Folder", false } },
            "400 bad_path \"~/My Folder\" has characters that cannot be used (spaces or symbols)." },
        { "symlink to the key folder", { { "~/dotfiles", false } },
            "403 protected_folder \"~/dotfiles\" holds keys or Vellumar's own data, so it cannot be "
            "allowed." },
        { "first refusal wins", { { "~/notes.txt", false }, { "~/.ssh", false } },
            "400 folder_not_found The folder \"~/notes.txt\" was not found." },
        { "above home", { { "/", false } },
            "400 folder_too_broad Folders above the home folder (/) cannot be "
            "allowed." },
    };
    const auto resolver = t.resolver();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(refusalOf([&] { resolver.resolve(withFolders(c.folders), std::nullopt); }), c.expected);
    }
}

TEST(PermissionResolution, MakesNetworkAndToolsFollowTheCommandsSwitch)
{
    HomeWithTools t;
    const auto resolver = t.resolver();
    const Paths reads { resolvingSymlinks(t.root.path()) / "sys/bin" };
    const Paths writes { t.home / ".cargo" };
    const Paths executables { t.home / ".cargo/bin", reads[0], t.home / ".cargo/env" };
    struct Case {
        const char* name;
        PermissionSettings settings;
        std::optional<std::string> loginPath;
        std::string network;
        std::vector<std::string> domains;
        bool cliTools;
        Paths toolReads;
        Paths toolWrites;
        Paths executableFolders;
    };
    PermissionSettings commandsOff = withCommands("all", true);
    commandsOff.bash = false;
    const Case cases[] = {
        { "commands off", commandsOff, t.loginPath(), "none", {}, false, {}, {}, {} },
        { "all sites", withCommands("all", true), t.loginPath(), "all", {}, true, reads, writes,
            executables },
        { "listed sites", withCommands("domains", true), t.loginPath(), "domains",
            { "example.com", "*.example.org" }, true, reads, writes, executables },
        { "local network", withCommands("local", false), t.loginPath(), "local", {}, false, {}, {},
            executables },
        { "login PATH unknown", withCommands("none", true), std::nullopt, "none", {}, true, {}, {}, {} },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto resolved = resolver.resolve(c.settings, c.loginPath);
        EXPECT_EQ(resolved.bash, c.settings.bash);
        EXPECT_EQ(resolved.network, c.network);
        EXPECT_EQ(resolved.domains, c.domains);
        EXPECT_EQ(resolved.cliTools, c.cliTools);
        EXPECT_EQ(resolved.toolReads, c.toolReads);
        EXPECT_EQ(resolved.toolWrites, c.toolWrites);
        EXPECT_EQ(resolved.executableFolders, c.executableFolders);
    }
}

TEST(PermissionResolution, LeavesTheToolListsEmptyWhenTheScanIsSlowerThanTheProbe)
{
    HomeWithTools t;
    // The scan lists every PATH folder; this one does not open until the test lets it.
    test::HeldFolder held(t.home / ".cargo/bin");
    if (!held.isHolding())
        GTEST_SKIP() << "holding folder openings needs fanotify and CAP_SYS_ADMIN";
    auto resolver = t.resolver(3.0);
    resolver.probePool = std::make_shared<ProbePool>(2);

    auto resolved = resolver.resolve(withCommands("all", true), t.loginPath());
    EXPECT_TRUE(resolved.cliTools);
    EXPECT_EQ(resolved.toolReads, Paths {});
    EXPECT_EQ(resolved.toolWrites, Paths {});
    EXPECT_EQ(resolved.executableFolders, Paths {});
    // The scan was still held when the resolver gave up on it.
    EXPECT_TRUE(held.allowWaitingOpening());

    held.release();
    EXPECT_EQ(
        resolver.resolve(withCommands("all", true), t.loginPath()).toolWrites, Paths { t.home / ".cargo" });
}

TEST(PermissionResolution, LeavesTheToolListsEmptyWhenTheScanCannotStart)
{
    HomeWithTools t;
    auto resolver = t.resolver();
    resolver.probePool = std::make_shared<ProbePool>(0);
    auto resolved = resolver.resolve(withCommands("all", true), t.loginPath());
    EXPECT_TRUE(resolved.cliTools);
    EXPECT_EQ(resolved.executableFolders, Paths {});
}

TEST(PermissionResolution, KeepsAlwaysAllowedPlacesOnlyInsideAWritableGrant)
{
    TemporaryHome t;
    fs::create_directories(t.home / "Code/app/.claude/skills");
    fs::create_directories(t.home / "Code/app/.claude/agents");
    fs::create_directories(t.home / "Notes/.claude/commands");
    fs::create_directory_symlink(t.home / "Code/app", t.home / "app-link");
    const fs::path skills = t.home / "Code/app/.claude/skills";
    struct Case {
        const char* name;
        std::vector<std::string> alwaysAllow;
        Paths kept;
    };
    const Case cases[] = {
        { "skills under a writable grant", { "~/Code/app/.claude/skills" }, { skills } },
        { "written in full", { skills.string() + "/" }, { skills } },
        { "reached through a symlink, and again directly",
            { "~/app-link/.claude/skills", "~/Code/app/.claude/skills" }, { skills } },
        { "not yet created", { "~/Code/app/.claude/commands" }, { t.home / "Code/app/.claude/commands" } },
        { "under a read-only grant", { "~/Notes/.claude/commands" }, {} },
        { "the .claude folder itself", { "~/Code/app/.claude" }, {} },
        { "another name", { "~/Code/app/.claude/hooks" }, {} },
        { "a dot-dot component", { "~/Code/app/x/../.claude/skills" }, {} },
        { "relative", { "Code/app/.claude/skills" }, {} },
        { "the granted folder itself", { "~/Grant/.claude/agents" }, {} },
        { "order kept", { "~/Code/app/.claude/agents", "~/Code/app/.claude/skills" },
            { t.home / "Code/app/.claude/agents", skills } },
    };
    fs::create_directories(t.home / "Grant/.claude/agents");
    auto settings
        = withFolders({ { "~/Code/app", true }, { "~/Notes", false }, { "~/Grant/.claude/agents", true } });
    const auto resolver = t.resolver();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings.alwaysAllow = c.alwaysAllow;
        EXPECT_EQ(resolver.resolve(settings, std::nullopt).alwaysWrites, c.kept);
    }
}

TEST(PermissionResolution, MapsSecretItemsToTheirExistingPlacesInTheSettingsOrder)
{
    TemporaryHome t;
    touch(t.home / ".gitconfig");
    touch(t.home / ".netrc");
    fs::create_directories(t.home / ".aws");
    PermissionSettings settings;
    settings.secrets = { { "ssh", false }, { "git-credentials", true }, { "aws", false } };

    auto resolved = t.resolver().resolve(settings, std::nullopt);
    EXPECT_EQ(resolved.secrets,
        (std::vector<SecretGrant> { { "ssh", false, {}, {} },
            { "git-credentials", true, {}, { t.home / ".netrc", t.home / ".gitconfig" } },
            { "aws", false, { t.home / ".aws" }, {} } }));
    EXPECT_EQ(resolved.secretMode("ssh"), "read");
    EXPECT_EQ(resolved.secretMode("git-credentials"), "write");
    EXPECT_EQ(resolved.secretMode("gnupg"), std::nullopt);
}

TEST(PermissionResolution, ApprovalGatesNarrowTheRunUntilGranted)
{
    TemporaryHome t;
    fs::create_directories(t.home / "Code");
    const auto resolver = t.resolver();
    auto settings = withFolders({ { "~/Code", true }, { "~/Projects", false } });
    settings.bash = true;
    settings.approve = { "write", "bash" };
    settings.alwaysAllow = {};

    auto resolved = resolver.resolve(settings, std::nullopt);
    EXPECT_EQ(resolved.approve, (std::set<std::string> { "bash", "write" }));
    EXPECT_TRUE(resolved.granted.empty());
    EXPECT_FALSE(resolved.bashGated);

    auto gated = resolved.applyingGates();
    for (const auto& grant : gated.folders)
        EXPECT_FALSE(grant.writable) << grant.label;
    EXPECT_TRUE(gated.bashGated);

    resolved.granted = { "write", "bash" };
    EXPECT_EQ(resolved.applyingGates(), resolved);

    // Nothing writable: "write" has nothing to gate, and only commands wait.
    auto readOnly = resolver.resolve(withFolders({ { "~/Projects", false } }), std::nullopt);
    readOnly.approve = { "write" };
    EXPECT_FALSE(readOnly.isGated("write"));
    EXPECT_EQ(readOnly.applyingGates(), readOnly);
}

TEST(IsClaudeSubfolderInWritableGrant, NeedsAClaudeSubfolderStrictlyInsideAWritableGrant)
{
    const std::vector<FolderGrant> grants { { "/w/read", false, "/w/read", false },
        { "/w/app", true, "/w/app", false },
        { "/w/app/.claude/skills", true, "/w/app/.claude/skills", false } };
    struct Case {
        const char* url;
        bool expected;
    };
    const Case cases[] = {
        { "/w/app/.claude/skills", true },
        { "/w/app/.claude/commands/", true },
        { "/w/app/sub/.claude/agents", true },
        { "/w/app/.claude", false },
        { "/w/app/.claude/hooks", false },
        { "/w/app/claude/skills", false },
        { "/w/read/.claude/skills", false },
        { "/w/apple/.claude/skills", false },
        { "/.claude/skills", false },
        { "skills", false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(isClaudeSubfolderInWritableGrant(c.url, grants), c.expected);
    }
    // The granted folder itself is not strictly inside itself.
    EXPECT_FALSE(isClaudeSubfolderInWritableGrant(
        "/x/.claude/skills", { { "/x/.claude/skills", true, "/x/.claude/skills", false } }));
}
