#include "VellumarMacCore/Reply/ReplyAttachments.h"

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::test {

namespace {

    namespace fs = std::filesystem;

    constexpr std::string_view kConversation = "c-attach";

    void writeText(const fs::path& file, std::string_view text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

    void makeSparse(const fs::path& file, std::int64_t size)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary).close();
        fs::resize_file(file, static_cast<std::uintmax_t>(size));
    }

    mode_t modeOf(const fs::path& place)
    {
        struct stat status { };
        EXPECT_EQ(::lstat(place.c_str(), &status), 0) << place;
        return status.st_mode & 07777;
    }

    std::vector<std::string> folderNames(const fs::path& folder)
    {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // A home folder with the data folder in its usual place, and one conversation's work folder.
    class AttachWorld {
    public:
        explicit AttachWorld(std::int64_t quota = 1'073'741'824)
            : m_data(std::make_unique<RelayData>(RelayData::Options {
                .folder = fs::canonical(m_root.path()) / "home/.local/share/Vellumar",
                .home = m_root.path() / "home",
                .quota = quota,
            }))
        {
            fs::create_directories(m_root.path() / "home");
            work = m_data->workspaces.folder(kConversation);
        }

        const fs::path& home() const { return m_data->resolver.home; }
        RelayData& data() { return *m_data; }

        AttachResult attachPaths(const std::vector<std::string>& paths) const
        {
            return attach(paths, work, permissions, *m_data);
        }

        fs::path work;
        ResolvedPermissions permissions;

    private:
        TemporaryFolder m_root;
        std::unique_ptr<RelayData> m_data;
    };

    std::string fileIDOf(const JSON& entry)
    {
        const JSON* id = entry.subscript("fileId");
        return id && id->stringValue() ? *id->stringValue() : std::string();
    }

}

TEST(ReplyAttachments, PathLengthIsCountedInCharactersAndControlsAreRefused)
{
    AttachWorld world;
    const std::string invalid = "the path is not valid";
    const std::string unreadable
        = "this bot cannot read that place (allow it under \"Mac folders\" in the bot settings)";
    std::string accented;
    for (int index = 0; index < 1024; ++index)
        accented += "\xC3\xA9";
    struct Case {
        std::string name;
        std::string path;
        std::string reason;
    };
    const std::vector<Case> cases {
        { "empty", "", invalid },
        { "blanks and tabs only", " \t ", invalid },
        { "control character", "/tmp/notes\x01.txt", invalid },
        { "line feed", "/tmp/a\nb", invalid },
        { "1025 characters", std::string(1025, 'a'), invalid },
        { "1024 two-byte characters", accented, unreadable },
        // One character to the eye, but more bytes than any path is measured for.
        { "one character of 70001 bytes",
            "a" +
                [] {
                    std::string marks;
                    for (int index = 0; index < 35'000; ++index)
                        marks += "\xCC\x81";
                    return marks;
                }(),
            invalid },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto result = world.attachPaths({ testCase.path });
        EXPECT_TRUE(result.attached.empty());
        ASSERT_EQ(result.refused.size(), 1U);
        // The name before the reason is the file-name cleaner's business.
        EXPECT_TRUE(result.refused[0].ends_with(": " + testCase.reason)) << result.refused[0];
    }
}

TEST(ReplyAttachments, AcceptsPathOfExactlyTheLongestLength)
{
    AttachWorld world;
    // File names stop at 255 bytes, so the length comes from nested folders.
    fs::path file = world.work;
    while (1024 - file.string().size() > 200)
        file /= std::string(100, 'd');
    file /= std::string(1024 - file.string().size() - 1, 'n');
    ASSERT_EQ(file.string().size(), 1024U);
    writeText(file, "x");
    auto result = world.attachPaths({ file.string() });
    EXPECT_TRUE(result.refused.empty()) << (result.refused.empty() ? "" : result.refused[0]);
    EXPECT_EQ(result.attached.size(), 1U);
}

TEST(ReplyAttachments, RefusesSecretPlacesUnlessTheItemIsGranted)
{
    AttachWorld world;
    writeText(world.home() / ".ssh/id_rsa", "PRIVATE KEY");
    auto refused = world.attachPaths({ "~/.ssh/id_rsa" });
    ASSERT_EQ(refused.refused,
        std::vector<std::string> { "id_rsa: it is in a protected place (keys or credentials)" });
    EXPECT_FALSE(fs::exists(world.work / "attached"));

    world.permissions.secrets.push_back(SecretGrant { .id = "ssh", .dirs = { world.home() / ".ssh" } });
    auto granted = world.attachPaths({ "~/.ssh/id_rsa" });
    ASSERT_EQ(granted.attached.size(), 1U);
    EXPECT_EQ(readFile(world.work / fileIDOf(granted.attached[0])), "PRIVATE KEY");
}

TEST(ReplyAttachments, SecretPlaceIsRefusedEvenInsideAGrantedFolder)
{
    AttachWorld world;
    writeText(world.home() / ".aws/credentials", "secret");
    writeText(world.home() / ".gitconfig", "[user]");
    world.permissions.folders.push_back(FolderGrant { .path = world.home(), .label = "~" });
    auto result = world.attachPaths({ "~/.aws/credentials", (world.home() / ".gitconfig").string() });
    EXPECT_EQ(result.refused,
        (std::vector<std::string> { "credentials: it is in a protected place (keys or credentials)",
            "gitconfig: it is in a protected place (keys or credentials)" }));
}

TEST(ReplyAttachments, SymbolicLinkIntoASecretPlaceIsRefused)
{
    AttachWorld world;
    writeText(world.home() / ".ssh/id_ed25519", "KEY");
    fs::create_symlink(world.home() / ".ssh/id_ed25519", world.work / "key.txt");
    auto result = world.attachPaths({ (world.work / "key.txt").string() });
    EXPECT_EQ(result.refused,
        std::vector<std::string> { "key.txt: it is in a protected place (keys or credentials)" });
}

TEST(ReplyAttachments, OwnWorkFolderIsReadableButTheRestOfTheDataFolderIsProtected)
{
    AttachWorld world;
    writeText(world.work / "chart.png", "png");
    writeText(world.data().folder / "sessions.json", "{}");
    auto result = world.attachPaths(
        { (world.work / "chart.png").string(), (world.data().folder / "sessions.json").string() });
    ASSERT_EQ(result.attached.size(), 1U);
    EXPECT_EQ(result.refused,
        std::vector<std::string> { "sessions.json: it is in a protected place (keys or credentials)" });
}

TEST(ReplyAttachments, RelativePathNamesTheHomeFolderNotTheWorkFolder)
{
    AttachWorld world;
    writeText(world.work / "notes.txt", "work");
    writeText(world.home() / "notes.txt", "home");
    auto refused = world.attachPaths({ "notes.txt" });
    EXPECT_EQ(refused.refused,
        std::vector<std::string> { "notes.txt: this bot cannot read that place (allow it under \"Mac "
                                   "folders\" in the bot settings)" });

    world.permissions.folders.push_back(FolderGrant { .path = world.home(), .label = "~" });
    auto granted = world.attachPaths({ "notes.txt" });
    ASSERT_EQ(granted.attached.size(), 1U);
    EXPECT_EQ(readFile(world.work / fileIDOf(granted.attached[0])), "home");
}

TEST(ReplyAttachments, EntryIsTheStandardFileEntryOfTheCopy)
{
    AttachWorld world;
    writeText(world.work / "out/report.pdf", "%PDF-1.4 body");
    auto result = world.attachPaths({ "  " + (world.work / "out/report.pdf").string() + "\t" });
    ASSERT_EQ(result.attached.size(), 1U);
    const JSON& entry = result.attached[0];
    std::string id = fileIDOf(entry);
    ASSERT_EQ(id.size(), std::string("attached/12345678/report.pdf").size()) << id;
    EXPECT_TRUE(id.starts_with("attached/")) << id;
    EXPECT_TRUE(id.ends_with("/report.pdf")) << id;
    EXPECT_EQ(entry,
        JSON::object({ { "fileId", JSON(id) }, { "name", "report.pdf" }, { "mime", "application/pdf" },
            { "size", 13 }, { "origin", "bot" } }));
}

TEST(ReplyAttachments, CopiesArePrivateFilesInPrivateFolders)
{
    AttachWorld world;
    writeText(world.work / "a.txt", "text");
    ::chmod((world.work / "a.txt").c_str(), 0644);
    auto result = world.attachPaths({ (world.work / "a.txt").string() });
    ASSERT_EQ(result.attached.size(), 1U);
    fs::path copy = world.work / fileIDOf(result.attached[0]);
    EXPECT_EQ(modeOf(copy), 0600U);
    EXPECT_EQ(modeOf(copy.parent_path()), 0700U);
    EXPECT_EQ(modeOf(world.work / "attached"), 0700U);
    EXPECT_EQ(folderNames(copy.parent_path()), std::vector<std::string> { "a.txt" });
}

TEST(ReplyAttachments, SizeCapAllowsExactly200MiBAndRefusesOneByteMore)
{
    AttachWorld world(std::int64_t { 4 } * 1024 * 1024 * 1024);
    makeSparse(world.work / "big.bin", attachmentSizeCap);
    auto copied = world.attachPaths({ (world.work / "big.bin").string() });
    ASSERT_EQ(copied.attached.size(), 1U) << (copied.refused.empty() ? "" : copied.refused[0]);
    EXPECT_EQ(copied.attached[0].subscript("size")->intValue(), attachmentSizeCap);
    EXPECT_EQ(fs::file_size(world.work / fileIDOf(copied.attached[0])),
        static_cast<std::uintmax_t>(attachmentSizeCap));
    fs::remove_all(world.work / "attached");

    makeSparse(world.work / "bigger.bin", attachmentSizeCap + 1);
    auto refused = world.attachPaths({ (world.work / "bigger.bin").string() });
    EXPECT_EQ(refused.refused, std::vector<std::string> { "bigger.bin: it is too large (up to 200 MB)" });
}

TEST(ReplyAttachments, QuotaOneByteShortRefusesAndExactFitCopies)
{
    const std::string content = "eleven byte";
    for (std::int64_t spare : { -1, 0 }) {
        SCOPED_TRACE(spare);
        // The source itself lies in the work folder and counts against the quota, as on disk.
        AttachWorld world(2 * static_cast<std::int64_t>(content.size()) + spare);
        writeText(world.work / "f.txt", content);
        auto result = world.attachPaths({ (world.work / "f.txt").string() });
        if (spare < 0) {
            EXPECT_EQ(result.refused,
                std::vector<std::string> {
                    "f.txt: the work folder is full (delete files you no longer need)" });
        } else {
            EXPECT_EQ(result.attached.size(), 1U);
        }
    }
}

TEST(ReplyAttachments, RefusesWhatIsNotARegularFileWithoutBlocking)
{
    AttachWorld world;
    ASSERT_EQ(::mkfifo((world.work / "pipe").c_str(), 0600), 0);
    fs::create_directories(world.work / "folder.pdf");
    auto result = world.attachPaths({ (world.work / "pipe").string(), (world.work / "folder.pdf").string(),
        (world.work / "missing.txt").string() });
    EXPECT_EQ(result.refused,
        (std::vector<std::string> { "pipe: it is not a file", "folder.pdf: it is not a file",
            "missing.txt: the file was not found" }));
    EXPECT_TRUE(result.attached.empty());
}

TEST(ReplyAttachments, SymbolicLinkIsCopiedUnderItsTargetsName)
{
    AttachWorld world;
    writeText(world.work / "real.txt", "target");
    fs::create_symlink(world.work / "real.txt", world.work / "alias.txt");
    auto result = world.attachPaths({ (world.work / "alias.txt").string() });
    ASSERT_EQ(result.attached.size(), 1U);
    EXPECT_TRUE(fileIDOf(result.attached[0]).ends_with("/real.txt"));
}

TEST(ReplyAttachments, LinkPlantedAsTheAttachedFolderIsNotFollowed)
{
    AttachWorld world;
    TemporaryFolder elsewhere;
    fs::create_symlink(elsewhere.path(), world.work / "attached");
    writeText(world.work / "a.txt", "a");
    auto result = world.attachPaths({ (world.work / "a.txt").string() });
    ASSERT_EQ(result.attached.size(), 1U);
    EXPECT_FALSE(fs::is_symlink(world.work / "attached"));
    EXPECT_TRUE(fs::is_regular_file(world.work / fileIDOf(result.attached[0])));
    EXPECT_TRUE(folderNames(elsewhere.path()).empty());
}

TEST(ReplyAttachments, FileGrowingPastTheLimitWhileCopiedLeavesNoFolder)
{
    // Files under /proc report size 0 and then yield their content: a file that grew after it
    // was measured, without a race.
    TemporaryFolder work;
    fs::path source = fs::canonical("/proc/self/status");
    try {
        copyAttachment(source, work.path(), 16);
        FAIL() << "copied a file that grew past the limit";
    } catch (const AttachRefused& refusal) {
        EXPECT_EQ(refusal.reason, "it is too large");
    }
    EXPECT_TRUE(folderNames(work.path() / "attached").empty());
}

TEST(ReplyAttachments, WorkFolderRunningOutOfSpaceWhileCopyingLeavesNoFolder)
{
    // A 64 KiB file system mounted over the work folder in a private mount namespace of a child, so
    // that writing the copy fails the way a full disk does.
    TemporaryFolder root;
    fs::path work = root / "work";
    fs::create_directories(work);
    makeSparse(root / "big.bin", 1024 * 1024);
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        std::string report;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("tmpfs", work.c_str(), "tmpfs", 0, "size=64k") != 0) {
            report = "no mount";
        } else {
            try {
                copyAttachment(root / "big.bin", work, std::int64_t { 1 } << 30);
                report = "copied";
            } catch (const AttachRefused& refusal) {
                report = refusal.reason;
            } catch (...) {
                report = "another error";
            }
            report += folderNames(work / "attached").empty() ? "|clean" : "|left behind";
        }
        [[maybe_unused]] auto written = ::write(channel[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string report;
    char buffer[256];
    for (ssize_t count; (count = ::read(channel[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<std::size_t>(count));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (report == "no mount")
        GTEST_SKIP() << "mounting a small file system is not permitted here";
    EXPECT_EQ(report, "it could not be copied to the work folder|clean");
}

TEST(ReplyAttachments, FolderSwappedForALinkAfterTheCheckIsNotFollowed)
{
    AttachWorld world;
    writeText(world.work / "shared/a.txt", "public");
    writeText(world.home() / ".ssh/a.txt", "SECRET");
    fs::path checked = checkAttachAccess(
        (world.work / "shared/a.txt").string(), world.work, world.permissions, world.data().resolver);
    fs::rename(world.work / "shared", world.work / "shared-before");
    fs::create_directory_symlink(world.home() / ".ssh", world.work / "shared");
    try {
        copyAttachment(checked, world.work, 1'000'000);
        FAIL() << "copied through a swapped folder";
    } catch (const AttachRefused& refusal) {
        EXPECT_EQ(refusal.reason, "it changed while being attached");
    }
    EXPECT_TRUE(folderNames(world.work / "attached").empty());
}

TEST(ReplyAttachments, NegativeRemainingQuotaRefusesEvenAnEmptyFile)
{
    TemporaryFolder work;
    writeText(work / "empty.txt", "");
    try {
        copyAttachment(work / "empty.txt", work.path(), -1);
        FAIL() << "copied past a full quota";
    } catch (const AttachRefused& refusal) {
        EXPECT_EQ(refusal.reason, "the work folder is full (delete files you no longer need)");
    }
}

TEST(ReplyAttachments, OneRefusedPathDoesNotStopTheOthers)
{
    AttachWorld world;
    writeText(world.work / "one.txt", "1");
    writeText(world.work / "three.txt", "3");
    auto result = world.attachPaths(
        { (world.work / "one.txt").string(), "/etc/hostname", (world.work / "three.txt").string() });
    ASSERT_EQ(result.attached.size(), 2U);
    EXPECT_TRUE(fileIDOf(result.attached[0]).ends_with("/one.txt"));
    EXPECT_TRUE(fileIDOf(result.attached[1]).ends_with("/three.txt"));
    ASSERT_EQ(result.refused.size(), 1U);
    EXPECT_TRUE(result.refused[0].starts_with("hostname: this bot cannot read that place"))
        << result.refused[0];
}

TEST(ReplyAttachments, RepeatedAttachmentsKeepThreeEarlierCopiesAndTheCurrentOne)
{
    AttachWorld world;
    writeText(world.work / "report.pdf", "%PDF");
    writeText(world.work / "other.txt", "o");
    auto oldest = fs::file_time_type::clock::now() - std::chrono::hours(10);
    std::vector<std::string> ids;
    for (int reply = 0; reply < 5; ++reply) {
        SCOPED_TRACE(reply);
        auto paths = std::vector<std::string> { (world.work / "report.pdf").string() };
        if (reply == 0)
            paths.push_back((world.work / "other.txt").string());
        auto result = world.attachPaths(paths);
        ASSERT_FALSE(result.attached.empty());
        ids.push_back(fileIDOf(result.attached[0]));
        // Copies made within one clock tick would tie; give each reply its own hour.
        fs::last_write_time(world.work / ids.back(), oldest + std::chrono::hours(reply));
    }
    std::vector<std::string> expected;
    for (std::size_t index = 1; index < ids.size(); ++index)
        expected.push_back(fs::path(ids[index]).parent_path().filename().string());
    auto names = folderNames(world.work / "attached");
    // The other file name's single copy is no concern of the report's group.
    EXPECT_EQ(names.size(), expected.size() + 1);
    for (const auto& name : expected)
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
    EXPECT_FALSE(fs::exists(world.work / ids[0]));
}

TEST(ReplyAttachments, PruningLeavesForeignEntriesAlone)
{
    TemporaryFolder work;
    for (int index = 0; index < 6; ++index)
        writeText(work / "attached" / ("0000000" + std::to_string(index)) / "x.txt", "x");
    writeText(work / "attached/notahexname/x.txt", "x");
    writeText(work / "attached/ABCDEF0G/x.txt", "x");
    pruneAttached(work.path(), { "attached/00000005/x.txt" });
    auto names = folderNames(work / "attached");
    // Five earlier candidates: three survive, plus the kept one and the two foreign names.
    EXPECT_EQ(names.size(), 6U);
    EXPECT_NE(std::find(names.begin(), names.end(), "00000005"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "notahexname"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "ABCDEF0G"), names.end());
}

TEST(ReplyAttachments, PruningAMissingFolderDoesNothing)
{
    TemporaryFolder work;
    pruneAttached(work.path(), { "attached/00000000/x.txt" });
    EXPECT_FALSE(fs::exists(work / "attached"));
}

}
