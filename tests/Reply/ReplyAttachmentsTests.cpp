#include "VellumarMacCore/Reply/ReplyAttachments.h"

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/JobsTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WorkFolderFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <future>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <thread>
#include <utility>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::test {

namespace {

    namespace fs = std::filesystem;

    // A home folder with the data folder in its usual place, and one conversation's work folder.
    struct AttachWorld {
        explicit AttachWorld(std::int64_t quota = 1'073'741'824)
            : data({ .folder = fs::canonical(root.path()) / "home/.local/share/Vellumar",
                .home = root.path() / "home",
                .quota = quota })
            , work(data.workspaces.folder("c-attach"))
        {
            fs::create_directories(home());
        }

        const fs::path& home() const { return data.resolver.home; }

        AttachResult attachPaths(const std::vector<std::string>& paths) const
        {
            return attach(paths, work, permissions, data);
        }

        // "<copy's name> = <its content>" when attached, else the refusal line.
        std::string outcome(const std::string& path) const
        {
            auto result = attachPaths({ path });
            if (!result.refused.empty())
                return result.refused[0];
            fs::path copy = work / fileIDOf(result.attached.at(0));
            return copy.filename().string() + " = " + readFile(copy);
        }

        TemporaryFolder root;
        RelayData data;
        fs::path work;
        ResolvedPermissions permissions;
    };

    // The reason `copyAttachment` refuses, or "copied".
    std::string copyRefusal(const fs::path& source, const fs::path& workFolder, std::int64_t remaining)
    {
        try {
            copyAttachment(source, workFolder, remaining);
        } catch (const AttachRefused& refusal) {
            return refusal.reason;
        }
        return "copied";
    }

    // Runs `work` on this thread with its first openat2 held until `meanwhile` has run: a seccomp
    // listener, served by a thread that the filter does not cover, lets the call go on afterwards.
    // Returns false, having run nothing, where the kernel refuses such a listener. Only for a child
    // process: the filter stays for the thread's life.
    bool withOpenat2Held(const std::function<void()>& meanwhile, const std::function<void()>& work)
    {
        std::promise<int> listener;
        // Left to serve until the process ends: a thread blocked on the listener cannot be woken.
        std::thread([meanwhile, descriptor = listener.get_future()]() mutable {
            int fd = descriptor.get();
            bool first = true;
            for (seccomp_notif request {}; fd >= 0; request = {}) {
                if (::ioctl(fd, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0)
                    return;
                if (std::exchange(first, false))
                    meanwhile();
                seccomp_notif_resp response {};
                response.id = request.id;
                response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
                ::ioctl(fd, SECCOMP_IOCTL_NOTIF_SEND, &response);
            }
        }).detach();
        sock_filter program[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog filter { static_cast<unsigned short>(std::size(program)), program };
        int fd = -1;
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0)
            fd = static_cast<int>(
                ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &filter));
        listener.set_value(fd);
        if (fd < 0)
            return false;
        work();
        return true;
    }

}

TEST(ReplyAttachments, ChecksEachPathAgainstWhatTheBotMayRead)
{
    AttachWorld world;
    const std::string invalid = ": the path is not valid";
    const std::string unreadable
        = "this bot cannot read that place (allow it under \"Mac folders\" in the bot settings)";
    const std::string secret = "it is in a protected place (keys or credentials)";
    writeText(world.home() / ".ssh/id_rsa", "PRIVATE KEY");
    writeText(world.home() / "notes.txt", "home");
    writeText(world.home() / ".gitconfig", "[user]");
    writeText(world.work / "real.txt", "target");
    fs::create_symlink(world.work / "real.txt", world.work / "alias.txt");
    // Links between a granted folder and a protected place, either way round.
    world.permissions.folders.push_back(FolderGrant { .path = world.home() / "shared", .label = "~/shared" });
    writeText(world.home() / "shared/photo.png", "photo");
    fs::create_symlink(world.home() / ".ssh/id_rsa", world.home() / "shared/key.txt");
    fs::create_symlink(world.home() / "shared/photo.png", world.home() / ".ssh/photo-link");
    writeText(world.data.folder / "sessions.json", "{}");
    struct Case {
        const char* name;
        std::string path;
        std::string expected;
    };
    const Case cases[] = {
        { "1025 characters", std::string(1025, 'a'), invalid },
        { "a link, under its target's name", (world.work / "alias.txt").string(), "real.txt = target" },
        { "relative to the home folder", "notes.txt", "notes.txt: " + unreadable },
        { "outside every granted place", "/etc/hostname", "hostname: " + unreadable },
        { "a secret item", "~/.ssh/id_rsa", "id_rsa: " + secret },
        { "a link into a secret item", "~/shared/key.txt", "key.txt: " + secret },
        { "a link in a secret item to a readable file", "~/.ssh/photo-link", "photo-link: " + secret },
        { "a granted folder", "~/shared/photo.png", "photo.png = photo" },
        { "the data folder outside the work folder", (world.data.folder / "sessions.json").string(),
            "sessions.json: " + secret },
        { "a missing file", (world.work / "missing.txt").string(), "missing.txt: the file was not found" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        // The name before some reasons is the file-name cleaner's business.
        auto outcome = world.outcome(testCase.path);
        EXPECT_TRUE(outcome.ends_with(testCase.expected)) << outcome;
    }

    world.permissions.folders = { FolderGrant { .path = world.home(), .label = "~" } };
    EXPECT_EQ(world.outcome("notes.txt"), "notes.txt = home");
    EXPECT_EQ(world.outcome((world.home() / ".gitconfig").string()), "gitconfig: " + secret);
    world.permissions.secrets.push_back(SecretGrant { .id = "ssh", .dirs = { world.home() / ".ssh" } });
    EXPECT_EQ(world.outcome("~/.ssh/id_rsa"), "id_rsa = PRIVATE KEY");
}

TEST(ReplyAttachments, CopiesArePrivateFilesInPrivateFoldersWithTheStandardEntry)
{
    AttachWorld world;
    writeText(world.work / "out/report.pdf", "%PDF-1.4 body");
    ::chmod((world.work / "out/report.pdf").c_str(), 0644);
    // One refused path does not stop the others.
    auto result = world.attachPaths({ "/etc/hostname", (world.work / "out/report.pdf").string() });
    ASSERT_EQ(result.attached.size(), 1U);
    std::string id = fileIDOf(result.attached[0]);
    fs::path copy = world.work / id;
    EXPECT_EQ(modeOf(copy), 0600U);
    EXPECT_EQ(modeOf(copy.parent_path()), 0700U);
    EXPECT_EQ(modeOf(world.work / "attached"), 0700U);
}

TEST(ReplyAttachments, SizeCapAndQuotaAllowAnExactFitAndRefuseOneByteMore)
{
    AttachWorld world(std::int64_t { 4 } * 1024 * 1024 * 1024);
    writeSparse(world.work / "big.bin", attachmentSizeCap);
    auto copied = world.attachPaths({ (world.work / "big.bin").string() });
    ASSERT_EQ(copied.attached.size(), 1U) << (copied.refused.empty() ? "" : copied.refused[0]);
    EXPECT_EQ(fs::file_size(world.work / fileIDOf(copied.attached[0])),
        static_cast<std::uintmax_t>(attachmentSizeCap));
    writeSparse(world.work / "bigger.bin", attachmentSizeCap + 1);
    EXPECT_EQ(
        world.outcome((world.work / "bigger.bin").string()), "bigger.bin: it is too large (up to 200 MB)");

    for (std::int64_t spare : { 0, -1 }) {
        SCOPED_TRACE(spare);
        // The source itself lies in the work folder and counts against the quota, as on disk.
        AttachWorld small(2 * 11 + spare);
        writeText(small.work / "f.txt", "eleven byte");
        EXPECT_EQ(small.outcome((small.work / "f.txt").string()),
            spare < 0 ? "f.txt: the work folder is full (delete files you no longer need)"
                      : "f.txt = eleven byte");
    }
}

TEST(ReplyAttachments, LinkPlantedAsTheAttachedFolderIsNotFollowed)
{
    AttachWorld world;
    TemporaryFolder elsewhere;
    fs::create_symlink(elsewhere.path(), world.work / "attached");
    writeText(world.work / "a.txt", "a");
    EXPECT_EQ(world.outcome((world.work / "a.txt").string()), "a.txt = a");
    EXPECT_FALSE(fs::is_symlink(world.work / "attached"));
    EXPECT_TRUE(folderNames(elsewhere.path()).empty());
}

TEST(ReplyAttachments, FolderSwappedForALinkAfterTheCheckIsNotFollowed)
{
    AttachWorld world;
    writeText(world.work / "shared/a.txt", "public");
    writeText(world.home() / ".ssh/a.txt", "SECRET");
    fs::path checked = checkAttachAccess(
        (world.work / "shared/a.txt").string(), world.work, world.permissions, world.data.resolver);
    fs::rename(world.work / "shared", world.work / "shared-before");
    fs::create_directory_symlink(world.home() / ".ssh", world.work / "shared");
    EXPECT_EQ(copyRefusal(checked, world.work, 1'000'000), "it changed while being attached");
    EXPECT_TRUE(folderNames(world.work / "attached").empty());
}

TEST(ReplyAttachments, FileSwappedBetweenItsCheckAndItsOpeningIsRefused)
{
    AttachWorld world;
    writeText(world.work / "a.txt", "public");
    writeText(world.work / "other.txt", "SECRET");
    const fs::path checked = checkAttachAccess(
        (world.work / "a.txt").string(), world.work, world.permissions, world.data.resolver);
    // Another file (another inode) takes the checked one's place just before it is opened.
    const int status = exitStatusWithin(std::chrono::seconds(30), [&] {
        std::string refusal;
        bool held = withOpenat2Held([&] { fs::rename(world.work / "other.txt", checked); },
            [&] { refusal = copyRefusal(checked, world.work, 1'000'000); });
        if (!held)
            return 77;
        if (refusal != "it changed while being attached")
            return refusal == "copied" ? 1 : 2;
        return folderNames(world.work / "attached").empty() ? 0 : 3;
    });
    if (status == 77)
        GTEST_SKIP() << "this kernel or sandbox refuses a seccomp listener";
    EXPECT_EQ(status, 0)
        << "1: the swapped file was copied, 2: refused for another reason, 3: a folder was left";
}

TEST(ReplyAttachments, FileGrowingPastTheLimitWhileCopiedLeavesNoFolder)
{
    // Files under /proc report size 0 and then yield their content: a file that grew after it
    // was measured, without a race.
    TemporaryFolder work;
    EXPECT_EQ(copyRefusal(fs::canonical("/proc/self/status"), work.path(), 16), "it is too large");
    EXPECT_TRUE(folderNames(work / "attached").empty());
}

TEST(ReplyAttachments, RepeatedAttachmentsKeepThreeEarlierCopiesAndTheCurrentOne)
{
    AttachWorld world;
    writeText(world.work / "report.pdf", "%PDF");
    writeText(world.work / "other.txt", "o");
    // Names that are not the relay's own are no concern of pruning.
    const char* foreign[] = { "notahexname", "ABCDEF0G" };
    for (auto name : foreign)
        writeText(world.work / "attached" / name / "report.pdf", "x");
    auto oldest = fs::file_time_type::clock::now() - std::chrono::hours(10);
    std::vector<std::string> folders;
    for (int reply = 0; reply < 5; ++reply) {
        SCOPED_TRACE(reply);
        auto paths = std::vector<std::string> { (world.work / "report.pdf").string() };
        if (reply == 0)
            paths.push_back((world.work / "other.txt").string());
        auto result = world.attachPaths(paths);
        ASSERT_FALSE(result.attached.empty());
        fs::path id = fileIDOf(result.attached[0]);
        folders.push_back(id.parent_path().filename().string());
        // Copies made within one clock tick would tie; give each reply its own hour.
        fs::last_write_time(world.work / id, oldest + std::chrono::hours(reply));
    }
    auto names = folderNames(world.work / "attached");
    // The other file name's single copy is no concern of the report's group.
    EXPECT_EQ(names.size(), 7U);
    for (int reply = 0; reply < 5; ++reply)
        EXPECT_EQ(std::find(names.begin(), names.end(), folders[reply]) != names.end(), reply > 0) << reply;
    for (auto name : foreign)
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
}

TEST(ReplyAttachments, WorkFolderRunningOutOfSpaceWhileCopyingLeavesNoFolder)
{
    // A 64 KiB file system over the work folder, in a child's own mount namespace, fails the copy the
    // way a full disk does. The child answers 2 when it cannot mount.
    TemporaryFolder root;
    fs::path work = root / "work";
    fs::create_directories(work);
    test::writeBytes(root / "big.bin", std::string(1024 * 1024, 'x'));
    int status = test::exitStatusWithin(std::chrono::seconds(30), [&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("tmpfs", work.c_str(), "tmpfs", 0, "size=64k") != 0)
            return 2;
        auto refusal = copyRefusal(root / "big.bin", work, std::int64_t { 1 } << 30);
        return refusal == "it could not be copied to the work folder"
                && test::namesIn(work / "attached").empty()
            ? 0
            : 1;
    });
    if (status == 2)
        GTEST_SKIP() << "mounting a small file system is not permitted here";
    EXPECT_EQ(status, 0);
}

}
