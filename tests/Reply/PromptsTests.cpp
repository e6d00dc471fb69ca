#include "VellumarMacCore/Reply/Prompts.h"

#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TextPins.h"

#include <gtest/gtest.h>

#include <memory>

using namespace vellumar;
using test::expectPinned;

namespace {

std::unique_ptr<icu::TimeZone> zone(const char* identifier)
{
    return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone(identifier));
}

std::vector<std::string> split(const std::string& text, std::string_view separator)
{
    std::vector<std::string> pieces;
    std::size_t from = 0;
    for (auto found = text.find(separator); found != std::string::npos; found = text.find(separator, from)) {
        pieces.push_back(text.substr(from, found - from));
        from = found + separator.size();
    }
    pieces.push_back(text.substr(from));
    return pieces;
}

BotProfile profile(std::string name, std::string role, std::string persona, bool primary = false)
{
    return BotProfile { std::move(name), std::move(role), std::move(persona), primary };
}

}

// The fixed blocks are compared by size and SHA-256 of the texts as written down for the bots.
TEST(Prompts, FixedBlocksAreExactToTheCharacter)
{
    auto berlin = zone("Europe/Berlin");
    auto blocks
        = split(Prompts::systemPrompt("main", std::nullopt, Prompts::ActionsBlock::omitted, *berlin), "\n\n");
    ASSERT_EQ(blocks.size(), 4u);
    struct Case {
        const char* name;
        std::string text;
        std::size_t bytes;
        const char* digest;
    } cases[] = {
        { "[How to reply]", blocks[1], 260,
            "cb0c863f77b968202abe4a8ec68d87e63c72d18f30992fe2bd483b09ee02e9ee" },
        { "[Tools and permissions]", blocks[2], 2480,
            "13103b5f1257d4edbd8d54ab7fd83bdfe962006193e11748d8e7c1781ee3ee27" },
        { "[Memory]", blocks[3], 743, "e0537570702489e62fd35a95d45afb8c7ba7352dcbbbc894fd0cc251535e2ae1" },
        { "summary request", Prompts::summaryRequest(), 644,
            "da2f225242f9d843c60e9e496a9b537c0dc966584f28d91171a95f653d8cad3d" },
        { "[Actions]", Prompts::actionsSection("main-bot", *berlin), 3421,
            "c50bd2ea01ebe8d34a7317c76507388325a950876c65a049176238a2022c8202" },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        EXPECT_EQ(check.text.size(), check.bytes);
        expectPinned(check.text, check.digest);
    }
}

// Texts with inserted values, pinned by the first digits of their SHA-256 digest.
TEST(Prompts, SectionsAreExactWithTheirInsertedValues)
{
    auto tokyo = zone("Asia/Tokyo");
    FolderGrant projects { "/home/u/projects", true, "~/projects", false };
    FolderGrant data { "/srv/data", false, "/srv/data", false };
    FolderGrant music { "/home/u/Music", false, "~/Music", true };
    FolderGrant notes { "/home/u/notes", true, "~/notes", true };
    auto section = [](const ResolvedPermissions& permissions) {
        return Prompts::permissionsSection(permissions, "/home/u");
    };
    std::vector<OtherBot> others { { "b2", "Ana", "Cook" }, { "b3", "Ben", "" } };
    struct Case {
        const char* name;
        std::string text;
        const char* digest;
    } cases[] = {
        { "system prompt with actions for another bot and zone",
            Prompts::systemPrompt("helper-2", std::nullopt, Prompts::ActionsBlock::included, *tokyo),
            "b1e8136ff3aa89ff" },
        { "intro without a profile", Prompts::intro(std::nullopt), "5e4450ae95f4999f" },
        { "intro with empty role and persona", Prompts::intro(profile("Mika", "", "")), "0f295d3dad82b3a4" },
        { "intro with role and persona as given",
            Prompts::intro(profile("Mika", " Coach ", "Line one\n  \"quoted\"")), "9dfe91f10a813146" },
        { "network local", Prompts::networkLine({ .network = "local" }), "ed11209443b6642e" },
        { "network domains",
            Prompts::networkLine({ .network = "domains", .domains = { "example.com", "api.example.org" } }),
            "769ad6512ce5b62e" },
        { "network all", Prompts::networkLine({ .network = "all" }), "c43909c7adbf2ff7" },
        { "network unknown mode", Prompts::networkLine({ .network = "Local" }), "0bfa08beb80582cc" },
        { "everything off", section({}), "6dbe58bc2716a0d9" },
        { "home access only", section({ .homeAccess = "read" }), "77f40d7b4e605b3a" },
        { "folders read and write and read only", section({ .folders = { projects, data } }),
            "386c1acaaa2d6a6a" },
        { "writes needing approval", section({ .folders = { projects }, .approve = { "write" } }),
            "720d9a27088b6a8f" },
        { "home folders listed by label", section({ .folders = { music, data }, .homeAccess = "read" }),
            "1889db568f71cb00" },
        { "writable home folder alone",
            section({ .folders = { music, notes }, .homeAccess = "write", .approve = { "write" } }),
            "44d2829ff3899edb" },
        { "home access written without folders", section({ .homeAccess = "write" }), "e0be6f8723fa6a4c" },
        { "commands on, tools off", section({ .bash = true }), "ed6fa682451f5de8" },
        { "commands gated", section({ .bash = true, .approve = { "bash" } }), "54ab2c9601aa9b6f" },
        { "tools on without writable folders", section({ .bash = true, .cliTools = true }),
            "5863588bfacae3f5" },
        { "tool folders written from home, others whole",
            section({ .bash = true,
                .cliTools = true,
                .toolWrites = { "/home/u/.local/share", "/home/u", "/home/user2/.cache", "/opt/tools" } }),
            "95218ee44da03e2e" },
        { "secret folders found",
            section({ .bash = true, .secrets = { { "ssh", false, { "/home/u/.ssh" }, {} } } }),
            "977a86dcf32885f8" },
        { "secret not found", section({ .bash = true, .secrets = { { "aws", true, {}, {} } } }),
            "ba8cc06504d7feda" },
        { "secret files with commands on",
            section({ .bash = true, .secrets = { { "shell", false, {}, { "/home/u/.zshrc" } } } }),
            "fa54ec391c487b98" },
        { "secret files with commands off",
            section({ .secrets = { { "git-credentials", true, {}, { "/home/u/.netrc" } } } }),
            "81930e602cf18174" },
        { "secret id the catalogue lacks",
            section({ .bash = true, .secrets = { { "vault", false, { "/v" }, {} } } }), "a1820ae90796b51c" },
        { "memory empty", Prompts::memoryList({}), "e7bed6f5f3d04058" },
        { "memory entries and their empty parts",
            Prompts::memoryList({ JSON::object({ { "id", "m-0123abcd" }, { "text", "Likes tea" } }),
                JSON::object({ { "text", "No id" } }), JSON::object({ { "id", 7 }, { "text", JSON() } }),
                JSON("not an object") }),
            "a8940dfeb319dbb4" },
        { "bots without profile or others", Prompts::botsSection("b1", std::nullopt, {}),
            "6b41d7492eec4d7c" },
        { "bots as the main bot", Prompts::botsSection("b1", profile("Mika", "", "", true), {}),
            "9ba786e165b428d5" },
        { "bots with others, empty role as none", Prompts::botsSection("b1", profile("Mika", "", ""), others),
            "1ffd9eb042ab5c6d" },
        { "routines none", Prompts::routinesSection({}), "b784068a4d73768b" },
        { "routines in the given order",
            Prompts::routinesSection({ { "r2", "b1", "News", "Every day at 07:00", true },
                { "r1", "b2", "Plants", "Every 3 hours", false } }),
            "1c74ef5dd926e434" },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        expectPinned(check.text, check.digest);
    }
}

TEST(Prompts, PermissionsSectionReadsTheHomeFolderFromTheEnvironmentWithLinksResolved)
{
    test::TemporaryFolder folder;
    std::filesystem::create_directories(folder / "real/.local/share");
    std::filesystem::create_directory_symlink(folder / "real", folder / "link");
    ResolvedPermissions permissions { .bash = true,
        .cliTools = true,
        .toolWrites = { std::filesystem::canonical(folder / "real/.local/share") } };
    test::ScopedEnvironmentVariable home("HOME", (folder / "link").string());
    EXPECT_NE(
        Prompts::permissionsSection(permissions).find("read and write their own folders: ~/.local/share."),
        std::string::npos);
}
