#include "Vellumar_for_Mac/Model/Texts.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using namespace vellumar;
using namespace vellumar::test;

namespace {

// Every "mac.…" key written as a literal in the application's sources.
std::set<std::string> keyLiteralsInApplication()
{
    const std::regex keyLiteral(R"re("(mac\.[A-Za-z0-9_.]+)")re");
    std::set<std::string> keys;
    for (const auto& entry :
        std::filesystem::recursive_directory_iterator(sourceDir() / "Vellumar_for_Mac")) {
        auto extension = entry.path().extension();
        if (extension != ".cpp" && extension != ".h")
            continue;
        std::string source = readFile(entry.path());
        for (std::sregex_iterator match(source.begin(), source.end(), keyLiteral), end; match != end; ++match)
            keys.insert((*match)[1]);
    }
    return keys;
}

}

TEST(Texts, AMissingKeyGivesTheKey)
{
    Texts texts({ { "mac.activity.done", "Done" } });
    EXPECT_EQ(texts.text("mac.activity.done"), "Done");
    EXPECT_EQ(texts.text("mac.activity.unknown"), "mac.activity.unknown");
    EXPECT_EQ(texts.text("mac.pair.for %s", { QString("x") }), "mac.pair.for x");
}

TEST(Texts, TheBundledTableHasATextForEveryKeyTheApplicationUses)
{
    std::set<std::string> keys = keyLiteralsInApplication();
    ASSERT_GE(keys.size(), 20u);
    keys.insert("Vellumar for Mac");
    Texts texts = Texts::bundled();
    for (const auto& key : keys) {
        SCOPED_TRACE(key);
        EXPECT_TRUE(texts.table().contains(QString::fromStdString(key)));
        EXPECT_FALSE(texts.text(QString::fromStdString(key)).isEmpty());
    }
}

TEST(Texts, ATableFileThatIsNotAnObjectOfTextsGivesKeys)
{
    const struct {
        const char* name;
        std::string contents;
        std::size_t entries;
    } cases[] = {
        { "array", R"(["mac.activity.done"])", 0 },
        { "malformed", R"({"mac.activity.done": )", 0 },
        { "non-text values skipped", R"({"mac.activity.done": 1, "mac.activity.failed": "Failed"})", 1 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryFolder folder;
        writeBytes(folder / "texts.json", testCase.contents);
        Texts texts = Texts::fromFile(QString::fromStdString((folder / "texts.json").string()));
        EXPECT_EQ(static_cast<std::size_t>(texts.table().size()), testCase.entries);
        EXPECT_EQ(texts.text("mac.activity.done"), "mac.activity.done");
    }
}
