#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/HeldFolder.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <utility>
#include <vector>

using namespace vellumar;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

JSON entry(const std::string& name, const std::string& path, bool selectable = true, bool privacy = false)
{
    return JSON::object(
        { { "name", name }, { "path", path }, { "selectable", selectable }, { "privacy", privacy } });
}

std::vector<std::string> entryNames(const JSON& reply)
{
    std::vector<std::string> names;
    for (const auto& listed : *reply.subscript("entries")->arrayValue())
        names.push_back(*listed.subscript("name")->stringValue());
    return names;
}

}

TEST(FolderBrowser, ListsTheHomeFolderWhenNoPathIsGiven)
{
    test::TemporaryHome t;
    // An accented capital sorts as its lower-case letter, after the ASCII letters, whether it is
    // spelled as one character or as a letter and a combining mark.
    const std::string composed = "\xC3\x89"
                                 "clair",
                      decomposed = "E\xCC\x81"
                                   "toile";
    for (const std::string& name : { "Cherry"s, decomposed, "banana"s, composed, "Apple"s, ".hidden"s,
             "My Folder"s, "tab\tname"s, "bad\xFF"s })
        fs::create_directory(t.home / name);
    test::touch(t.home / "notes.txt");
    fs::create_directory_symlink(t.home / "Projects", t.home / "current");
    // A symlinked folder is shown at its real place; one with a space is listed, so that the user can
    // look around, but cannot be granted.
    const JSON expected = JSON::object({ { "path", "~" }, { "parent", t.home.parent_path().string() },
        { "selectable", true }, { "privacy", false }, { "truncated", false },
        { "entries",
            JSON::array({ entry("Apple", "~/Apple"), entry("banana", "~/banana"), entry("Cherry", "~/Cherry"),
                entry("current", "~/Projects"), entry("My Folder", "~/My Folder", false),
                entry("Projects", "~/Projects"), entry(composed, "~/" + composed),
                entry(decomposed, "~/" + decomposed) }) } });
    EXPECT_EQ(t.resolver().browseFolder(std::nullopt).encoded(), expected.encoded());
    EXPECT_EQ(t.resolver().browseFolder("~").encoded(), expected.encoded());
    EXPECT_TRUE(t.resolver().browseFolder("/").subscript("parent")->isNull());
}

TEST(FolderBrowser, StopsAtFiveHundredSubfoldersAndSaysSo)
{
    test::TemporaryHome t;
    for (int index = 0; index < 500; ++index)
        test::madeFolder(t.home / "Many" / ("f" + std::to_string(index)));
    JSON reply = t.resolver().browseFolder("~/Many");
    EXPECT_EQ(reply.subscript("entries")->arrayValue()->size(), 500u);
    EXPECT_EQ(reply.subscript("truncated")->boolValue(), true);
}

TEST(FolderBrowser, RefusesProtectedFoldersBeforeAndAfterResolvingThem)
{
    test::TemporaryHome t;
    fs::create_directory_symlink(test::madeFolder(t.home / ".ssh/keys").parent_path(), t.home / "keys");
    test::madeFolder(t.home / "With Space");
    test::touch(t.home / "notes.txt");
    auto protectedFolder = [](const std::string& label) {
        return "403 protected_folder \"" + label + "\" is protected and cannot be opened.";
    };
    const auto resolver = t.resolver();
    for (const auto& [path, expected] :
        std::vector<std::pair<std::string, std::string>> { { "~/.ssh/keys", protectedFolder("~/.ssh/keys") },
            { "~/.local/share/Vellumar/workspaces", protectedFolder("~/.local/share/Vellumar/workspaces") },
            // Only the listing reveals where a link leads; the refusal names it as asked.
            { "~/keys", protectedFolder("~/keys") },
            { "~/notes.txt", "404 folder_not_found The folder \"~/notes.txt\" was not found." },
            // Spaces are refused only when a folder is granted, not when looking around.
            { "~/With Space", "ok" } }) {
        SCOPED_TRACE(path);
        EXPECT_EQ(test::refusalOf([&] { resolver.browseFolder(path); }), expected);
    }
    // Links to a protected place are left out of listings.
    EXPECT_EQ(
        entryNames(resolver.browseFolder("~")), (std::vector<std::string> { "Projects", "With Space" }));
}

TEST(FolderBrowser, MarksFoldersThatCannotBeGrantedAndFoldersBehindAPrivacyPrompt)
{
    test::TemporaryHome t;
    // Where the data folder lives on a Mac, so that ~/Library holds it.
    const fs::path data = t.home / "Library/Application Support/Vellumar";
    test::madeFolder(data / "workspaces/chat");
    test::madeFolder(t.home / "Documents");
    const PermissionResolver resolver(t.home, data, 3.0);
    EXPECT_EQ(*resolver.browseFolder(std::nullopt).subscript("entries"),
        JSON::array({ entry("Documents", "~/Documents", true, true),
            entry("Library", "~/Library", false, true), entry("Projects", "~/Projects") }));
    // The data folder itself is never listed.
    EXPECT_EQ(resolver.browseFolder("~/Library/Application Support").encoded(),
        JSON::object(
            { { "path", "~/Library/Application Support" }, { "parent", "~/Library" }, { "selectable", false },
                { "privacy", true }, { "entries", JSON::array({}) }, { "truncated", false } })
            .encoded());
}

TEST(FolderBrowser, ReportsAFolderThatDoesNotOpenInTime)
{
    test::TemporaryHome t;
    test::HeldFolder held(test::madeFolder(t.home / "Slow"));
    if (!held.isHolding())
        GTEST_SKIP() << "holding folder openings needs fanotify and CAP_SYS_ADMIN";
    const auto resolver = t.resolver(1.0);
    auto browsing = std::async(
        std::launch::async, [&] { return test::refusalOf([&] { resolver.browseFolder("~/Slow"); }); });
    const bool answered = browsing.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    held.release();
    ASSERT_TRUE(answered);
    EXPECT_EQ(browsing.get(),
        "403 folder_blocked \"~/Slow\" did not open in time. If the Mac shows a privacy prompt for Vellumar "
        "for Mac, allow it, then try again.");
    EXPECT_EQ(*resolver.browseFolder("~/Slow").subscript("path")->stringValue(), "~/Slow");
}
