// A configuration's settings read without starting Git are the ones Git itself reads, and every form not
// read that far is left to Git.
#include "VellumarMacCore/GitProtection/Finding/PlainGitSettings.h"
#include "VellumarMacCore/GitProtection/Judging/GitCountedSettings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vellumar;

TEST(PlainGitSettings, ReadsWhatGitReadsOrLeavesTheFileToGit)
{
    struct Case {
        const char* name;
        std::string bytes;
        bool plain;
    };
    const Case cases[] = {
        { "as git config writes it",
            "[core]\n\tbare = false\n\thooksPath = .husky/_\n[remote \"origin\"]\n\turl = ../up.git\n"
            "\tfetch = +refs/heads/*:refs/remotes/origin/*\n",
            true },
        { "blanks, comment lines, a name without =, upper case, a subsection",
            "  [Core]  \n; a\n# b\n WorkTree=  a  b \n\tbare\n[core \"Sub\"]\nX-y =\n", true },
        { "a quoted value", "[core]\nworktree = \"../a\"\n", false },
        { "a continued line", "[core]\nworktree = ../a\\\nb\n", false },
        { "a comment after a value", "[core]\nworktree = ../a # b\n", false },
        { "a carriage return", "[core]\r\nworktree = ../a\r\n", false },
        { "a byte-order mark", "\xEF\xBB\xBF[core]\nworktree = ../a\n", false },
        { "a section named with a dot", "[core.x]\nworktree = ../a\n", false },
        { "a name beside the header", "[core] worktree = ../a\n", false },
        { "a setting before any section", "worktree = ../a\n[core]\n", false },
        { "a tab within a value", "[core]\nworktree = ../a\tb\n", false },
        { "a blank before the closing bracket, which Git refuses", "[core \"x\" ]\nworktree = ../a\n", false },
    };
    const auto git = GitCountedSettings::gitReaderForThisProcess();
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto plain = PlainGitSettings::settingsOf(testCase.bytes);
        ASSERT_EQ(plain.has_value(), testCase.plain);
        if (!plain)
            continue;
        auto listing = git(testCase.bytes);
        ASSERT_TRUE(listing.has_value());
        std::vector<PlainGitSettings::Setting> gits;
        for (auto& setting : GitCountedSettings::settingsOf(*listing))
            gits.emplace_back(std::move(setting.key), std::move(setting.value));
        EXPECT_EQ(*plain, gits);
    }
}
