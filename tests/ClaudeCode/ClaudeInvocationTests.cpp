#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vellumar;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

TEST(ClaudeInvocation, ArgumentsWithNothingAllowedAndAnApprovalServer)
{
    Strings expected = { "--restricted", "--tools", "Read Glob Grep Write Edit", "--strict-mcp-config",
        "--permission-mode", "manual", "--mcp-config", "/tmp/mcp.json", "--permission-prompt-tool",
        "mcp__vellumar__approve", "--disallowedTools",
        "Bash PowerShell NotebookEdit Task Agent WebSearch WebFetch mcp__vellumar__approve",
        "--disable-slash-commands", "--system-prompt-snapshot", "off" };
    EXPECT_EQ(ClaudeInvocation::arguments(ResolvedPermissions {}, "/tmp/mcp.json"), expected);
}

TEST(ClaudeInvocation, ArgumentsWithWebAndCommandsAndNoApprovalServer)
{
    ResolvedPermissions permissions;
    permissions.web = true;
    permissions.bash = true;
    auto list = ClaudeInvocation::arguments(permissions, std::nullopt);
    ASSERT_GE(list.size(), 12u);
    EXPECT_EQ(list[2], "WebSearch WebFetch Read Glob Grep Write Edit Bash");
    EXPECT_EQ(Strings(list.begin() + 6, list.begin() + 10),
        (Strings { "--permission-prompts", "none", "--disallowedTools",
            "PowerShell NotebookEdit Task Agent mcp__vellumar__approve" }));
}

TEST(ClaudeInvocation, AddDirForEveryFolderAndSecretFolderButNeverSecretFiles)
{
    ResolvedPermissions permissions;
    permissions.folders = { { "/p", false, "/p", false }, { "/p", true, "/p", false } };
    permissions.secrets = { { "claude", false, { "/h/.claude" }, { "/h/.claude.json" } },
        { "docker-kube", true, { "/h/.docker", "/h/.kube" }, {} } };
    auto list = ClaudeInvocation::arguments(permissions, std::nullopt);
    Strings tail(list.end() - 10, list.end());
    EXPECT_EQ(tail,
        (Strings { "--add-dir", "/p", "--add-dir", "/p", "--add-dir", "/h/.claude", "--add-dir", "/h/.docker",
            "--add-dir", "/h/.kube" }));
    EXPECT_EQ(std::count(list.begin(), list.end(), "--add-dir"), 5);
    EXPECT_EQ(std::find(list.begin(), list.end(), "/h/.claude.json"), list.end());
}

TEST(ClaudeInvocation, FullArgumentsKeepTheirOrderAndApplyTheGates)
{
    ResolvedPermissions permissions;
    permissions.bash = true;
    permissions.approve = { "bash" };
    permissions.folders = { { "/w", true, "/w", false } };
    auto list = ClaudeInvocation::fullArguments(permissions,
        { .appendedSystemPrompt = "line one\nline two",
            .settingsFile = fs::path("/s/settings.json"),
            .mcpConfigPath = "/m.json",
            .resumeSessionID = "abc-123-def",
            .autoCompact = 150000 });
    Strings head(list.begin(), list.begin() + 4);
    EXPECT_EQ(head, ClaudeInvocation::leadArguments());
    // Gated commands are still offered; the settings file is what refuses them.
    EXPECT_EQ(list[6], "Read Glob Grep Write Edit Bash");
    Strings tail(list.end() - 8, list.end());
    EXPECT_EQ(tail,
        (Strings { "--settings", "/s/settings.json", "--append-system-prompt", "line one\nline two",
            "--autocompact", "150000", "--resume", "abc-123-def" }));

    auto bare = ClaudeInvocation::fullArguments(ResolvedPermissions {}, { .appendedSystemPrompt = "p" });
    EXPECT_EQ(Strings(bare.end() - 2, bare.end()), (Strings { "--append-system-prompt", "p" }));
}
