// A configuration with some settings taken out: what stays is what the real `git config` reads from the
// whole file but those keys, and what Git would read otherwise is no guess.
#include "VellumarMacCore/GitProtection/Judging/SettingsTakenOut.h"

#include "VellumarMacCore/GitProtection/Judging/GitCountedSettings.h"

#include <gtest/gtest.h>

using namespace vellumar;

TEST(SettingsTakenOut, KeepsEveryOtherSettingAsGitReadsIt)
{
    struct Case {
        const char* name;
        std::string configuration;
        std::optional<std::string> kept; // absent: nothing is kept
    };
    const std::set<std::string, std::less<>> keys { "core.fsmonitor", "remote.Origin.pushurl", "a.b.c.x" };
    const Case cases[] = {
        { "a line of its own, the blank before it too",
            "[core]\n\tbare = false\n\tfsmonitor = ./run\n[user]\n\tname = U\n",
            "[core]\n\tbare = false\n[user]\n\tname = U\n" },
        { "after a header on its line, case as Git folds it", "[CORE] FSMonitor = ./run\n\tbare = false\n",
            "[CORE] \n\tbare = false\n" },
        { "continued and quoted past a comment sign",
            "[core]\n\tfsmonitor = \"./a;b\" \\\n ./c # why\n\tbare = false\n", "[core]\n\tbare = false\n" },
        { "a quoted subsection as written, an old-style one folded",
            "[remote \"Origin\"]\n\tpushurl = ext::sh\n\turl = x\n[remote \"origin\"]\n\tpushurl = y\n"
            "[A.b.C]\n\tx\n",
            "[remote \"Origin\"]\n\turl = x\n[remote \"origin\"]\n\tpushurl = y\n[A.b.C]\n" },
        { "a last line without its end", "[core]\n\tfsmonitor = ./run", "[core]\n" },
        { "a quote left open", "[core]\n\tfsmonitor = \"./run\n", std::nullopt },
        { "a header left open", "[core\n\tfsmonitor = ./run\n", std::nullopt },
        { "an escape Git refuses", "[core]\n\tname = a\\qb\n", std::nullopt },
    };
    auto reader = GitCountedSettings::gitReaderForThisProcess();
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto kept = SettingsTakenOut::configurationWithout(testCase.configuration, keys);
        EXPECT_EQ(kept, testCase.kept);
        if (!kept)
            continue;
        std::vector<GitCountedSettings::Setting> expected;
        for (auto& setting : GitCountedSettings::settingsOf(reader(testCase.configuration).value())) {
            if (!keys.contains(setting.key))
                expected.push_back(std::move(setting));
        }
        EXPECT_EQ(GitCountedSettings::settingsOf(reader(*kept).value_or("unread")), expected);
    }
}
