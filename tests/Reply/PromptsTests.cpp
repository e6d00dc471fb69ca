#include "VellumarMacCore/Reply/Prompts.h"

#include "tests/support/TestSupport.h"
#include "tests/support/TextPins.h"

#include <gtest/gtest.h>

#include <memory>

using namespace vellumar;

// The texts as written down for the bots, each group joined and pinned by the first digits of its
// SHA-256 digest; a failure shows the whole group.
TEST(Prompts, FixedBlocksAndSectionsAreExactWithTheirInsertedValues)
{
    std::unique_ptr<icu::TimeZone> berlin(icu::TimeZone::createTimeZone("Europe/Berlin"));
    std::unique_ptr<icu::TimeZone> tokyo(icu::TimeZone::createTimeZone("Asia/Tokyo"));
    FolderGrant projects { "/home/u/projects", true, "~/projects", false };
    FolderGrant data { "/srv/data", false, "/srv/data", false };
    FolderGrant music { "/home/u/Music", false, "~/Music", true };
    FolderGrant notes { "/home/u/notes", true, "~/notes", true };
    auto section = [](const ResolvedPermissions& permissions) {
        return Prompts::permissionsSection(permissions, "/home/u");
    };
    const std::pair<std::vector<std::string>, const char*> groups[] = {
        { { Prompts::systemPrompt("main", std::nullopt, Prompts::ActionsBlock::omitted, *berlin),
              Prompts::actionsSection("main-bot", *berlin), Prompts::summaryRequest(),
              Prompts::systemPrompt("helper-2", std::nullopt, Prompts::ActionsBlock::included, *tokyo) },
            "16470f47765506f0" },
        { { Prompts::intro(std::nullopt), Prompts::intro(BotProfile { "Mika", "", "", false }),
              Prompts::intro(BotProfile { "Mika", " Coach ", "Line one\n  \"quoted\"", false }),
              Prompts::networkLine({ .network = "local" }),
              Prompts::networkLine({ .network = "domains", .domains = { "example.com", "api.example.org" } }),
              Prompts::networkLine({ .network = "all" }), Prompts::networkLine({ .network = "Local" }) },
            "d5bee2aa24d3baca" },
        { { section({}), section({ .homeAccess = "read" }), section({ .folders = { projects, data } }),
              section({ .folders = { projects }, .approve = { "write" } }),
              section({ .folders = { music, data }, .homeAccess = "read" }),
              section({ .folders = { music, notes }, .homeAccess = "write", .approve = { "write" } }),
              section({ .homeAccess = "write" }), section({ .bash = true }),
              section({ .bash = true, .approve = { "bash" } }), section({ .bash = true, .cliTools = true }),
              // Tool folders below the home folder are written from it, others whole.
              section({ .bash = true,
                  .cliTools = true,
                  .toolWrites = { "/home/u/.local/share", "/home/u", "/home/user2/.cache", "/opt/tools" } }),
              section({ .bash = true, .secrets = { { "ssh", false, { "/home/u/.ssh" }, {} } } }),
              section({ .bash = true, .secrets = { { "aws", true, {}, {} } } }),
              section({ .bash = true, .secrets = { { "shell", false, {}, { "/home/u/.zshrc" } } } }),
              section({ .secrets = { { "git-credentials", true, {}, { "/home/u/.netrc" } } } }),
              section({ .bash = true, .secrets = { { "vault", false, { "/v" }, {} } } }) },
            "8ab95c63854bea19" },
        { { Prompts::memoryList({}),
              Prompts::memoryList({ JSON::object({ { "id", "m-0123abcd" }, { "text", "Likes tea" } }),
                  JSON::object({ { "text", "No id" } }), JSON::object({ { "id", 7 }, { "text", JSON() } }),
                  JSON("not an object") }),
              Prompts::botsSection("b1", std::nullopt, {}),
              Prompts::botsSection("b1", BotProfile { "Mika", "", "", true }, {}),
              Prompts::botsSection("b1", BotProfile { "Mika", "", "", false },
                  { { "b2", "Ana", "Cook" }, { "b3", "Ben", "" } }),
              Prompts::routinesSection({}),
              Prompts::routinesSection({ { "r2", "b1", "News", "Every day at 07:00", true },
                  { "r1", "b2", "Plants", "Every 3 hours", false } }) },
            "9fccd8729f430b35" },
    };
    for (const auto& [texts, digest] : groups) {
        std::string joined;
        for (const auto& text : texts)
            joined += text + "\n---\n";
        test::expectPinned(joined, digest);
    }
}
