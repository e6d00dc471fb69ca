// The record of where a run's sandbox holds placeholders, and what its end and the next start remove.
#include "VellumarMacCore/ClaudeCode/SandboxPlaceholders.h"

#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/FileFixtures.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace vellumar;
using test::existsAt;
namespace fs = std::filesystem;

// A killed run's record names the first missing path on the way to each denied one in a writable
// place; the next start removes only what still is an empty placeholder there, and nothing another
// live run noted, which that run's end removes.
TEST(SandboxPlaceholders, TheNextStartRemovesOnlyTheEmptyPlaceholdersARecordNames)
{
    test::TemporaryHome home;
    const fs::path record = LiveRuns::recordOf(home.data, LiveRuns::Kind::sandboxPlaceholder);
    const fs::path place = test::madeFolder(home.root / "place");
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make; // at the noted path, after the kill
        bool stays;
    };
    const Case cases[] = {
        { "an empty file", [](const fs::path& at) { std::ofstream { at }; }, false },
        { "a character device",
            [](const fs::path& at) { ::mknod(at.c_str(), S_IFCHR | 0444, makedev(1, 3)); }, false },
        { "an empty folder", [](const fs::path& at) { fs::create_directory(at); }, false },
        { "a file with data", [](const fs::path& at) { test::touch(at); }, true },
        { "a folder holding a file", [](const fs::path& at) { test::touch(test::madeFolder(at) / "f"); },
            true },
        { "a link to an empty file",
            [&](const fs::path& at) {
                std::ofstream { home.root / "empty" };
                fs::create_symlink(home.root / "empty", at);
            },
            true },
    };
    // Each case's ".git" is missing; the other paths are no placeholder's.
    test::touch(place / "a-file");
    std::vector<std::string> denied = { (place / "a-file").string(), (place / "a-file/below").string(),
        (place / "**/.claude/x.json").string(), (home.root / "outside").string(), place.string() };
    for (const auto& testCase : cases)
        denied.push_back((test::madeFolder(place / testCase.name) / ".git/hooks").string());
    // A live run whose placeholder stands.
    const std::vector<std::string> shared = { (place / "shared").string() };
    std::optional<SandboxPlaceholders> first(
        std::in_place, shared, std::vector<fs::path> { place }, home.data);
    std::ofstream { place / "shared" };
    // A process killed during its run, as `_Exit` leaves it: nothing of its end runs.
    const int killed = test::exitStatusWithin(std::chrono::seconds(10), [&]() -> int {
        std::_Exit(static_cast<int>(SandboxPlaceholders(denied, { place }, home.data).noted().size()));
    });
    EXPECT_EQ(killed, static_cast<int>(std::size(cases)));
    for (const auto& testCase : cases)
        testCase.make(place / testCase.name / ".git");

    SandboxPlaceholders::removeLeftBehind(home.data);

    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(existsAt(place / testCase.name / ".git"), testCase.stays);
    }
    const std::vector<LiveRuns::Entry> sharedOnly = { { (place / "shared").native(), {} } };
    EXPECT_EQ(LiveRuns::decoded(test::readFile(record)).entries, sharedOnly);
    // A second run starts while the first one's placeholder stands.
    std::optional<SandboxPlaceholders> second(
        std::in_place, shared, std::vector<fs::path> { place }, home.data);
    first.reset();
    EXPECT_TRUE(existsAt(place / "shared"));
    second.reset();
    EXPECT_FALSE(existsAt(place / "shared"));
    EXPECT_FALSE(existsAt(record));
}
