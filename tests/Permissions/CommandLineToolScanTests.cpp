#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

using Paths = std::vector<fs::path>;

// A program file, and a link to it in a PATH folder.
void linkProgram(const fs::path& program, const fs::path& link)
{
    test::madeFolder(program.parent_path());
    test::madeFolder(link.parent_path());
    test::touch(program);
    fs::create_symlink(program, link);
}

}

TEST(CommandLineToolScan, FindsToolFoldersThroughLinkedPrograms)
{
    test::TemporaryHome t;
    const fs::path H = t.home, brew = t.root / "opt/homebrew";
    linkProgram(brew / "Cellar/gh/2.0/bin/gh", brew / "bin/gh");
    linkProgram(H / ".rustup/toolchains/stable/bin/rustc", H / ".local/bin/rustc");
    test::madeFolder(H / ".cargo/bin");
    test::touch(H / ".cargo/env");
    // Found only if "~/bin" were read as this process would read it.
    test::madeFolder(H / "bin");
    auto tools = t.resolver().scanCommandLineTools((H / ".cargo/bin").string() + ":" + (brew / "bin").string()
        + ":" + (H / ".local/bin").string() + ":~/bin");
    // A program linked into a PATH folder makes its package readable; .local is shared by many
    // tools and never becomes a write folder, unlike .cargo and .rustup.
    EXPECT_EQ(tools.toolReads, (Paths { brew / "bin", brew / "Cellar/gh/2.0", H / ".local/bin" }));
    EXPECT_EQ(tools.toolWrites, (Paths { H / ".cargo", H / ".rustup" }));
    EXPECT_EQ(tools.executableFolders,
        (Paths { H / ".cargo/bin", brew / "bin", brew / "Cellar/gh/2.0/bin", H / ".local/bin",
            H / ".rustup/toolchains/stable/bin", H / ".cargo/env" }));
}

TEST(CommandLineToolScan, LooksAtTheFirstFourHundredNamesOfAPathFolderInNameOrder)
{
    test::TemporaryHome t;
    char name[12];
    for (int index = 449; index >= 0; --index) {
        std::snprintf(name, sizeof name, "%03d", index);
        linkProgram(t.root / "pkgs" / name / "bin/tool", t.root / "many" / name);
    }
    auto programs = t.resolver().scanCommandLineTools((t.root / "many").string()).executableFolders;
    ASSERT_EQ(programs.size(), 401u);
    EXPECT_EQ(programs.back(), t.root / "pkgs/399/bin");
}

TEST(CommandLineToolScan, NeverOffersProtectedPlacesOrTheDataFolder)
{
    test::TemporaryHome t;
    linkProgram(t.home / ".ssh/bin/keytool", t.root / "bin-ssh/keytool");
    const auto resolver = t.resolver();
    // A key folder, the data folder, home itself; and a folder of links into the key folder, which is
    // read but not its target.
    for (const auto& [folder, reads] : std::vector<std::pair<fs::path, Paths>> { { t.home / ".ssh/bin", {} },
             { test::madeFolder(t.data / "bin"), {} }, { t.home, {} },
             { t.root / "bin-ssh", { t.root / "bin-ssh" } } }) {
        SCOPED_TRACE(folder);
        auto tools = resolver.scanCommandLineTools(folder.string());
        EXPECT_EQ(tools.toolReads, reads);
        EXPECT_EQ(tools.toolWrites, Paths {});
    }
}
