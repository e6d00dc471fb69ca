// Root reads every folder whatever its mode, so these checks run as the unprivileged user 65534 in
// a peer process (tests/support/UnprivilegedPeer.h); otherwise a refusal would never be seen.
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// "ok <real path>" or "<status> <code> <message>".
std::string checkReadableOutcome(const std::string& folder)
{
    vellumar::PermissionResolver resolver("/home", "/home/.local/share/Vellumar", 30.0);
    try {
        return "ok " + resolver.checkReadable(folder, resolver.displayPath(folder)).string();
    } catch (const vellumar::RelayHTTPError& error) {
        return std::to_string(error.status()) + " " + error.code() + " " + error.message();
    }
}

[[maybe_unused]] const bool checkReadableRegistered
    = vellumar::test::registerUnprivilegedCheck("checkReadable", checkReadableOutcome);

std::string checkAsNobody(const fs::path& root, const fs::path& folder)
{
    return vellumar::test::runUnprivileged("checkReadable", root, folder.string());
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
        EXPECT_EQ(checkAsNobody(root, c.folder), c.expected);
    }
    // The modes alone refuse root nothing, which is why the child drops its privileges.
    if (geteuid() == 0) {
        vellumar::PermissionResolver asRoot(root / "home", root / "home/.local/share/Vellumar", 30.0);
        EXPECT_EQ(asRoot.checkReadable(root / "home/locked", "~/locked"), root / "home/locked");
    }
    setMode(root / "home/locked", open);
    setMode(root / "home/sealed", open);
}
