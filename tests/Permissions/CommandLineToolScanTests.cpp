#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/Permissions/TemporaryHome.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

using namespace vellumar;
using test::TemporaryHome;
using test::touch;
namespace fs = std::filesystem;

namespace {

using Paths = std::vector<fs::path>;

bool holds(const Paths& list, const fs::path& path)
{
    return std::find(list.begin(), list.end(), path) != list.end();
}

// A program file in `folder`, and a link to it named `link` (relative, so that it leads to the same
// place inside a chroot).
void linkProgram(const fs::path& program, const fs::path& link)
{
    fs::create_directories(program.parent_path());
    fs::create_directories(link.parent_path());
    touch(program);
    fs::create_symlink(fs::relative(program, link.parent_path()), link);
}

std::string joined(const Paths& folders)
{
    std::string text;
    for (const auto& folder : folders)
        text += (text.empty() ? "" : ":") + folder.string();
    return text;
}

// No folder the tools may read or write reaches, or holds, a secret item's place or the data folder.
void expectNothingProtected(const PermissionResolver& resolver, const PermissionResolver::ToolFolders& tools)
{
    Paths places = resolver.protectedPlaces();
    places.push_back(resolver.dataFolder);
    for (const auto* list : { &tools.toolReads, &tools.toolWrites }) {
        for (const auto& folder : *list) {
            for (const auto& place : places) {
                EXPECT_FALSE(isPathInside(folder, place)) << folder << " in " << place;
                EXPECT_FALSE(isPathInside(place, folder)) << folder << " holds " << place;
            }
        }
    }
}

}

TEST(CommandLineToolScan, TakesAbsolutePathFoldersAndLeavesTildeAndRelativePiecesAlone)
{
    TemporaryHome t;
    fs::create_directories(t.home / ".cargo/bin");
    touch(t.home / ".cargo/bin/cargo");
    touch(t.home / ".cargo/env");
    // Would be found if "~/bin" were expanded.
    fs::create_directories(t.home / "bin");
    const auto resolver = t.resolver();

    auto tools = resolver.scanCommandLineTools((t.home / ".cargo/bin").string() + ":/usr/bin:~/bin:rel");
    EXPECT_EQ(tools.toolWrites, Paths { t.home / ".cargo" });
    ASSERT_GE(tools.executableFolders.size(), 3u);
    EXPECT_EQ(tools.executableFolders[0], t.home / ".cargo/bin");
    EXPECT_EQ(tools.executableFolders[1], "/usr/bin");
    EXPECT_EQ(tools.executableFolders.back(), t.home / ".cargo/env");
    ASSERT_FALSE(tools.toolReads.empty());
    EXPECT_EQ(tools.toolReads.front(), "/usr/bin");
    // Inside ~/.cargo, which the tools may write anyway.
    EXPECT_FALSE(holds(tools.toolReads, t.home / ".cargo/bin"));
    for (const auto* list : { &tools.toolReads, &tools.toolWrites, &tools.executableFolders }) {
        for (const auto& folder : *list) {
            EXPECT_TRUE(folder.is_absolute()) << folder;
            EXPECT_NE(folder, t.home / "bin");
            EXPECT_NE(folder.filename(), "rel");
        }
    }
    expectNothingProtected(resolver, tools);
}

TEST(CommandLineToolScan, FindsToolFoldersThroughLinkedPrograms)
{
    TemporaryHome t;
    const fs::path R = resolvingSymlinks(t.root.path());
    const fs::path H = t.home;
    const fs::path brew = R / "opt/homebrew";
    linkProgram(brew / "Cellar/gh/2.0/bin/gh", brew / "bin/gh");
    touch(brew / "bin/brew");
    fs::create_directory_symlink(brew / "bin", R / "brew-link");
    fs::create_directories(H / ".local/bin");
    touch(H / ".local/bin/tool");
    linkProgram(H / ".rustup/toolchains/stable/bin/rustc", H / ".local/bin/rustc");
    fs::create_directories(H / ".cargo/bin");
    touch(H / ".cargo/env.fish");
    touch(H / ".cargo/env");
    touch(H / ".cargo/env.unknown");

    auto tools = t.resolver().scanCommandLineTools(
        joined({ H / ".cargo/bin", brew / "bin", H / ".local/bin", R / "brew-link", brew / "bin" }));
    // A program linked into a PATH folder makes its package readable; .local is shared by many
    // tools and never becomes a write folder, unlike .cargo and .rustup.
    EXPECT_EQ(tools.toolReads, (Paths { brew / "bin", brew / "Cellar/gh/2.0", H / ".local/bin" }));
    EXPECT_EQ(tools.toolWrites, (Paths { H / ".cargo", H / ".rustup" }));
    EXPECT_EQ(tools.executableFolders,
        (Paths { H / ".cargo/bin", brew / "bin", brew / "Cellar/gh/2.0/bin", H / ".local/bin",
            H / ".rustup/toolchains/stable/bin", H / ".cargo/env", H / ".cargo/env.fish" }));
}

TEST(CommandLineToolScan, AddsAtMostFortyReadAndWriteFoldersWhileExecutableFoldersKeepGrowing)
{
    struct Case {
        const char* name;
        int homeTools; // ~/.tN/bin, each adding a read and a write folder before the reads are pruned
        int systemFolders;
        std::size_t reads;
        std::size_t writes;
    };
    const Case cases[] = {
        { "system folders only", 0, 50, 40, 0 },
        { "home tools first", 10, 30, 20, 10 },
        { "home tools only", 25, 0, 0, 20 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryHome t;
        Paths path;
        for (int index = 0; index < c.homeTools; ++index)
            path.push_back(t.folder(t.home / (".t" + std::to_string(index)) / "bin"));
        for (int index = 0; index < c.systemFolders; ++index)
            path.push_back(t.folder(resolvingSymlinks(t.root.path()) / "sys" / std::to_string(index)));
        auto tools = t.resolver().scanCommandLineTools(joined(path));
        EXPECT_EQ(tools.toolReads.size(), c.reads);
        EXPECT_EQ(tools.toolWrites.size(), c.writes);
        EXPECT_EQ(tools.executableFolders, path);
    }
}

TEST(CommandLineToolScan, LooksAtTheFirstFourHundredNamesOfAPathFolderInNameOrder)
{
    TemporaryHome t;
    const fs::path R = resolvingSymlinks(t.root.path());
    char name[16];
    for (int index = 449; index >= 0; --index) {
        std::snprintf(name, sizeof name, "%03d", index);
        linkProgram(R / "pkgs" / name / "bin/tool", R / "many" / (std::string("l") + name));
    }
    auto tools = t.resolver().scanCommandLineTools((R / "many").string());
    EXPECT_EQ(tools.executableFolders.size(), 401u);
    EXPECT_TRUE(holds(tools.executableFolders, R / "pkgs/000/bin"));
    EXPECT_TRUE(holds(tools.executableFolders, R / "pkgs/399/bin"));
    EXPECT_FALSE(holds(tools.executableFolders, R / "pkgs/400/bin"));
    EXPECT_EQ(tools.toolReads.size(), PermissionResolver::maxToolFolders);
}

TEST(CommandLineToolScan, NeverOffersProtectedPlacesOrTheDataFolder)
{
    TemporaryHome t;
    const fs::path R = resolvingSymlinks(t.root.path());
    const fs::path H = t.home;
    linkProgram(H / ".ssh/bin/keytool", R / "bin-ssh/keytool");
    linkProgram(H / ".aws/cli/bin/aws", R / "bin-aws/aws");
    linkProgram(H / ".claude/local/node_modules/.bin/claude", H / ".claude/local/claude");
    linkProgram(R / "Shared Tools/bin/x", R / "bin-space/x");
    fs::create_directory_symlink(H / ".ssh/bin", R / "ssh-link");
    struct Case {
        const char* name;
        fs::path folder;
        Paths reads;
    };
    const Case cases[] = {
        { "key folder", t.folder(H / ".ssh/bin"), {} },
        { "symlink into the key folder", R / "ssh-link", {} },
        { "settings folder", t.folder(H / ".config/tool/bin"), {} },
        { "Claude Code's own folder", H / ".claude/local", {} },
        { "data folder", t.folder(t.data / "bin"), {} },
        { "folder holding the data folder", H / ".local/share", {} },
        { "home itself", H, {} },
        { "privacy folder", t.folder(H / "Documents/bin"), {} },
        { "path with a space", t.folder(R / "my tools"), {} },
        { "link into the key folder", R / "bin-ssh", { R / "bin-ssh" } },
        { "link into a credentials folder", R / "bin-aws", { R / "bin-aws" } },
        { "link into a folder with a space", R / "bin-space", { R / "bin-space" } },
    };
    const auto resolver = t.resolver();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto tools = resolver.scanCommandLineTools(c.folder.string());
        EXPECT_EQ(tools.toolReads, c.reads);
        EXPECT_EQ(tools.toolWrites, Paths {});
        // Listed all the same: executable folders are only ever closed to writing.
        EXPECT_TRUE(holds(tools.executableFolders, resolvingSymlinks(c.folder)));
        expectNothingProtected(resolver, tools);
    }
}

TEST(CommandLineToolScan, SkipsWhatIsNotAFolderOrCannotBeFollowed)
{
    TemporaryHome t;
    const fs::path R = resolvingSymlinks(t.root.path());
    touch(R / "a-file");
    fs::create_directories(R / "loops");
    fs::create_symlink("self", R / "loops/self");
    fs::create_symlink("b", R / "loops/a");
    fs::create_symlink("a", R / "loops/b");
    struct Case {
        const char* name;
        std::string path;
        Paths executables;
    };
    const Case cases[] = {
        { "empty", "", {} },
        { "only separators", ":::", {} },
        { "missing folder", (R / "missing").string(), {} },
        { "a file", (R / "a-file").string(), {} },
        { "links that lead round in circles", (R / "loops").string(), { R / "loops" } },
        { "a megabyte of separators", std::string(1 << 20, ':'), {} },
    };
    const auto resolver = t.resolver();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(resolver.scanCommandLineTools(c.path).executableFolders, c.executables);
    }
}

namespace {

// The scan's three lists as user 65534, for a home at /home inside the peer's root.
std::string scanOutcome(const std::string& loginPath)
{
    auto tools
        = PermissionResolver("/home", "/home/.local/share/Vellumar", 30.0).scanCommandLineTools(loginPath);
    auto strings = [](const Paths& list) {
        JSON::Array array;
        for (const auto& path : list)
            array.push_back(path.string());
        return JSON(std::move(array));
    };
    return JSON::object({ { "reads", strings(tools.toolReads) }, { "writes", strings(tools.toolWrites) },
                            { "programs", strings(tools.executableFolders) } })
        .encoded();
}

[[maybe_unused]] const bool scanRegistered
    = test::registerUnprivilegedCheck("scanCommandLineTools", scanOutcome);

}

TEST(CommandLineToolScanAsUnprivilegedUser, SkipsTheLinksOfAPathFolderItCannotList)
{
    test::TemporaryFolder temporary;
    const fs::path root = resolvingSymlinks(temporary.path());
    linkProgram(root / "opt/pkg/bin/tool", root / "opt/locked-bin/tool");
    fs::create_directories(root / "home");
    for (const auto& folder : { root, root / "home", root / "opt", root / "opt/pkg", root / "opt/pkg/bin" })
        fs::permissions(folder, fs::perms(0755), fs::perm_options::replace);
    // Searchable, so the folder itself is seen, but its names cannot be listed.
    fs::permissions(root / "opt/locked-bin", fs::perms(0711), fs::perm_options::replace);

    EXPECT_EQ(test::runUnprivileged("scanCommandLineTools", root, "/opt/locked-bin"),
        "{\"programs\":[\"/opt/locked-bin\"],\"reads\":[\"/opt/locked-bin\"],\"writes\":[]}");
    if (geteuid() == 0) {
        auto tools = PermissionResolver(root / "home", root / "home/.local/share/Vellumar", 30.0)
                         .scanCommandLineTools((root / "opt/locked-bin").string());
        EXPECT_EQ(tools.executableFolders, (Paths { root / "opt/locked-bin", root / "opt/pkg/bin" }));
        EXPECT_EQ(tools.toolReads, (Paths { root / "opt/locked-bin", root / "opt/pkg" }));
    }
}
