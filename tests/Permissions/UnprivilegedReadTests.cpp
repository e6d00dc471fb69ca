// Root reads every folder whatever its mode, so these checks run in a child process that has
// dropped to the unprivileged user 65534; otherwise a refusal would never be seen. The child is
// also closed into the test's folder with chroot, because this machine's own root folder is
// closed to other users and no path outside would resolve for it.
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ProbePool.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// Runs `work` in a forked child chrooted into `root` as user and group 65534 and returns what it
// wrote; "setup failed" when the child could not drop its privileges.
std::string inChrootAsNobody(const fs::path& root, const std::function<std::string()>& work)
{
    int channel[2];
    if (pipe(channel) != 0)
        return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string output;
        if (chroot(root.c_str()) != 0 || chdir("/") != 0 || setgroups(0, nullptr) != 0
            || setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0
            || geteuid() != kNobody)
            output = "setup failed";
        else
            output = work();
        ssize_t ignored = write(channel[1], output.data(), output.size());
        (void)ignored;
        _exit(0);
    }
    close(channel[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    close(channel[0]);
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) { }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return output;
}

// "ok <real path>" or "<status> <code> <message>".
std::string checkReadableOutcome(const fs::path& folder)
{
    // A fresh pool: the parent's workers do not exist in a forked child.
    vellumar::PermissionResolver resolver("/home", "/home/.local/share/Vellumar", 30.0);
    resolver.probePool = std::make_shared<vellumar::ProbePool>(1);
    try {
        return "ok " + resolver.checkReadable(folder, resolver.displayPath(folder)).string();
    } catch (const vellumar::RelayHTTPError& error) {
        return std::to_string(error.status()) + " " + error.code() + " " + error.message();
    }
}

void setMode(const fs::path& path, fs::perms mode) { fs::permissions(path, mode, fs::perm_options::replace); }

}

TEST(PermissionResolverAsUnprivilegedUser, ReportsAFolderWhoseListingIsRefused)
{
    vellumar::test::TemporaryFolder temporary;
    const fs::path root = vellumar::resolvingSymlinks(temporary.path());
    const auto open = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
        | fs::perms::others_read | fs::perms::others_exec;
    fs::create_directories(root / "home/Projects");
    fs::create_directories(root / "home/locked");
    fs::create_directories(root / "home/sealed/inner");
    fs::create_directory_symlink("/home/locked", root / "home/locked-link");
    for (const auto& folder : { root, root / "home", root / "home/Projects", root / "home/sealed/inner" })
        setMode(folder, open);
    setMode(root / "home/locked", fs::perms::none);
    setMode(root / "home/sealed", fs::perms::owner_all);

    const std::string couldNotBeRead = "\" could not be read. Allow Vellumar for Mac in System Settings > "
                                       "Privacy & Security, then try again.";
    struct Case {
        const char* name;
        fs::path folder;
        std::string expected;
    };
    const Case cases[] = {
        { "open folder", "/home/Projects", "ok /home/Projects" },
        { "folder with no modes", "/home/locked", "403 folder_blocked \"~/locked" + couldNotBeRead },
        { "symlink to it, named by its link", "/home/locked-link",
            "403 folder_blocked \"~/locked-link" + couldNotBeRead },
        // Its parent cannot even be searched, so the folder cannot be seen at all.
        { "folder in a private parent", "/home/sealed/inner",
            "400 folder_not_found The folder \"~/sealed/inner\" was not found." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(inChrootAsNobody(root, [&] { return checkReadableOutcome(c.folder); }), c.expected);
    }
    // The modes alone refuse root nothing, which is why the child drops its privileges.
    if (geteuid() == 0) {
        vellumar::PermissionResolver asRoot(root / "home", root / "home/.local/share/Vellumar", 30.0);
        EXPECT_EQ(asRoot.checkReadable(root / "home/locked", "~/locked"), root / "home/locked");
    }
    setMode(root / "home/locked", open);
    setMode(root / "home/sealed", open);
}
