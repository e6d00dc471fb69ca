#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/PermissionSettings.h"
#include "VellumarMacCore/Permissions/ProbePool.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
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
    auto resolved = t.resolver().resolve(
        withFolders({ { "~/current", false }, { "~/Projects", true }, { "~/Code", false } }), std::nullopt);
    EXPECT_EQ(resolved.folders,
        (std::vector<FolderGrant> {
            { code, false, "~/Code", false }, { projects, true, "~/Projects", false } }));
}

TEST(PermissionResolution, RefusesTheFirstFolderThatFailsItsChecks)
{
    test::TemporaryHome t;
    fs::create_directory_symlink(test::madeFolder(t.home / ".ssh"), t.home / "dotfiles");
    EXPECT_EQ(test::refusalOf([&] {
        t.resolver().resolve(withFolders({ { "~/Projects", true }, { "~/dotfiles", false } }), std::nullopt);
    }),
        "403 protected_folder \"~/dotfiles\" holds keys or Vellumar's own data, so it cannot be allowed.");
}

TEST(PermissionResolution, MakesNetworkAndToolsFollowTheCommandsSwitch)
{
    test::TemporaryHome t;
    test::madeFolder(t.home / ".cargo/bin");
    const fs::path system = test::madeFolder(t.root / "sys/bin");
    const std::string loginPath = (t.home / ".cargo/bin").string() + ":" + system.string();
    auto commands = [](bool bash) {
        PermissionSettings settings;
        settings.bash = bash;
        settings.network = "domains";
        settings.domains = { "example.com" };
        settings.cliTools = true;
        return settings;
    };
    auto resolver = t.resolver();
    auto off = resolver.resolve(commands(false), loginPath);
    EXPECT_EQ(off.network, "none");
    EXPECT_EQ(off.executableFolders, Paths {});
    auto on = resolver.resolve(commands(true), loginPath);
    EXPECT_EQ(on.domains, std::vector<std::string> { "example.com" });
    EXPECT_EQ(on.toolWrites, Paths { t.home / ".cargo" });
    // A scan that cannot start leaves the tools' folders closed, never the run.
    resolver.probePool = std::make_shared<ProbePool>(0);
    EXPECT_EQ(resolver.resolve(commands(true), loginPath).executableFolders, Paths {});
}

TEST(PermissionResolution, KeepsAlwaysAllowedPlacesOnlyInsideAWritableGrant)
{
    test::TemporaryHome t;
    const fs::path skills = test::madeFolder(t.home / "Code/app/.claude/skills");
    fs::create_directory_symlink(t.home / "Code/app", t.home / "app-link");
    auto settings = withFolders({ { "~/Code/app", true } });
    settings.alwaysAllow = { "~/app-link/.claude/skills", "~/Code/app/x/../.claude/agents" };
    // Kept at its real place through a link; a dot-dot component is dropped.
    EXPECT_EQ(t.resolver().resolve(settings, std::nullopt).alwaysWrites, Paths { skills });
}

TEST(PermissionResolution, MapsSecretItemsToTheirExistingPlacesOutsidePrivacyFolders)
{
    test::TemporaryHome t;
    fs::create_directory_symlink(test::madeFolder(t.home / "Documents/ssh"), t.home / ".ssh");
    fs::create_directory_symlink(test::madeFolder(t.home / "kube"), t.home / ".kube");
    test::touch(t.home / ".netrc");
    PermissionSettings settings;
    settings.secrets = { { "ssh", false }, { "git-credentials", true }, { "docker-kube", false } };
    EXPECT_EQ(t.resolver().resolve(settings, std::nullopt).secrets,
        (std::vector<SecretGrant> { { "ssh", false, {}, {} },
            { "git-credentials", true, {}, { t.home / ".netrc" } },
            { "docker-kube", false, { t.home / "kube" }, {} } }));
}
