#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/Permissions/TemporaryHome.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

struct Refusal {
    int status;
    std::string code;
    std::string message;
};

// The refusal thrown by `check`, or nullopt when it passed.
template <typename Check> std::optional<Refusal> refusalOf(Check check)
{
    try {
        check();
        return std::nullopt;
    } catch (const RelayHTTPError& error) {
        EXPECT_FALSE(error.retryAfter());
        return Refusal { error.status(), error.code(), error.message() };
    }
}

void expectRefusal(const std::optional<Refusal>& refusal, const std::optional<Refusal>& expected)
{
    ASSERT_EQ(refusal.has_value(), expected.has_value()) << (refusal ? refusal->message : "allowed");
    if (!expected)
        return;
    EXPECT_EQ(refusal->status, expected->status);
    EXPECT_EQ(refusal->code, expected->code);
    EXPECT_EQ(refusal->message, expected->message);
}

Refusal holdsKeys(const std::string& label)
{
    return { 403, "protected_folder",
        "\"" + label + "\" holds keys or Vellumar's own data, so it cannot be allowed." };
}

Refusal containsData(const std::string& label)
{
    return { 403, "protected_folder",
        "\"" + label + "\" contains Vellumar's own data, so it cannot be allowed." };
}

Refusal tooBroad(const std::string& label)
{
    return { 400, "folder_too_broad", "Folders above the home folder (" + label + ") cannot be allowed." };
}

using test::TemporaryHome;
using test::touch;

// The "bad_path" sentence for the path, or "" when it is accepted (with the result in `normalised`).
std::string pathRefusal(const PermissionResolver& resolver, const std::string& path, CharacterCheck check,
    std::string& normalised)
{
    try {
        normalised = resolver.validateFolderPath(path, check).string();
        return "";
    } catch (const RelayHTTPError& error) {
        EXPECT_EQ(error.status(), 400);
        EXPECT_EQ(error.code(), "bad_path");
        return error.message();
    }
}

}

TEST(PermissionResolver, ValidatesAndNormalisesFolderPathsWithoutTouchingTheDisk)
{
    const PermissionResolver resolver("/Users/me", "/Users/me/Library/Application Support/Vellumar", 3.0);
    const std::string notValid = "The folder path is not valid.";
    const std::string start = "Folders must start with / or ~.";
    const std::string dots = "Folder paths cannot contain . or ..";
    struct Case {
        std::string path;
        std::string expected; // normalised path, or the refusal's sentence
        CharacterCheck check = CharacterCheck::applied;
    };
    const Case cases[] = {
        { "~", "/Users/me" },
        { "~/", "/Users/me" },
        { "~/x", "/Users/me/x" },
        { "~//x//", "/Users/me/x" },
        { "/a//b/", "/a/b" },
        { "/", "/" },
        { "//", "/" },
        { "/Users/me//Projects/", "/Users/me/Projects" },
        { "/a/.../b", "/a/.../b" },
        { "/a/.hidden", "/a/.hidden" },
        { "~x", start },
        { "~x/y", start },
        { "projects/site", start },
        { "./a", start },
        { "/Users/me/./x", dots },
        { "/a/../b", dots },
        { "~/..", dots },
        { "/a/.", dots },
        { "", notValid },
        { " /a", notValid },
        { "/a ", notValid },
        { "/a\\b", notValid },
        { "/a\tb", notValid },
        { "/" + std::string(512, 'a'), notValid },
        { "/" + std::string(511, 'a'), "/" + std::string(511, 'a') },
        { "/a b", "\"/a b\" has characters that cannot be used (spaces or symbols)." },
        { "~/my folder//", "\"~/my folder//\" has characters that cannot be used (spaces or symbols)." },
        { "/a+b", "\"/a+b\" has characters that cannot be used (spaces or symbols)." },
        { "/a b", "/a b", CharacterCheck::skipped },
        { "/a/../b", dots, CharacterCheck::skipped },
        { "/caf\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC/\xD9\xA1\xD9\xA2",
            "/caf\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC/\xD9\xA1\xD9\xA2" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string normalised;
        std::string refusal = pathRefusal(resolver, c.path, c.check, normalised);
        EXPECT_EQ(refusal.empty() ? normalised : refusal, c.expected);
    }
}

TEST(PermissionResolver, UsablePathCharactersAreLettersMarksNumbersAndFourPunctuationMarks)
{
    struct Case {
        const char* name;
        std::string text;
        bool unusable;
    };
    const Case cases[] = {
        { "empty", "", false },
        { "ASCII set", "/Az09._-/", false },
        { "accented letter", "/caf\xC3\xA9", false },
        { "combining mark", "/e\xCC\x81", false },
        { "CJK letters", "/\xE6\x97\xA5\xE6\x9C\xAC", false },
        { "Arabic-Indic digits", "/\xD9\xA1\xD9\xA2", false },
        { "superscript two (other number)", "/x\xC2\xB2", false },
        { "Roman numeral (letter number)", "/\xE2\x85\xA0", false },
        { "space", "/a b", true },
        { "plus", "/a+b", true },
        { "tilde", "/~", true },
        { "at sign", "/a@b", true },
        { "colon", "/a:b", true },
        { "no-break space",
            "/a\xC2\xA0"
            "b",
            true },
        { "ideographic space",
            "/a\xE3\x80\x80"
            "b",
            true },
        { "emoji", "/a\xF0\x9F\x98\x80", true },
        { "euro sign", "/\xE2\x82\xAC", true },
        { "en dash",
            "/a\xE2\x80\x93"
            "b",
            true },
        { "C1 control", "/a\xC2\x85", true },
        { "zero-width joiner (format)",
            "/a\xE2\x80\x8D"
            "b",
            true },
        { "right-to-left mark", "/a\xE2\x80\x8F", true },
        { "broken UTF-8", "/a\xC3", true },
        { "overlong slash", "/a\xC0\xAF", true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PermissionResolver::hasUnusablePathCharacters(c.text), c.unusable);
    }
}

TEST(PermissionResolver, DisplaysPathsRelativeToHome)
{
    const PermissionResolver resolver("/Users/me", "/data", 3.0);
    struct Case {
        const char* path;
        const char* label;
    };
    const Case cases[] = {
        { "/Users/me", "~" },
        { "/Users/me/", "~" },
        { "/Users/me/Code/app", "~/Code/app" },
        { "/Users/meat", "/Users/meat" },
        { "/Users", "/Users" },
        { "/", "/" },
        { "/opt/x", "/opt/x" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(resolver.displayPath(c.path), c.label);
    }
}

TEST(PermissionResolver, ProtectsEverySecretPlaceInBothFormsInCatalogueOrder)
{
    TemporaryHome t;
    fs::create_directories(t.home / "dotfiles/ssh");
    fs::create_directory_symlink(t.home / "dotfiles/ssh", t.home / ".ssh");
    auto places = t.resolver().protectedPlaces();
    ASSERT_GE(places.size(), 4u);
    EXPECT_EQ(places[0], t.data);
    EXPECT_EQ(places[1], t.home / ".ssh");
    EXPECT_EQ(places[2], t.home / "dotfiles/ssh");
    EXPECT_EQ(places[3], t.home / ".aws");
    EXPECT_EQ(places.back(), t.home / ".bash_history");
    // 18 places in the catalogue, each resolving to itself but ".ssh".
    EXPECT_EQ(places.size(), 19u);
}

TEST(PermissionResolver, RefusesFoldersThatReachProtectedPlacesOrAreTooBroad)
{
    TemporaryHome t;
    fs::create_directories(t.home / ".ssh/keys");
    fs::create_directories(t.home / "dotfiles/aws");
    fs::create_directory_symlink(t.home / "dotfiles/aws", t.home / ".aws");
    fs::create_directory_symlink(t.home / ".ssh", t.home / "keys-link");
    fs::create_directories(t.root / "elsewhere");
    touch(t.home / ".bashrc");
    const auto resolver = t.resolver();
    const auto protectedList = resolver.protectedPlaces();

    struct Case {
        const char* name;
        fs::path folder;
        std::optional<Refusal> expected;
    };
    const Case cases[] = {
        { "root", "/", tooBroad("/") },
        { "parent of home", t.home.parent_path(), tooBroad(resolver.displayPath(t.home.parent_path())) },
        { "home itself", t.home, std::nullopt },
        { "an ordinary subfolder", t.home / "Projects", std::nullopt },
        { "a folder outside home", t.root / "elsewhere", std::nullopt },
        { "ssh folder", t.home / ".ssh", holdsKeys("~/.ssh") },
        { "inside ssh", t.home / ".ssh/keys", holdsKeys("~/.ssh/keys") },
        { "real location of a symlink to ssh", resolvingSymlinks(t.home / "keys-link"), holdsKeys("~/.ssh") },
        { "shell file", t.home / ".bashrc", holdsKeys("~/.bashrc") },
        { "real target of the aws symlink", t.home / "dotfiles/aws", holdsKeys("~/dotfiles/aws") },
        { "folder holding the aws target", t.home / "dotfiles", holdsKeys("~/dotfiles") },
        { "data folder", t.data, holdsKeys("~/.local/share/Vellumar") },
        { "data folder entry", t.data / "tls", holdsKeys("~/.local/share/Vellumar/tls") },
        { "data folder's parent", t.home / ".local/share", containsData("~/.local/share") },
        { "data folder's grandparent", t.home / ".local", containsData("~/.local") },
        { "work folders", t.data / "workspaces", std::nullopt },
        { "one work folder", t.data / "workspaces/x", std::nullopt },
        { "a name beginning like workspaces", t.data / "workspaces2",
            holdsKeys("~/.local/share/Vellumar/workspaces2") },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectRefusal(refusalOf([&] {
            resolver.checkFolderAllowed(c.folder, resolver.displayPath(c.folder), protectedList);
        }),
            c.expected);
    }
    // The label is quoted as given, not recomputed.
    expectRefusal(refusalOf([&] { resolver.checkFolderAllowed(t.home / ".ssh", "my keys", protectedList); }),
        holdsKeys("my keys"));
}

TEST(PermissionResolver, AllowsWorkFoldersOfADataFolderReachedThroughASymlink)
{
    TemporaryHome t;
    const fs::path realData = t.root / "store/real-data";
    fs::create_directories(realData / "workspaces/c1");
    fs::create_directory_symlink(realData, t.home / "data-link");
    PermissionResolver resolver(t.home, t.home / "data-link", 3.0);
    const auto protectedList = resolver.protectedPlaces();
    auto real = resolvingSymlinks(t.home / "data-link/workspaces/c1");
    ASSERT_EQ(real, realData / "workspaces/c1");
    expectRefusal(refusalOf([&] { resolver.checkFolderAllowed(real, "c1", protectedList); }), std::nullopt);
    expectRefusal(refusalOf([&] { resolver.checkFolderAllowed(realData / "tls", "tls", protectedList); }),
        holdsKeys("tls"));
    expectRefusal(refusalOf([&] { resolver.checkFolderAllowed(t.root / "store", "store", protectedList); }),
        containsData("store"));
}

TEST(PermissionResolver, RefusesAWorkFolderThatHoldsASymlinkedKeyFolder)
{
    TemporaryHome t;
    fs::create_directories(t.data / "workspaces/c1/keys");
    fs::create_directory_symlink(t.data / "workspaces/c1/keys", t.home / ".ssh");
    const auto resolver = t.resolver();
    const auto protectedList = resolver.protectedPlaces();
    expectRefusal(
        refusalOf([&] { resolver.checkFolderAllowed(t.data / "workspaces/c1", "c1", protectedList); }),
        holdsKeys("c1"));
    expectRefusal(
        refusalOf([&] { resolver.checkFolderAllowed(t.data / "workspaces/c1/keys", "keys", protectedList); }),
        holdsKeys("keys"));
    expectRefusal(
        refusalOf([&] { resolver.checkFolderAllowed(t.data / "workspaces/c2", "c2", protectedList); }),
        std::nullopt);
}

TEST(PermissionResolver, TellsWhichPathsLieInPrivacyFolders)
{
    const PermissionResolver resolver("/Users/me", "/Users/me/Library/Application Support/Vellumar", 3.0);
    struct Case {
        const char* path;
        bool inPrivacyFolder;
    };
    const Case cases[] = {
        { "/Users/me/Documents", true },
        { "/Users/me/Documents/x/y", true },
        { "/Users/me/iCloud Drive (Archive)/a", true },
        { "/Users/me/Library/Keychains", true },
        { "/Users/me/Library/Application Support/Vellumar", false },
        { "/Users/me/Library/Application Support/Vellumar/workspaces/c", false },
        { "/Users/me", false },
        { "/Users/me/Projects", false },
        { "/Users/me/Documentsx", false },
        { "/Users/me/documents", false },
        { "/Other/Documents", false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(resolver.isInPrivacyFolder(c.path), c.inPrivacyFolder);
    }
}

TEST(PermissionResolver, KeepsExistingPlacesOfTheRightKindAtTheirRealLocations)
{
    TemporaryHome t;
    fs::create_directories(t.home / ".ssh");
    fs::create_directories(t.home / "real-gnupg");
    fs::create_directory_symlink(t.home / "real-gnupg", t.home / ".gnupg");
    touch(t.home / ".aws");
    touch(t.home / ".claude.json");
    fs::create_directories(t.home / "Documents/keys");
    fs::create_directory_symlink(t.home / "Documents/keys", t.home / ".kube");
    fs::create_symlink(t.home / "missing", t.home / ".docker");
    const auto resolver = t.resolver();

    auto folders = resolver.existingPlaces(
        { t.home / ".ssh", t.home / ".aws", t.home / ".gnupg", t.home / "real-gnupg", t.home / ".kube",
            t.home / ".docker", t.home / ".config", t.home / "Documents/keys", t.data },
        PlaceKind::folder);
    std::vector<fs::path> expectedFolders = { t.home / ".ssh", t.home / "real-gnupg", t.data };
    EXPECT_EQ(folders, expectedFolders);

    auto files = resolver.existingPlaces(
        { t.home / ".claude.json", t.home / ".aws", t.home / ".ssh", t.home / ".netrc" }, PlaceKind::file);
    std::vector<fs::path> expectedFiles = { t.home / ".claude.json", t.home / ".aws" };
    EXPECT_EQ(files, expectedFiles);
}

TEST(PermissionResolver, ChecksThatAFolderExistsAndOpens)
{
    TemporaryHome t;
    touch(t.home / "notes.txt");
    fs::create_directory_symlink(t.home / "Projects", t.root / "projects-link");
    const auto resolver = t.resolver();
    EXPECT_EQ(resolver.checkReadable(t.home / "Projects", "~/Projects"), t.home / "Projects");
    EXPECT_EQ(resolver.checkReadable(t.root / "projects-link", "link"), t.home / "Projects");
    for (const auto& [folder, label] : { std::pair { t.home / "notes.txt", std::string("~/notes.txt") },
             std::pair { t.home / "missing", std::string("~/missing") },
             std::pair { t.home / "notes.txt/x", std::string("~/notes.txt/x") } }) {
        SCOPED_TRACE(label);
        // Named captures: clang 14 cannot capture structured bindings.
        expectRefusal(
            refusalOf([&resolver, path = folder, name = label] { resolver.checkReadable(path, name); }),
            Refusal { 400, "folder_not_found", "The folder \"" + label + "\" was not found." });
    }
}

TEST(PermissionResolver, OffersAtMostSixtySortedPlainHomeFolders)
{
    TemporaryHome t;
    for (int i = 0; i < 70; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "f%02d", i);
        fs::create_directories(t.home / name);
    }
    for (const char* name : { "Documents", "Desktop", ".hidden", "with space", "a+b" })
        fs::create_directories(t.home / name);
    touch(t.home / "e-file");
    fs::create_directories(t.home / "dotfiles/ssh");
    fs::create_directory_symlink(t.home / "dotfiles/ssh", t.home / ".ssh");
    fs::create_directory_symlink(t.home / ".ssh", t.home / "a-keys");
    fs::create_directory_symlink(t.home / "f00", t.home / "b-alias");
    fs::create_directory_symlink(t.home / "Documents", t.home / "c-docs");
    const auto resolver = t.resolver();

    auto folders = resolver.homeFolders(resolver.protectedPlaces());
    std::vector<fs::path> expected;
    // "Projects" sorts before the f-folders; "b-alias" is f00 again.
    expected.push_back(t.home / "Projects");
    expected.push_back(t.home / "f00");
    for (int i = 1; i < 59; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "f%02d", i);
        expected.push_back(t.home / name);
    }
    ASSERT_EQ(folders.size(), PermissionResolver::maxHomeFolders);
    EXPECT_EQ(folders, expected);
}

TEST(PermissionResolver, RethrowsAnUnlistableHome)
{
    TemporaryHome t;
    PermissionResolver resolver(t.root / "no-home", t.data, 3.0);
    EXPECT_THROW(resolver.homeFolders({}), fs::filesystem_error);
}
