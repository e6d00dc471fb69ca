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

std::string joined(const Paths& folders)
{
    std::string text;
    for (const auto& folder : folders)
        text += (text.empty() ? "" : ":") + folder.string();
    return text;
}

}

TEST(CommandLineToolScan, FindsToolFoldersThroughLinkedPrograms)
{
    test::TemporaryHome t;
    const fs::path R = t.root, H = t.home, brew = R / "opt/homebrew";
    linkProgram(brew / "Cellar/gh/2.0/bin/gh", brew / "bin/gh");
    test::touch(brew / "bin/brew");
    fs::create_directory_symlink(brew / "bin", R / "brew-link");
    linkProgram(H / ".rustup/toolchains/stable/bin/rustc", H / ".local/bin/rustc");
    test::madeFolder(H / ".cargo/bin");
    for (const char* name : { "env.fish", "env", "env.unknown" })
        test::touch(H / ".cargo" / name);
    // Found only if "~/bin" or "." were read as this process would read them.
    test::madeFolder(H / "bin");
    test::touch(R / "a-file");
    fs::create_symlink("b", test::madeFolder(R / "loops") / "a");
    fs::create_symlink("a", R / "loops/b");

    auto tools = t.resolver().scanCommandLineTools(
        joined({ H / ".cargo/bin", brew / "bin", H / ".local/bin", R / "brew-link", brew / "bin" })
        + ":~/bin:.:" + joined({ R / "a-file", R / "loops" }));
    // A program linked into a PATH folder makes its package readable; .local is shared by many
    // tools and never becomes a write folder, unlike .cargo and .rustup; what those hold is
    // writable, so not listed as readable.
    EXPECT_EQ(
        tools.toolReads, (Paths { brew / "bin", brew / "Cellar/gh/2.0", H / ".local/bin", R / "loops" }));
    EXPECT_EQ(tools.toolWrites, (Paths { H / ".cargo", H / ".rustup" }));
    EXPECT_EQ(tools.executableFolders,
        (Paths { H / ".cargo/bin", brew / "bin", brew / "Cellar/gh/2.0/bin", H / ".local/bin",
            H / ".rustup/toolchains/stable/bin", R / "loops", H / ".cargo/env", H / ".cargo/env.fish" }));
}

TEST(CommandLineToolScan, AddsAtMostFortyReadAndWriteFoldersWhileExecutableFoldersKeepGrowing)
{
    test::TemporaryHome t;
    // Each ~/.tN/bin adds a read and a write folder; the reads inside the writes go afterwards.
    Paths path;
    for (int index = 0; index < 10; ++index)
        path.push_back(test::madeFolder(t.home / (".t" + std::to_string(index)) / "bin"));
    for (int index = 0; index < 30; ++index)
        path.push_back(test::madeFolder(t.root / "sys" / std::to_string(index)));
    auto tools = t.resolver().scanCommandLineTools(joined(path));
    EXPECT_EQ(tools.toolReads.size(), 20u);
    EXPECT_EQ(tools.toolWrites.size(), 10u);
    EXPECT_EQ(tools.executableFolders, path);
}

TEST(CommandLineToolScan, LooksAtTheFirstFourHundredNamesOfAPathFolderInNameOrder)
{
    test::TemporaryHome t;
    char name[8];
    for (int index = 449; index >= 0; --index) {
        std::snprintf(name, sizeof name, "%03d", index);
        linkProgram(t.root / "pkgs" / name / "bin/tool", t.root / "many" / name);
    }
    auto programs = t.resolver().scanCommandLineTools((t.root / "many").string()).executableFolders;
    ASSERT_EQ(programs.size(), 401u);
    EXPECT_EQ(programs[1], t.root / "pkgs/000/bin");
    EXPECT_EQ(programs.back(), t.root / "pkgs/399/bin");
}

TEST(CommandLineToolScan, NeverOffersProtectedPlacesOrTheDataFolder)
{
    test::TemporaryHome t;
    const fs::path R = t.root, H = t.home;
    linkProgram(H / ".ssh/bin/keytool", R / "bin-ssh/keytool");
    const auto resolver = t.resolver();
    // A key folder, the data folder, a folder holding it, home itself, a privacy folder, a path with a
    // space; and a folder of links into the key folder, which is read but not its target.
    for (const auto& [folder, reads] : std::vector<std::pair<fs::path, Paths>> { { H / ".ssh/bin", {} },
             { test::madeFolder(t.data / "bin"), {} }, { H / ".local/share", {} }, { H, {} },
             { test::madeFolder(H / "Documents/bin"), {} }, { test::madeFolder(R / "my tools"), {} },
             { R / "bin-ssh", { R / "bin-ssh" } } }) {
        SCOPED_TRACE(folder);
        auto tools = resolver.scanCommandLineTools(folder.string());
        EXPECT_EQ(tools.toolReads, reads);
        EXPECT_EQ(tools.toolWrites, Paths {});
        // Listed all the same: executable folders are only ever closed to writing.
        EXPECT_EQ(tools.executableFolders.at(0), folder);
    }
}
