// Git folders and moved-aside folders told by identity: renamed, they are the same; noted later, or only
// named alike, they are not; the record stays bounded and survives damage.
#include "VellumarMacCore/GitProtection/Finding/KnownGitFolders.h"

#include "VellumarMacCore/GitProtection/Finding/IdentityRecord.h"
#include "VellumarMacCore/GitProtection/Finding/MovedAsideByGuard.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vellumar;
namespace fs = std::filesystem;

TEST(KnownGitFolders, AreThoseNotedBeforeTheRunWhereverTheyMoved)
{
    test::TemporaryFolder folder;
    const fs::path data = folder / "data";
    fs::create_directories(folder / "origin.git");
    fs::create_directories(data);
    const timespec knownFrom = KnownGitFolders::note(data, { folder / "origin.git" });
    fs::rename(folder / "origin.git", folder / "origin-renamed.git");
    fs::create_directories(folder / "mirror.git");
    const timespec laterFrom
        = KnownGitFolders::note(data, { folder / "mirror.git", folder / "origin-renamed.git" });
    fs::create_directories(folder / "never-noted.git");
    struct Case {
        const char* name;
        timespec knownFrom;
        fs::path gitFolder;
        bool known;
    };
    const Case cases[] = {
        { "renamed since it was noted", knownFrom, folder / "origin-renamed.git", true },
        { "noted again later, keeping when it was first noted", knownFrom, folder / "origin-renamed.git",
            true },
        { "noted after the run had noted", knownFrom, folder / "mirror.git", false },
        { "noted before a later run had noted", laterFrom, folder / "mirror.git", true },
        { "never noted", laterFrom, folder / "never-noted.git", false },
        { "at a name where nothing is", laterFrom, folder / "origin.git", false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(KnownGitFolders(data, testCase.knownFrom).contains(testCase.gitFolder), testCase.known);
    }
}

TEST(IdentityRecord, LetsGoOfTheEarliestPastItsLimitAndSkipsDamage)
{
    test::TemporaryFolder folder;
    IdentityRecord& record = IdentityRecord::in(folder / "record", 3);
    const std::string identities[] = { "1:10", "1:11:5.0", "1:12", "1:13" };
    for (long at = 0; at < 4; ++at)
        record.note({ &identities[at], 1 }, { 100 + at, 0 });
    EXPECT_FALSE(record.notedAt("1:10"));
    EXPECT_EQ(record.notedAt("1:13").value().tv_sec, 103);
    // The record written holds what is noted, and reads back the same.
    EXPECT_EQ(IdentityRecord::decoded(test::readFile(folder / "record")).size(), 3u);

    struct Case {
        const char* name;
        std::string bytes;
        std::size_t read;
    };
    const Case cases[] = {
        { "a line cut short by a killed write", "1:10 100 0\n1:11 10", 1 },
        { "a time that is no number", "1:10 x 0\n1:11 100 0\n", 1 },
        { "nanoseconds past a second", "1:10 100 1000000000\n", 0 },
        { "no identity", " 100 0\n", 0 },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(IdentityRecord::decoded(testCase.bytes).size(), testCase.read);
    }
}

// Noting adds to the end of the record; one whose last line a killed write cut short is written anew,
// so that the cut line does not swallow the next one noted.
TEST(IdentityRecord, NotesAfterALineCutShortReadBackWhole)
{
    test::TemporaryFolder folder;
    test::writeBytes(folder / "record", "1:10 100 0\n1:11 10");
    IdentityRecord& record = IdentityRecord::in(folder / "record", 10);
    const std::string identities[] = { "1:12", "1:13" };
    for (const auto& identity : identities)
        record.note({ &identity, 1 }, { 200, 0 });
    const auto read = IdentityRecord::decoded(test::readFile(folder / "record"));
    EXPECT_EQ(read.size(), 3u);
    EXPECT_TRUE(read.contains("1:10") && read.contains("1:12") && read.contains("1:13"));
}

// A Git folder deleted and made again, which the file system gives the inode just freed, is a new one: its
// birth time tells it from the one noted.
TEST(IdentityRecord, TellsAFolderMadeAgainAtAFreedInodeFromTheOneNoted)
{
    test::TemporaryFolder folder;
    const fs::path noted = folder / "project/.git";
    fs::create_directories(noted);
    struct statx status { };
    if (::statx(AT_FDCWD, noted.c_str(), 0, STATX_INO | STATX_BTIME, &status) != 0
        || !(status.stx_mask & STATX_BTIME))
        GTEST_SKIP() << "this file system keeps no birth time";
    const std::string before = IdentityRecord::identityOf(noted);
    IdentityRecord& record = IdentityRecord::in(folder / "record", 10);
    record.note({ &before, 1 }, { 100, 0 });
    fs::remove(noted);
    // The freed inode goes to one of the next folders made beside it, most often the first.
    std::optional<std::string> again;
    for (int attempt = 0; attempt < 1000 && !again; ++attempt) {
        const fs::path made = folder / "project" / ("made-" + std::to_string(attempt));
        fs::create_directory(made);
        struct statx madeStatus { };
        if (::statx(AT_FDCWD, made.c_str(), 0, STATX_INO, &madeStatus) == 0
            && madeStatus.stx_ino == status.stx_ino)
            again = IdentityRecord::identityOf(made);
    }
    if (!again)
        GTEST_SKIP() << "the file system gave the freed inode to none of a thousand folders";
    EXPECT_NE(*again, before);
    EXPECT_FALSE(record.notedAt(*again));
}

TEST(MovedAsideByGuard, IsWhatTheGuardMovedAsideNotWhatIsNamedLikeIt)
{
    test::TemporaryFolder folder;
    const fs::path data = folder / "data";
    const fs::path place = folder / "Projects";
    fs::create_directories(data);
    fs::create_directories(place / "app.refused-20250101T000000Z/.git");
    fs::create_directories(place / "named.refused-20250101T000000Z/s/.git");
    const int opened = ::open(place.c_str(), O_RDONLY | O_DIRECTORY);
    MovedAsideByGuard::note(data, opened, "app.refused-20250101T000000Z");
    ::close(opened);
    fs::rename(place / "app.refused-20250101T000000Z", place / "renamed");
    struct Case {
        const char* name;
        fs::path path;
        bool movedAside;
    };
    const Case cases[] = {
        { "below what the guard moved aside, renamed since", place / "renamed/.git", true },
        { "what it moved aside itself", place / "renamed", true },
        { "below a folder a command named like one", place / "named.refused-20250101T000000Z/s/.git", false },
        { "outside every place", folder / "renamed", false },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(MovedAsideByGuard::liesIn(data, testCase.path, { place }), testCase.movedAside);
    }
}
