#include "VellumarMacCore/Reply/Prompts.h"

#include "Platform/Crypto.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

using namespace vellumar;

namespace {

std::unique_ptr<icu::TimeZone> berlin()
{
    return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone("Europe/Berlin"));
}

std::string sha256Hex(std::string_view text)
{
    std::string hex;
    for (auto byte : platform::sha256(text)) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
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

bool contains(const std::string& text, std::string_view piece)
{
    return text.find(piece) != std::string::npos;
}

BotProfile profile(std::string name, std::string role, std::string persona, bool primary = false)
{
    return BotProfile { std::move(name), std::move(role), std::move(persona), primary };
}

// The permissions of a bot with everything off.
ResolvedPermissions closed() { return ResolvedPermissions {}; }

std::vector<std::string> lines(const std::string& text) { return split(text, "\n"); }

}

// The fixed blocks are compared by size and SHA-256 of the texts as written down for the bots, so that
// a changed character anywhere shows up without keeping a second copy of the text here.
TEST(Prompts, FixedBlocksAreExactToTheCharacter)
{
    auto zone = berlin();
    auto blocks
        = split(Prompts::systemPrompt("main", std::nullopt, Prompts::ActionsBlock::omitted, *zone), "\n\n");
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
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        EXPECT_EQ(check.text.size(), check.bytes);
        EXPECT_EQ(sha256Hex(check.text), check.digest);
    }
    EXPECT_TRUE(blocks[1].starts_with("[How to reply]\n"));
    EXPECT_TRUE(blocks[2].starts_with("[Tools and permissions]\n"));
    EXPECT_TRUE(blocks[3].starts_with("[Memory]\n"));
}

TEST(Prompts, SystemPromptAddsTheActionsBlockOnlyWhenIncluded)
{
    auto zone = berlin();
    auto without = Prompts::systemPrompt("helper-2", std::nullopt, Prompts::ActionsBlock::omitted, *zone);
    auto with = Prompts::systemPrompt("helper-2", std::nullopt, Prompts::ActionsBlock::included, *zone);

    EXPECT_EQ(split(without, "\n\n").size(), 4u);
    auto blocks = split(with, "\n\n");
    ASSERT_EQ(blocks.size(), 5u);
    EXPECT_TRUE(blocks[4].starts_with("[Actions]\n"));
    EXPECT_EQ(with, without + "\n\n" + blocks[4]);
    EXPECT_TRUE(contains(blocks[4], "Never ask yourself (id: helper-2)."));
    EXPECT_TRUE(contains(blocks[4], "(botId: helper-2); the main bot"));
    EXPECT_TRUE(contains(blocks[4], "Times are in the Mac's time zone (Europe/Berlin)."));
}

TEST(Prompts, ActionsSectionIsExactWithItsInsertedValues)
{
    auto zone = berlin();
    auto text = Prompts::actionsSection("main-bot", *zone);
    EXPECT_EQ(text.size(), 3421u);
    EXPECT_EQ(sha256Hex(text), "c50bd2ea01ebe8d34a7317c76507388325a950876c65a049176238a2022c8202");

    std::unique_ptr<icu::TimeZone> tokyo(icu::TimeZone::createTimeZone("Asia/Tokyo"));
    EXPECT_TRUE(contains(Prompts::actionsSection("x", *tokyo), "time zone (Asia/Tokyo)."));
}

TEST(Prompts, IntroNamesTheBotAndAddsOnlyWhatItsProfileHas)
{
    const std::string first
        = "You are \"Assistant\", a chat bot in the Vellumar app on the user's iPhone. The "
          "user's messages reach you through Vellumar for Mac, which runs Claude Code on the "
          "user's own Mac.";
    struct Case {
        const char* name;
        std::optional<BotProfile> bot;
        std::string expected;
    } cases[] = {
        { "no profile", std::nullopt, first },
        { "empty role and persona", profile("Mika", "", ""),
            "You are \"Mika\"" + first.substr(std::string("You are \"Assistant\"").size()) },
        { "empty name stays empty", profile("", "", ""),
            "You are \"\"" + first.substr(std::string("You are \"Assistant\"").size()) },
        { "role and persona inserted as given", profile("Mika", " Coach ", "Line one\n  \"quoted\""),
            "You are \"Mika\"" + first.substr(std::string("You are \"Assistant\"").size())
                + "\nYour role:  Coach .\nThe user described your character as follows. Follow it for tone "
                  "and "
                  "personality, but it never overrides the rules below:\n<persona>\nLine one\n  \"quoted\"\n"
                  "</persona>" },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        EXPECT_EQ(Prompts::intro(check.bot), check.expected);
    }
}

TEST(Prompts, NetworkLineFollowsTheModeExactly)
{
    struct Case {
        const char* name;
        std::string mode;
        std::vector<std::string> domains;
        std::string expected;
    } cases[] = {
        { "local", "local", {},
            "Network for commands: this Mac only (services on 127.0.0.1 / localhost); nothing outside (use "
            "WebSearch / WebFetch for the web)." },
        { "domains", "domains", { "example.com", "api.example.org" },
            "Network for commands: only example.com, api.example.org (with tools that follow the proxy "
            "settings, "
            "such as curl); not this Mac's services and no other sites." },
        { "empty domain list", "domains", {},
            "Network for commands: only  (with tools that follow the proxy settings, such as curl); not this "
            "Mac's services and no other sites." },
        { "all", "all", {},
            "Network for commands: everything, including this Mac's services. Never send the contents of the "
            "work folder or the allowed folders anywhere." },
        { "none", "none", {},
            "Network for commands: none (no internet and no services on this Mac). The bot settings can "
            "change "
            "this." },
        { "unknown mode", "everything", {},
            "Network for commands: none (no internet and no services on this Mac). The bot settings can "
            "change "
            "this." },
        { "case matters", "Local", {},
            "Network for commands: none (no internet and no services on this Mac). The bot settings can "
            "change "
            "this." },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        auto permissions = closed();
        permissions.network = check.mode;
        permissions.domains = check.domains;
        EXPECT_EQ(Prompts::networkLine(permissions), check.expected);
    }
}

TEST(Prompts, PermissionsSectionWithEverythingOff)
{
    EXPECT_EQ(Prompts::permissionsSection(closed(), "/home/u"),
        "[Permissions]\n"
        "- Web search and fetching pages: off for this bot. If asked to look something up, say it can be "
        "turned "
        "on in the bot settings.\n"
        "- Mac folders: none besides the work folder. If asked to work with files on the Mac, say the "
        "folders "
        "can be allowed under \"Mac folders\" in the bot settings.\n"
        "- Commands (Bash): off for this bot. If a command is needed, say it can be turned on in the bot "
        "settings.\n"
        "- Protected places (keys and credentials such as ~/.ssh and ~/.aws, and Vellumar's own data) cannot "
        "be "
        "used. They can be opened one by one under \"Protected places\" in the bot settings.");
}

TEST(Prompts, PermissionsSectionFolderLines)
{
    const std::string notListed = "  Folders not listed are not allowed; they can be added under \"Mac "
                                  "folders\" in the bot settings.";
    const std::string claudeAndGit
        = "  Inside \"read and write\" folders, Write / Edit in .claude (Claude Code's "
          "settings and skills) or .git asks the user in the app and waits. Just use "
          "Write / Edit when needed. If refused or not answered in time, do not work "
          "around it; say briefly what you wanted to do and why, and end the reply.";
    const std::string approval
        = "  Writing to these folders (Write / Edit or commands) needs the user's "
          "approval. When needed, just try it (without approval it does not run, and the "
          "app shows the user an approval card). If refused, say briefly what you wanted "
          "to do and why, and end the reply. Once approved you get [Notice: approved] and "
          "may do it during that one reply.";
    auto homeLine = [](const std::string& access, const std::string& hidden) {
        return "  - The home folder (~): " + access
            + ", as the folders right inside it except the ones macOS protects (Documents, Desktop, "
              "Downloads, "
              "Library, Pictures and similar) and hidden ones: "
            + hidden + ". Files directly in ~ cannot be used.";
    };
    FolderGrant projects { "/home/u/projects", true, "~/projects", false };
    FolderGrant data { "/srv/data", false, "/srv/data", false };
    FolderGrant music { "/home/u/Music", false, "~/Music", true };
    FolderGrant notes { "/home/u/notes", true, "~/notes", true };

    struct Case {
        const char* name;
        std::vector<FolderGrant> folders;
        std::optional<std::string> homeAccess;
        std::set<std::string> approve;
        std::vector<std::string> expected; // the folder lines, after the web line
    } cases[] = {
        { "home access only shows (none)", {}, "read", {},
            { "- Mac folders you may use:", homeLine("read only", "(none)"), notListed } },
        { "listed folders, read and write and read only", { projects, data }, std::nullopt, {},
            { "- Mac folders you may use:", "  - ~/projects (/home/u/projects): read and write",
                "  - /srv/data (/srv/data): read only", notListed, claudeAndGit } },
        { "writes needing approval", { projects }, std::nullopt, { "write" },
            { "- Mac folders you may use:",
                "  - ~/projects (/home/u/projects): read and write (writing needs the user's approval)",
                notListed, approval, claudeAndGit } },
        { "home folders listed by label, not as lines", { music, data }, "read", {},
            { "- Mac folders you may use:", "  - /srv/data (/srv/data): read only",
                homeLine("read only", "~/Music"), notListed } },
        { "writable home folder alone still warns about .claude and .git", { music, notes }, "write",
            { "write" },
            { "- Mac folders you may use:",
                homeLine("read and write (writing needs the user's approval)", "~/Music, ~/notes"), notListed,
                approval, claudeAndGit } },
        { "home access present but empty of folders when written", {}, "write", {},
            { "- Mac folders you may use:", homeLine("read and write", "(none)"), notListed } },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        auto permissions = closed();
        permissions.folders = check.folders;
        permissions.homeAccess = check.homeAccess;
        permissions.approve = check.approve;
        auto all = lines(Prompts::permissionsSection(permissions, "/home/u"));
        ASSERT_GE(all.size(), 2 + check.expected.size());
        std::vector<std::string> folderLines(
            all.begin() + 2, all.begin() + 2 + static_cast<long>(check.expected.size()));
        EXPECT_EQ(folderLines, check.expected);
        EXPECT_TRUE(all[2 + check.expected.size()].starts_with("- Commands (Bash): "));
    }
}

TEST(Prompts, PermissionsSectionCommandLines)
{
    const std::string gatedTail
        = " When needed, just try it (without approval it does not run, and the app shows "
          "the user an approval card). If refused, say briefly what you wanted to do and "
          "why, and end the reply. Once approved you get [Notice: approved] and may do it "
          "during that one reply.";
    const std::string toolsOff
        = "- Mac command-line tools: off. Commands cannot see tools installed inside the "
          "home folder (such as ~/.local/bin or ~/.bun/bin), so they may look missing even "
          "when installed. If one is needed, do not install it again; say \"Mac "
          "command-line tools\" can be turned on in the bot settings.";
    const std::string toolsOn
        = "- Mac command-line tools: on. Commands can run tools installed in the home folder "
          "that are on PATH (such as ~/.local/bin)";
    auto none = Prompts::networkLine(closed());
    struct Case {
        const char* name;
        bool bash;
        std::set<std::string> approve;
        bool cliTools;
        std::vector<std::filesystem::path> toolWrites;
        std::vector<std::string> expected;
    } cases[] = {
        { "commands off hide the tools line", false, {}, true, {},
            { "- Commands (Bash): off for this bot. If a command is needed, say it can be turned on in the "
              "bot "
              "settings." } },
        { "commands on, tools off", true, {}, false, {}, { "- Commands (Bash): on. " + none, toolsOff } },
        { "commands gated", true, { "bash" }, false, {},
            { "- Commands (Bash): need the user's approval. " + none + gatedTail, toolsOff } },
        { "tools on without writable folders", true, {}, true, {},
            { "- Commands (Bash): on. " + none, toolsOn + ". Other hidden folders in ~ stay closed." } },
        { "tool folders written from home, others whole", true, {}, true,
            { "/home/u/.local/share", "/home/u", "/home/user2/.cache", "/opt/tools" },
            { "- Commands (Bash): on. " + none,
                toolsOn
                    + ", and read and write their own folders: ~/.local/share, /home/u, /home/user2/.cache, "
                      "/opt/tools. Other hidden folders in ~ stay closed." } },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        auto permissions = closed();
        permissions.bash = check.bash;
        permissions.approve = check.approve;
        permissions.cliTools = check.cliTools;
        permissions.toolWrites = check.toolWrites;
        auto all = lines(Prompts::permissionsSection(permissions, "/home/u"));
        ASSERT_EQ(all.size(), 3 + check.expected.size() + 1);
        EXPECT_EQ(std::vector<std::string>(all.begin() + 3, all.end() - 1), check.expected);
    }
}

TEST(Prompts, PermissionsSectionReadsTheHomeFolderFromTheEnvironmentWithLinksResolved)
{
    test::TemporaryFolder folder;
    std::filesystem::create_directories(folder / "real/.local/share");
    std::filesystem::create_directory_symlink(folder / "real", folder / "link");
    auto permissions = closed();
    permissions.bash = true;
    permissions.cliTools = true;
    permissions.toolWrites = { std::filesystem::canonical(folder / "real/.local/share") };

    test::ScopedEnvironmentVariable home("HOME", (folder / "link").string());
    EXPECT_TRUE(contains(
        Prompts::permissionsSection(permissions), "read and write their own folders: ~/.local/share."));
}

TEST(Prompts, PermissionsSectionProtectedPlaces)
{
    struct Case {
        const char* name;
        bool bash;
        SecretGrant grant;
        std::string expected;
    } cases[] = {
        { "folders found", true, { "ssh", false, { "/home/u/.ssh" }, {} },
            "  - SSH keys (~/.ssh): read only" },
        { "nothing found", true, { "aws", true, {}, {} },
            "  - AWS credentials (~/.aws): read and write (not found on this Mac)" },
        { "files only with commands on", true, { "shell", false, {}, { "/home/u/.zshrc" } },
            "  - Shell settings and history (~/.zshrc and others): read only. These are files, usable only "
            "with "
            "commands; attach_file works." },
        { "files only with commands off", false, { "git-credentials", true, {}, { "/home/u/.netrc" } },
            "  - Git and other passwords (~/.netrc, ~/.git-credentials, ~/.gitconfig): read and write. These "
            "are "
            "files, usable only with commands (commands are off now); attach_file works." },
        { "an id the catalogue lacks is shown as itself", true, { "vault", false, { "/v" }, {} },
            "  - vault: read only" },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        auto permissions = closed();
        permissions.bash = check.bash;
        permissions.secrets = { check.grant };
        auto all = lines(Prompts::permissionsSection(permissions, "/home/u"));
        ASSERT_GE(all.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(all.end() - 3, all.end()),
            (std::vector<std::string> { "- Protected places the user opened:", check.expected,
                "  Other protected places cannot be used." }));
    }
}

TEST(Prompts, MemoryListWritesEachEntryOrItsEmptyParts)
{
    EXPECT_EQ(Prompts::memoryList({}),
        "[Memory] (what you remember; the user may edit it in the app)\n- (nothing yet)");
    auto entries = std::vector<JSON> {
        JSON::object({ { "id", "m-0123abcd" }, { "text", "Likes tea" } }),
        JSON::object({ { "text", "No id" } }),
        JSON::object({ { "id", 7 }, { "text", JSON() } }),
        JSON("not an object"),
    };
    EXPECT_EQ(Prompts::memoryList(entries),
        "[Memory] (what you remember; the user may edit it in the app)\n"
        "- m-0123abcd: Likes tea\n"
        "- : No id\n"
        "- : \n"
        "- : ");
}

TEST(Prompts, BotsSectionTellsWhetherTheBotIsTheMainOne)
{
    const std::string main
        = "- You (id: b1) are the main bot: you may propose creating, changing and deleting "
          "bots, and settings and routines for any bot.";
    const std::string notMain
        = "- You (id: b1) are not the main bot: you may propose only your own settings and routines.";
    std::vector<OtherBot> others { { "b2", "Ana", "Cook" }, { "b3", "Ben", "" } };
    struct Case {
        const char* name;
        std::optional<BotProfile> bot;
        std::vector<OtherBot> others;
        std::string expected;
    } cases[] = {
        { "no profile, no others", std::nullopt, {}, "[Bots]\n" + notMain + "\n- (no other bots)" },
        { "primary profile", profile("Mika", "", "", true), {}, "[Bots]\n" + main + "\n- (no other bots)" },
        { "other bots, empty role shows none", profile("Mika", "", "", false), others,
            "[Bots]\n" + notMain
                + "\n- Other bots (id / name / role):\n  - b2 / Ana / Cook\n  - b3 / Ben / none" },
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.name);
        EXPECT_EQ(Prompts::botsSection("b1", check.bot, check.others), check.expected);
    }
}

TEST(Prompts, RoutinesSectionListsRoutinesInTheGivenOrder)
{
    EXPECT_EQ(Prompts::routinesSection({}), "[Routines]\n- (no routines)");
    std::vector<RoutineSummary> routines { { "r2", "b1", "News", "Every day at 07:00", true },
        { "r1", "b2", "Plants", "Every 3 hours", false } };
    EXPECT_EQ(Prompts::routinesSection(routines),
        "[Routines]\n- Current routines (id / bot / name / schedule / on or off):\n"
        "  - r2 / b1 / News / Every day at 07:00 / on\n"
        "  - r1 / b2 / Plants / Every 3 hours / off");
}
