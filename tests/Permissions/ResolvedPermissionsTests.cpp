#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "VellumarMacCore/Permissions/SecretItems.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace vellumar;
namespace fs = std::filesystem;

TEST(PathContainment, ComparesStandardizedPathsWithoutDoublingSlashes)
{
    struct Case {
        const char* child;
        const char* folder;
        bool inside;
    };
    const Case cases[] = {
        { "/a/b", "/a/b", true },
        { "/a/b/c", "/a/b/", true },
        { "/a/bc", "/a/b", false },
        { "/a/b/../c", "/a/b", false },
        { "/a/b/./c", "/a/b", true },
        { "/a/b/", "/a/b", true },
        { "/x", "/", true },
        { "/a", "/a/b", false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.child) + " in " + c.folder);
        EXPECT_EQ(isPathInside(c.child, c.folder), c.inside);
    }
}

namespace {

ResolvedPermissions withFolders(std::vector<FolderGrant> folders)
{
    ResolvedPermissions permissions;
    permissions.folders = std::move(folders);
    return permissions;
}

}

TEST(ResolvedPermissions, WriteGateMakesEveryFolderReadOnlyOnlyWhenSomethingIsWritable)
{
    auto permissions = withFolders({ { "/p", true, "/p", false }, { "/q", false, "/q", false } });
    permissions.approve = { "write" };
    auto gated = permissions.applyingGates();
    EXPECT_FALSE(gated.folders[0].writable);
    EXPECT_FALSE(gated.folders[1].writable);
    EXPECT_FALSE(gated.bashGated);

    permissions.granted = { "write" };
    EXPECT_EQ(permissions.applyingGates(), permissions);

    auto readOnly = withFolders({ { "/q", false, "/q", false } });
    readOnly.approve = { "write" };
    EXPECT_FALSE(readOnly.isGated("write"));
    EXPECT_EQ(readOnly.applyingGates(), readOnly);
}

TEST(ResolvedPermissions, BashGateKeepsCommandsOnButGatesThem)
{
    ResolvedPermissions permissions;
    permissions.bash = true;
    permissions.approve = { "bash" };
    auto gated = permissions.applyingGates();
    EXPECT_TRUE(gated.bash);
    EXPECT_TRUE(gated.bashGated);

    permissions.granted = { "bash" };
    EXPECT_FALSE(permissions.applyingGates().bashGated);

    ResolvedPermissions off;
    off.approve = { "bash" };
    EXPECT_FALSE(off.applyingGates().bashGated);

    ResolvedPermissions alreadyGated;
    alreadyGated.bashGated = true;
    EXPECT_TRUE(alreadyGated.applyingGates().bashGated);
}

TEST(ResolvedPermissions, SecretModeAnswersForTheFirstGrantOfTheItem)
{
    ResolvedPermissions permissions;
    permissions.secrets = { { "ssh", false, {}, {} }, { "ssh", true, {}, {} }, { "aws", true, {}, {} } };
    EXPECT_EQ(permissions.secretMode("ssh"), "read");
    EXPECT_EQ(permissions.secretMode("aws"), "write");
    EXPECT_EQ(permissions.secretMode("gnupg"), std::nullopt);
}

TEST(PermissionResolver, ListFolderUnitesFixedNamesWithWhatIsThereButWorkFolders)
{
    test::TemporaryFolder folder;
    fs::path data = folder / "data";
    fs::create_directories(data / "workspaces");
    fs::create_directories(data / "tls");
    std::ofstream(data / "extra.txt") << "x";
    PermissionResolver resolver(folder.path(), data, 3.0);

    std::vector<fs::path> expected;
    for (const char* name : { "activity", "claude-settings", "extra.txt", "incoming", "memory.json",
             "routines.json", "sessions.json", "tls" })
        expected.push_back(data / name);
    EXPECT_EQ(resolver.listFolder(), expected);

    PermissionResolver missing(folder.path(), folder / "nowhere", 3.0);
    EXPECT_EQ(missing.listFolder().size(), PermissionResolver::appDataNames().size());
}

TEST(PermissionResolver, SecretPathsListStandardizedAndResolvedFormsOnce)
{
    test::TemporaryFolder folder;
    fs::path home = folder / "home";
    fs::create_directories(home);
    fs::create_directories(folder / "real-ssh");
    fs::create_directory_symlink(folder / "real-ssh", home / ".ssh");
    PermissionResolver resolver(home, folder / "data", 3.0);

    EXPECT_EQ(resolver.secretPaths("ssh"), (std::vector<fs::path> { home / ".ssh", folder / "real-ssh" }));
    EXPECT_EQ(resolver.secretPaths("aws"), (std::vector<fs::path> { home / ".aws" }));
    EXPECT_EQ(resolver.secretPaths("relay"), (std::vector<fs::path> { folder / "data" }));
    EXPECT_EQ(
        resolver.secretPaths("claude"), (std::vector<fs::path> { home / ".claude", home / ".claude.json" }));
    EXPECT_TRUE(resolver.secretPaths("unknown").empty());
}

TEST(PermissionResolver, StoresHomeWithSymlinksResolved)
{
    test::TemporaryFolder folder;
    fs::create_directories(folder / "real-home");
    fs::create_directory_symlink(folder / "real-home", folder / "home");
    PermissionResolver resolver(folder / "home", folder / "data", 3.0);
    EXPECT_EQ(resolver.home, folder / "real-home");
    EXPECT_EQ(resolver.dataFolder, folder / "data");
}

TEST(SecretItems, CatalogueOrderIsFixed)
{
    EXPECT_EQ(SecretItems::ids(),
        (std::vector<std::string> {
            "relay", "ssh", "aws", "gnupg", "config", "docker-kube", "claude", "git-credentials", "shell" }));
    EXPECT_EQ(PermissionResolver::privacyFolders().size(), 14u);
}
