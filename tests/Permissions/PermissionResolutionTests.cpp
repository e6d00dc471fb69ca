#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/PermissionSettings.h"
#include "VellumarMacCore/Permissions/ProbePool.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

using Paths = std::vector<fs::path>;
using Folders = std::vector<PermissionSettings::Folder>;

PermissionSettings withFolders(Folders folders)
{
    PermissionSettings settings;
    settings.folders = std::move(folders);
    return settings;
}

}

TEST(PermissionResolution, MergesEntriesForTheSamePlaceAndSortsThemByRealPath)
{
    test::TemporaryHome t;
    const fs::path code = test::madeFolder(t.home / "Code"), projects = t.home / "Projects";
    fs::create_directory_symlink(projects, t.home / "current");
    const auto resolver = t.resolver();
    for (const auto& [name, folders, homeAccess, grants] :
        std::vector<std::tuple<const char*, Folders, std::optional<std::string>, std::vector<FolderGrant>>> {
            { "home writable, then read-only", { { "~", true }, { "~/", false } }, "write",
                { { code, true, "~/Code", true }, { projects, true, "~/Projects", true } } },
            { "a subfolder read-only, then home writable", { { "~/Projects", false }, { "~", true } },
                "write", { { code, true, "~/Code", true }, { projects, true, "~/Projects", false } } },
            { "a symlink, its target, then an earlier name",
                { { "~/current", false }, { "~/Projects", true }, { "~/Code", false } }, std::nullopt,
                { { code, false, "~/Code", false }, { projects, true, "~/Projects", false } } },
        }) {
        SCOPED_TRACE(name);
        auto resolved = resolver.resolve(withFolders(folders), std::nullopt);
        EXPECT_EQ(resolved.homeAccess, homeAccess);
        EXPECT_EQ(resolved.folders, grants);
    }
}

TEST(PermissionResolution, RefusesTheFirstFolderThatFailsItsChecks)
{
    test::TemporaryHome t;
    fs::create_directory_symlink(test::madeFolder(t.home / "My Folder"), t.home / "plain");
    fs::create_directory_symlink(test::madeFolder(t.home / ".ssh"), t.home / "dotfiles");
    test::touch(t.home / "notes.txt");
    const auto resolver = t.resolver();
    for (const auto& [folders, expected] : std::vector<std::pair<Folders, std::string>> {
             { { { "~/Projects", true }, { "~/plain", false } },
                 "400 bad_path The real path of \"~/plain\" has characters that cannot be used." },
             { { { "~/dotfiles", false } },
                 "403 protected_folder \"~/dotfiles\" holds keys or Vellumar's own data, so it cannot be "
                 "allowed." },
             { { { "~/notes.txt", false }, { "~/.ssh", false } },
                 "400 folder_not_found The folder \"~/notes.txt\" was not found." },
         }) {
        SCOPED_TRACE(expected);
        EXPECT_EQ(test::refusalOf([&] { resolver.resolve(withFolders(folders), std::nullopt); }), expected);
    }
}

TEST(PermissionResolution, MakesNetworkAndToolsFollowTheCommandsSwitch)
{
    test::TemporaryHome t;
    test::madeFolder(t.home / ".cargo/bin");
    test::touch(t.home / ".cargo/env");
    const fs::path system = test::madeFolder(t.root / "sys/bin");
    const std::string loginPath = (t.home / ".cargo/bin").string() + ":" + system.string();
    auto commands = [](bool bash, std::string network, bool cliTools) {
        PermissionSettings settings;
        settings.bash = bash;
        settings.network = std::move(network);
        settings.domains = { "example.com" };
        settings.approve = { "bash" };
        settings.cliTools = cliTools;
        return settings;
    };
    const Paths programs { t.home / ".cargo/bin", system, t.home / ".cargo/env" };
    auto resolver = t.resolver();
    // Commands off; listed sites; all sites with the tools closed; the login PATH unknown.
    for (const auto& [settings, path, network, domains, reads, writes, executables] :
        std::vector<std::tuple<PermissionSettings, std::optional<std::string>, std::string,
            std::vector<std::string>, Paths, Paths, Paths>> {
            { commands(false, "all", true), loginPath, "none", {}, {}, {}, {} },
            { commands(true, "domains", true), loginPath, "domains", { "example.com" }, { system },
                { t.home / ".cargo" }, programs },
            { commands(true, "all", false), loginPath, "all", {}, {}, {}, programs },
            { commands(true, "none", true), std::nullopt, "none", {}, {}, {}, {} } }) {
        SCOPED_TRACE(network + (path ? "" : " without PATH"));
        auto resolved = resolver.resolve(settings, path);
        EXPECT_EQ(resolved.bash, settings.bash);
        EXPECT_EQ(resolved.cliTools, settings.bash && settings.cliTools);
        EXPECT_EQ(resolved.network, network);
        EXPECT_EQ(resolved.domains, domains);
        EXPECT_EQ(resolved.approve, std::set<std::string> { "bash" });
        EXPECT_EQ(resolved.toolReads, reads);
        EXPECT_EQ(resolved.toolWrites, writes);
        EXPECT_EQ(resolved.executableFolders, executables);
    }
    // A scan that cannot start leaves the tools' folders closed, never the run.
    resolver.probePool = std::make_shared<ProbePool>(0);
    EXPECT_EQ(resolver.resolve(commands(true, "all", true), loginPath).executableFolders, Paths {});
}

TEST(PermissionResolution, KeepsAlwaysAllowedPlacesOnlyInsideAWritableGrant)
{
    test::TemporaryHome t;
    const fs::path skills = test::madeFolder(t.home / "Code/app/.claude/skills");
    fs::create_directory_symlink(t.home / "Code/app", t.home / "app-link");
    auto settings = withFolders({ { "~/Code/app", true } });
    const auto resolver = t.resolver();
    for (const auto& [name, alwaysAllow, kept] :
        std::vector<std::tuple<const char*, std::vector<std::string>, Paths>> {
            { "through a symlink, then directly", { "~/app-link/.claude/skills", skills.string() + "/" },
                { skills } },
            { "not yet created", { "~/Code/app/.claude/agents" }, { t.home / "Code/app/.claude/agents" } },
            { "a dot-dot component", { "~/Code/app/x/../.claude/skills" }, {} },
            { "relative", { "Code/app/.claude/skills" }, {} },
        }) {
        SCOPED_TRACE(name);
        settings.alwaysAllow = alwaysAllow;
        EXPECT_EQ(resolver.resolve(settings, std::nullopt).alwaysWrites, kept);
    }
}

TEST(PermissionResolution, MapsSecretItemsToTheirExistingPlacesOutsidePrivacyFolders)
{
    test::TemporaryHome t;
    fs::create_directory_symlink(test::madeFolder(t.home / "Documents/ssh"), t.home / ".ssh");
    fs::create_directory_symlink(test::madeFolder(t.home / "kube"), t.home / ".kube");
    fs::create_directory_symlink(t.home / "kube", t.home / ".docker");
    test::madeFolder(t.home / ".git-credentials");
    for (const char* file : { ".aws", ".gitconfig", ".netrc" })
        test::touch(t.home / file);
    PermissionSettings settings;
    settings.secrets
        = { { "ssh", false }, { "git-credentials", true }, { "docker-kube", false }, { "aws", false } };
    // Each place once, at its real location, and only as the kind the catalogue gives it.
    EXPECT_EQ(t.resolver().resolve(settings, std::nullopt).secrets,
        (std::vector<SecretGrant> { { "ssh", false, {}, {} },
            { "git-credentials", true, {}, { t.home / ".netrc", t.home / ".gitconfig" } },
            { "docker-kube", false, { t.home / "kube" }, {} }, { "aws", false, {}, {} } }));
}
