// Root reads every folder whatever its mode, so these checks run as the unprivileged user 65534 in
// a peer process (tests/support/UnprivilegedPeer.h); otherwise a refusal would never be seen.
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <string>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

// What the resolver answers for "check PATH", "browse PATH" or "scan PATH", with home at /home.
std::string outcome(const std::string& request)
{
    const PermissionResolver resolver("/home", "/home/.local/share/Vellumar", 30.0);
    const std::string verb = request.substr(0, request.find(' ')), path = request.substr(verb.size() + 1);
    std::string result;
    std::string refusal = test::refusalOf([&] {
        if (verb == "check")
            result = resolver.checkReadable(path, resolver.displayPath(path)).string();
        else if (verb == "browse")
            result = resolver.browseFolder(path).encoded();
        for (const auto& folder :
            verb == "scan" ? resolver.scanCommandLineTools(path).toolReads : std::vector<fs::path> {})
            result += folder.string() + " ";
    });
    return refusal == "ok" ? result : refusal;
}

[[maybe_unused]] const bool registered = test::registerUnprivilegedCheck("resolver", outcome);

}

TEST(PermissionResolverAsUnprivilegedUser, ReportsWhatItCannotRead)
{
    test::TemporaryFolder temporary;
    const fs::path root = resolvingSymlinks(temporary.path()).value();
    for (const char* folder :
        { "home/Projects", "home/locked", "home/sealed/inner", "home/Shared/visible", "opt/pkg/bin" })
        test::madeFolder(root / folder);
    fs::create_directory_symlink("/home/locked", root / "home/locked-link");
    fs::create_directory_symlink("../sealed/inner", root / "home/Shared/through-sealed");
    test::touch(root / "opt/pkg/bin/tool");
    fs::create_symlink("../pkg/bin/tool", test::madeFolder(root / "opt/locked-bin") / "tool");
    for (const char* folder : { "", "home", "home/Shared", "opt", "opt/pkg" })
        fs::permissions(root / folder, fs::perms(0755));
    fs::permissions(root / "home/locked", fs::perms::none);
    fs::permissions(root / "home/sealed", fs::perms(0700));
    // Searchable, so the folder itself is seen, but its names cannot be listed.
    fs::permissions(root / "opt/locked-bin", fs::perms(0711));

    const std::string couldNotBeRead = "\" could not be read. Allow Vellumar for Mac in System Settings > "
                                       "Privacy & Security, then try again.";
    struct Case {
        std::string request, expected;
    };
    const Case cases[] = {
        { "check /home/Projects", "/home/Projects" },
        { "check /home/locked", "403 folder_blocked \"~/locked" + couldNotBeRead },
        { "check /home/locked-link", "403 folder_blocked \"~/locked-link" + couldNotBeRead },
        // Its parent cannot even be searched, so the folder cannot be seen at all.
        { "check /home/sealed/inner", "400 folder_not_found The folder \"~/sealed/inner\" was not found." },
        { "browse ~/locked", "403 folder_blocked \"~/locked" + couldNotBeRead },
        // A link into a folder this user cannot search leads nowhere it can see.
        { "browse ~/Shared",
            "{\"entries\":[{\"name\":\"visible\",\"path\":\"~/Shared/"
            "visible\",\"privacy\":false,\"selectable\":true}"
            "],\"parent\":\"~\",\"path\":\"~/"
            "Shared\",\"privacy\":false,\"selectable\":true,\"truncated\":false}" },
        // The links of a PATH folder that cannot be listed are skipped: no package is read.
        { "scan /opt/locked-bin", "/opt/locked-bin " },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(test::runUnprivileged("resolver", root, c.request), c.expected);
    }
    fs::permissions(root / "home/locked", fs::perms(0755));
    fs::permissions(root / "home/sealed", fs::perms(0755));
}
