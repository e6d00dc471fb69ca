#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/Permissions/Refusals.h"
#include "tests/Permissions/TemporaryHome.h"
#include "tests/support/HeldFolder.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UnprivilegedPeer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

using namespace vellumar;
using test::refusalOf;
using test::TemporaryHome;
using test::touch;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> entryNames(const JSON& reply)
{
    std::vector<std::string> names;
    for (const auto& entry : *reply.subscript("entries")->arrayValue())
        names.push_back(*entry.subscript("name")->stringValue());
    return names;
}

const JSON* entryNamed(const JSON& reply, const std::string& name)
{
    for (const auto& entry : *reply.subscript("entries")->arrayValue()) {
        if (*entry.subscript("name")->stringValue() == name)
            return &entry;
    }
    return nullptr;
}

JSON entry(const std::string& name, const std::string& path, bool selectable, bool privacy)
{
    return JSON::object(
        { { "name", name }, { "path", path }, { "selectable", selectable }, { "privacy", privacy } });
}

std::string protectedMessage(const std::string& label)
{
    return "403 protected_folder \"" + label + "\" is protected and cannot be opened.";
}

}

TEST(FolderBrowser, ListsTheHomeFolderWhenNoPathIsGiven)
{
    TemporaryHome t;
    for (const char* name : { "Cherry", "banana", "Apple", ".hidden", "My Folder" })
        fs::create_directory(t.home / name);
    touch(t.home / "notes.txt");
    fs::create_directory_symlink(t.home / "Projects", t.home / "current");

    JSON reply = t.resolver().browseFolder(std::nullopt);
    JSON expected = JSON::object({
        { "path", "~" },
        { "parent", t.home.parent_path().string() },
        { "selectable", true },
        { "privacy", false },
        { "entries",
            JSON::array({
                entry("Apple", "~/Apple", true, false),
                entry("banana", "~/banana", true, false),
                entry("Cherry", "~/Cherry", true, false),
                // A symlinked folder is shown at its real place.
                entry("current", "~/Projects", true, false),
                // Listed so the user can look around, but it cannot be granted.
                entry("My Folder", "~/My Folder", false, false),
                entry("Projects", "~/Projects", true, false),
            }) },
        { "truncated", false },
    });
    EXPECT_EQ(reply.encoded(), expected.encoded());
    EXPECT_EQ(t.resolver().browseFolder("~").encoded(), expected.encoded());
}

TEST(FolderBrowser, GivesTheRootFolderANullParent)
{
    TemporaryHome t;
    JSON reply = t.resolver().browseFolder("/");
    EXPECT_EQ(*reply.subscript("path")->stringValue(), "/");
    ASSERT_NE(reply.subscript("parent"), nullptr);
    EXPECT_TRUE(reply.subscript("parent")->isNull());
    // Every folder above home is too broad to be granted.
    EXPECT_EQ(reply.subscript("selectable")->boolValue(), false);
}

TEST(FolderBrowser, StopsAtFiveHundredSubfoldersAndSaysSo)
{
    struct Case {
        int subfolders;
        std::size_t listed;
        bool truncated;
    };
    for (const Case& c : { Case { 600, 500, true }, Case { 500, 500, true }, Case { 499, 499, false } }) {
        SCOPED_TRACE(c.subfolders);
        TemporaryHome t;
        fs::path many = t.home / "Many";
        for (int index = 0; index < c.subfolders; ++index)
            fs::create_directories(many / ("f" + std::to_string(index)));
        // Files do not count towards the limit.
        for (int index = 0; index < 50; ++index)
            touch(many / ("file" + std::to_string(index)));
        JSON reply = t.resolver().browseFolder("~/Many");
        EXPECT_EQ(reply.subscript("entries")->arrayValue()->size(), c.listed);
        EXPECT_EQ(reply.subscript("truncated")->boolValue(), c.truncated);
    }
}

TEST(FolderBrowser, SortsByLowerCasedNameNotByListingOrder)
{
    TemporaryHome t;
    fs::path folder = t.home / "Fruit";
    // An accented capital sorts as its lower-case letter, after the ASCII letters, whether it is
    // spelled as one character or as a letter and a combining mark.
    const std::string composed = "\xC3\x89"
                                 "clair";
    const std::string decomposed = "E\xCC\x81"
                                   "toile";
    for (const std::string& name : { std::string("zebra"), std::string("Cherry"), composed, decomposed,
             std::string("banana"), std::string("Apple"), std::string("apricot") })
        fs::create_directories(folder / name);
    EXPECT_EQ(entryNames(t.resolver().browseFolder("~/Fruit")),
        (std::vector<std::string> { "Apple", "apricot", "banana", "Cherry", "zebra", composed, decomposed }));
}

TEST(FolderBrowser, LeavesOutNamesThatAreHiddenOrNotText)
{
    TemporaryHome t;
    fs::path folder = t.home / "Odd";
    for (const char* name : { ".git", "tab\tname", "bell\x07", "broken\xFF", "plain" })
        fs::create_directories(folder / name);
    JSON reply = t.resolver().browseFolder("~/Odd");
    EXPECT_EQ(entryNames(reply), std::vector<std::string> { "plain" });
    EXPECT_TRUE(JSON::decode(reply.encoded()));
}

TEST(FolderBrowser, RefusesProtectedFoldersBeforeAndAfterResolvingThem)
{
    TemporaryHome t;
    fs::create_directories(t.home / ".ssh/keys");
    fs::create_directory_symlink(t.home / ".ssh", t.home / "keys");
    fs::create_directory_symlink(t.home / ".ssh", t.home / "Projects/deploy-keys");
    const auto resolver = t.resolver();

    struct Case {
        const char* name;
        std::string path;
        std::string expected;
    };
    const Case cases[] = {
        { "key folder", "~/.ssh", protectedMessage("~/.ssh") },
        { "inside the key folder", "~/.ssh/keys", protectedMessage("~/.ssh/keys") },
        { "written in full", t.home.string() + "/.ssh", protectedMessage("~/.ssh") },
        { "data folder", "~/.local/share/Vellumar", protectedMessage("~/.local/share/Vellumar") },
        { "work folders in the data folder", "~/.local/share/Vellumar/workspaces",
            protectedMessage("~/.local/share/Vellumar/workspaces") },
        // Only the listing reveals where a symlink leads; the refusal names it as asked.
        { "symlink to the key folder", "~/keys", protectedMessage("~/keys") },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(refusalOf([&] { resolver.browseFolder(c.path); }), c.expected);
    }
    // Links to it are left out of listings.
    EXPECT_EQ(entryNamed(resolver.browseFolder(std::nullopt), "keys"), nullptr);
    EXPECT_EQ(entryNames(resolver.browseFolder("~/Projects")), std::vector<std::string> {});
}

TEST(FolderBrowser, RefusesPathsThatAreNotFoldersOrNotValid)
{
    TemporaryHome t;
    touch(t.home / "notes.txt");
    fs::create_directory_symlink(t.home / "gone", t.home / "dangling");
    const auto resolver = t.resolver();
    struct Case {
        const char* name;
        std::string path;
        std::string expected;
    };
    const Case cases[] = {
        { "a file", "~/notes.txt", "404 folder_not_found The folder \"~/notes.txt\" was not found." },
        { "missing", "~/Nowhere", "404 folder_not_found The folder \"~/Nowhere\" was not found." },
        { "dangling symlink", "~/dangling", "404 folder_not_found The folder \"~/dangling\" was not found." },
        { "relative", "Projects", "400 bad_path Folders must start with / or ~." },
        { "dot dot", "~/Projects/..", "400 bad_path Folder paths cannot contain . or .." },
        { "empty", "", "400 bad_path The folder path is not valid." },
        { "control character", "~/a\nb", "400 bad_path The folder path is not valid." },
        { "too long", "/" + std::string(512, 'a'), "400 bad_path The folder path is not valid." },
        // Spaces are only refused when a folder is granted, not when looking around.
        { "space", "~/Space Folder", "404 folder_not_found The folder \"~/Space Folder\" was not found." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(refusalOf([&] { resolver.browseFolder(c.path); }), c.expected);
    }
}

TEST(FolderBrowser, MarksFoldersThatCannotBeGrantedAndFoldersBehindAPrivacyPrompt)
{
    TemporaryHome t;
    // Where the data folder lives on a Mac, so that ~/Library holds it.
    const fs::path data = t.home / "Library/Application Support/Vellumar";
    fs::create_directories(data / "workspaces/chat");
    fs::create_directories(t.home / "Library/Caches");
    fs::create_directories(t.home / "Documents");
    const PermissionResolver resolver(t.home, data, 3.0);

    JSON home = resolver.browseFolder(std::nullopt);
    ASSERT_NE(entryNamed(home, "Library"), nullptr);
    EXPECT_EQ(*entryNamed(home, "Library"), entry("Library", "~/Library", false, true));
    EXPECT_EQ(*entryNamed(home, "Documents"), entry("Documents", "~/Documents", true, true));

    // The data folder itself is never listed; its work folders are protected like the rest of it.
    JSON support = resolver.browseFolder("~/Library/Application Support");
    EXPECT_EQ(entryNames(support), std::vector<std::string> {});
    EXPECT_EQ(support.subscript("privacy")->boolValue(), true);
    EXPECT_EQ(support.subscript("selectable")->boolValue(), false);
}

TEST(FolderBrowser, ReportsAFolderThatDoesNotOpenInTime)
{
    TemporaryHome t;
    const fs::path slow = t.home / "Slow";
    fs::create_directory(slow);
    test::HeldFolder held(slow);
    if (!held.isHolding())
        GTEST_SKIP() << "holding folder openings needs fanotify and CAP_SYS_ADMIN";
    const auto resolver = t.resolver(1.0);
    EXPECT_EQ(refusalOf([&] { resolver.browseFolder("~/Slow"); }),
        "403 folder_blocked \"~/Slow\" did not open in time. If the Mac shows a privacy prompt for Vellumar "
        "for Mac, allow it, then try again.");
    held.release();
    EXPECT_EQ(*resolver.browseFolder("~/Slow").subscript("path")->stringValue(), "~/Slow");
}

namespace {

// The browse reply as user 65534 for a home at /home inside the peer's root, or its refusal.
std::string browseOutcome(const std::string& path)
{
    PermissionResolver resolver("/home", "/home/.local/share/Vellumar", 30.0);
    try {
        return resolver.browseFolder(path).encoded();
    } catch (const RelayHTTPError& error) {
        return std::to_string(error.status()) + " " + error.code() + " " + error.message();
    }
}

[[maybe_unused]] const bool browseRegistered = test::registerUnprivilegedCheck("browseFolder", browseOutcome);

void setMode(const fs::path& path, fs::perms mode) { fs::permissions(path, mode, fs::perm_options::replace); }

}

TEST(FolderBrowserAsUnprivilegedUser, ReportsARefusedListingAndLeavesOutWhatCannotBeInspected)
{
    test::TemporaryFolder temporary;
    const fs::path root = resolvingSymlinks(temporary.path());
    const auto open = fs::perms(0755);
    fs::create_directories(root / "home/Shared/visible");
    fs::create_directories(root / "home/locked");
    fs::create_directories(root / "home/sealed/inner");
    fs::create_directory_symlink("../sealed/inner", root / "home/Shared/through-sealed");
    for (const auto& folder : { root, root / "home", root / "home/Shared", root / "home/Shared/visible" })
        setMode(folder, open);
    setMode(root / "home/locked", fs::perms::none);
    setMode(root / "home/sealed", fs::perms(0700));

    EXPECT_EQ(test::runUnprivileged("browseFolder", root, "~/locked"),
        "403 folder_blocked \"~/locked\" could not be read. Allow Vellumar for Mac in System Settings > "
        "Privacy & Security, then try again.");
    // A link into a folder this user cannot search leads nowhere it can see.
    auto shared = JSON::decode(test::runUnprivileged("browseFolder", root, "~/Shared"));
    ASSERT_TRUE(shared);
    EXPECT_EQ(entryNames(*shared), std::vector<std::string> { "visible" });

    // Root sees past the modes, which is why the check drops its privileges.
    if (geteuid() == 0) {
        PermissionResolver asRoot(root / "home", root / "home/.local/share/Vellumar", 30.0);
        EXPECT_EQ(entryNames(asRoot.browseFolder("~/Shared")),
            (std::vector<std::string> { "through-sealed", "visible" }));
        EXPECT_EQ(asRoot.browseFolder("~/locked").subscript("entries")->arrayValue()->size(), 0u);
    }
    setMode(root / "home/locked", open);
    setMode(root / "home/sealed", open);
}
