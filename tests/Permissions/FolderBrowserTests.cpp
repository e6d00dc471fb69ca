#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

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

}

TEST(FolderBrowser, ListsTheHomeFolderWhenNoPathIsGiven)
{
    test::TemporaryHome t;
    // An accented capital sorts as its lower-case letter, after the ASCII letters.
    const std::string composed = "\xC3\x89"
                                 "clair";
    for (const std::string& name : { "banana"s, composed, "Apple"s, ".hidden"s, "My Folder"s, "bad\xFF"s })
        fs::create_directory(t.home / name);
    test::touch(t.home / "notes.txt");
    fs::create_directory_symlink(t.home / "Projects", t.home / "current");
    fs::create_directory_symlink(test::madeFolder(t.home / ".ssh"), t.home / "keys");
    // A symlinked folder is shown at its real place, one into a protected place not at all; one with a
    // space is listed, so that the user can look around, but cannot be granted.
    const JSON expected = JSON::object({ { "path", "~" }, { "parent", t.home.parent_path().string() },
        { "selectable", true }, { "privacy", false }, { "truncated", false },
        { "entries",
            JSON::array({ entry("Apple", "~/Apple"), entry("banana", "~/banana"),
                entry("current", "~/Projects"), entry("My Folder", "~/My Folder", false),
                entry("Projects", "~/Projects"), entry(composed, "~/" + composed) }) } });
    EXPECT_EQ(t.resolver().browseFolder(std::nullopt).encoded(), expected.encoded());
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
    const auto resolver = t.resolver();
    for (const std::string& path : { "~/.ssh/keys"s, "~/.local/share/Vellumar/workspaces"s, "~/keys"s }) {
        SCOPED_TRACE(path);
        // Only the listing reveals where a link leads; the refusal names it as asked.
        EXPECT_EQ(test::refusalOf([&] { resolver.browseFolder(path); }),
            "403 protected_folder \"" + path + "\" is protected and cannot be opened.");
    }
}

TEST(FolderBrowser, MarksFoldersThatCannotBeGrantedAndFoldersBehindAPrivacyPrompt)
{
    test::TemporaryHome t;
    // Where the data folder lives on a Mac, so that ~/Library holds it; the data folder is never listed.
    const fs::path data = t.home / "Library/Application Support/Vellumar";
    test::madeFolder(data / "workspaces/chat");
    test::madeFolder(t.home / "Documents");
    const PermissionResolver resolver(t.home, data, 3.0);
    EXPECT_EQ(*resolver.browseFolder(std::nullopt).subscript("entries"),
        JSON::array({ entry("Documents", "~/Documents", true, true),
            entry("Library", "~/Library", false, true), entry("Projects", "~/Projects") }));
    EXPECT_EQ(*resolver.browseFolder("~/Library/Application Support").subscript("entries"), JSON::array({}));
}
