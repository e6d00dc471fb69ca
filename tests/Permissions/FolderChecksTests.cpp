#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;

TEST(PermissionResolver, ValidatesAndNormalisesFolderPathsWithoutTouchingTheDisk)
{
    const PermissionResolver resolver("/Users/me", "/data", 3.0);
    const std::string start = "400 bad_path Folders must start with / or ~.",
                      dots = "400 bad_path Folder paths cannot contain . or ..";
    // The normalised path, or the refusal.
    for (const auto& [path, expected] :
        std::vector<std::pair<std::string, std::string>> { { "~//x//", "/Users/me/x" },
            { "/a/.../.b", "/a/.../.b" }, { "~x", start }, { "/a/./b", dots }, { "~/..", dots },
            { "~/a b", "400 bad_path \"~/a b\" has characters that cannot be used (spaces or symbols)." } }) {
        SCOPED_TRACE(path);
        std::string normalised;
        std::string refusal = test::refusalOf(
            [&] { normalised = resolver.validateFolderPath(path, CharacterCheck::applied).string(); });
        EXPECT_EQ(refusal == "ok" ? normalised : refusal, expected);
    }
}

TEST(PermissionResolver, UsablePathCharactersAreLettersMarksNumbersAndFourPunctuationMarks)
{
    for (const char* usable : { "/Az09._-", "/e\xCC\x81", "/\xD9\xA1\xE2\x85\xA0" })
        EXPECT_FALSE(PermissionResolver::hasUnusablePathCharacters(usable)) << usable;
    for (const char* unusable : { "/a+b", "/a\xC2\xA0", "/\xF0\x9F\x98\x80", "/a\xE2\x80\x8D", "/a\xC3" })
        EXPECT_TRUE(PermissionResolver::hasUnusablePathCharacters(unusable)) << unusable;
}

TEST(PermissionResolver, ProtectsEverySecretPlaceInBothFormsInCatalogueOrder)
{
    test::TemporaryHome t;
    // Home named through a link is kept at its real place.
    fs::create_directory_symlink(t.home, t.root / "home-link");
    fs::create_directory_symlink(test::madeFolder(t.home / "dotfiles/ssh"), t.home / ".ssh");
    const PermissionResolver resolver(t.root / "home-link", t.data, 3.0);
    std::string places;
    for (const auto& place : resolver.protectedPlaces())
        places += resolver.displayPath(place) + " ";
    EXPECT_EQ(places,
        "~/.local/share/Vellumar ~/.ssh ~/dotfiles/ssh ~/.aws ~/.gnupg ~/.config ~/.docker ~/.kube ~/.claude "
        "~/.claude.json ~/.netrc ~/.git-credentials ~/.gitconfig ~/.zshrc ~/.zprofile ~/.bashrc "
        "~/.bash_profile ~/.zsh_history ~/.bash_history ");
    // The data folder's protected entries: fixed names, united with what is there but the work folders.
    test::touch(t.data / "extra.txt");
    std::string entries;
    for (const auto& entry : resolver.listFolder())
        entries += entry.filename().string() + " ";
    EXPECT_EQ(
        entries, "activity claude-settings extra.txt incoming memory.json routines.json sessions.json tls ");
}

TEST(PermissionResolver, RefusesFoldersThatReachProtectedPlacesOrAreTooBroad)
{
    test::TemporaryHome t;
    // The data folder is named through a link, and ~/.ssh leads into one of its work folders.
    fs::create_directory_symlink(t.data, t.home / "data-link");
    fs::create_directory_symlink(test::madeFolder(t.data / "workspaces/c1/keys"), t.home / ".ssh");
    fs::create_directory_symlink(test::madeFolder(t.home / "dotfiles/aws"), t.home / ".aws");
    const PermissionResolver resolver(t.home, t.home / "data-link", 3.0);
    const std::string holdsKeys
        = "403 protected_folder \"L\" holds keys or Vellumar's own data, so it cannot be allowed.";
    const auto protectedList = resolver.protectedPlaces();
    for (const auto& [name, folder, expected] : std::vector<std::tuple<const char*, fs::path, std::string>> {
             { "root", "/", "400 folder_too_broad Folders above the home folder (L) cannot be allowed." },
             { "home itself", t.home, "ok" },
             { "inside a key folder as named", t.home / ".ssh/x", holdsKeys },
             { "a folder holding the real place of a key folder", t.home / "dotfiles", holdsKeys },
             { "a folder holding the data folder", t.home / ".local/share",
                 "403 protected_folder \"L\" contains Vellumar's own data, so it cannot be allowed." },
             { "a work folder", t.data / "workspaces/c2", "ok" },
             { "a name beginning like the work folders", t.data / "workspaces2", holdsKeys },
             { "a work folder holding a key folder", t.data / "workspaces/c1", holdsKeys },
         }) {
        SCOPED_TRACE(name);
        EXPECT_EQ(
            test::refusalOf([&] { resolver.checkFolderAllowed(folder, "L", protectedList); }), expected);
    }
}

TEST(PermissionResolver, OffersAtMostSixtySortedPlainHomeFolders)
{
    test::TemporaryHome t;
    std::vector<fs::path> expected { t.home / "Projects" };
    for (int index = 100; index < 170; ++index) {
        fs::path folder = test::madeFolder(t.home / ("f" + std::to_string(index)));
        if (expected.size() < PermissionResolver::maxHomeFolders)
            expected.push_back(folder);
    }
    for (const char* name : { "Documents", ".hidden", "with space" })
        test::madeFolder(t.home / name);
    fs::create_directory_symlink(test::madeFolder(t.home / "dotfiles/ssh"), t.home / ".ssh");
    fs::create_directory_symlink(t.home / ".ssh", t.home / "a-keys");
    // Sorts before f100, which it leads to, so f100 comes second and only once.
    fs::create_directory_symlink(t.home / "f100", t.home / "b-alias");
    const auto resolver = t.resolver();
    EXPECT_EQ(resolver.homeFolders(resolver.protectedPlaces()), expected);
}
