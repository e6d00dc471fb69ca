#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"

#include <gtest/gtest.h>

using namespace vellumar;
using Strings = std::vector<std::string>;

// Every folder and secret folder is added, never a secret file; gated commands are still offered,
// as the settings file is what refuses them.
// Switched off, commands and the web are neither offered nor left to a question: Claude Code is
// told they do not exist.
TEST(ClaudeInvocation, ArgumentsWithNothingSwitchedOnAndAnApprovalServer)
{
    ResolvedPermissions permissions;
    permissions.web = false;
    permissions.bash = false;
    EXPECT_EQ(ClaudeInvocation::arguments(permissions, "/r/mcp.json"),
        (Strings { "--restricted", "--tools", "Read Glob Grep Write Edit", "--strict-mcp-config",
            "--permission-mode", "manual", "--mcp-config", "/r/mcp.json", "--permission-prompt-tool",
            "mcp__vellumar__approve", "--disallowedTools",
            "Bash PowerShell NotebookEdit Task Agent WebSearch WebFetch mcp__vellumar__approve",
            "--disable-slash-commands", "--system-prompt-snapshot", "off" }));
}

TEST(ClaudeInvocation, ArgumentsWithEverythingAndNoApprovalServer)
{
    ResolvedPermissions permissions;
    permissions.web = true;
    permissions.bash = true;
    permissions.approve = { "bash" };
    permissions.folders = { { "/p", false, "/p", false }, { "/p", true, "/p", false } };
    permissions.secrets = { { "claude", false, { "/h/.claude" }, { "/h/.claude.json" } },
        { "docker-kube", true, { "/h/.docker", "/h/.kube" }, {} } };
    EXPECT_EQ(ClaudeInvocation::fullArguments(permissions,
                  { .appendedSystemPrompt = "line one\nline two",
                      .settingsFile = "/s/settings.json",
                      .resumeSessionID = "abc-123-def",
                      .autoCompact = 150000 }),
        (Strings { "-p", "--output-format", "stream-json", "--verbose", "--restricted", "--tools",
            "WebSearch WebFetch Read Glob Grep Write Edit Bash", "--strict-mcp-config", "--permission-mode",
            "manual", "--permission-prompts", "none", "--disallowedTools",
            "PowerShell NotebookEdit Task Agent mcp__vellumar__approve", "--disable-slash-commands",
            "--system-prompt-snapshot", "off", "--add-dir", "/p", "--add-dir", "/p", "--add-dir",
            "/h/.claude", "--add-dir", "/h/.docker", "--add-dir", "/h/.kube", "--settings",
            "/s/settings.json", "--append-system-prompt", "line one\nline two", "--autocompact", "150000",
            "--resume", "abc-123-def" }));
}
