#include "VellumarMacCore/Permissions/ResolvedPermissions.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vellumar;

TEST(ResolvedPermissions, GatesWritesAndCommandsUntilGranted)
{
    const std::vector<FolderGrant> writable { { .path = "/p", .writable = true },
        { .path = "/q", .writable = true } };
    struct Case {
        const char* name;
        ResolvedPermissions permissions;
        bool writeGated, writableAfter, bashGatedAfter;
    };
    const Case cases[] = {
        { "writes wait", { .folders = writable, .approve = { "write" } }, true, false, false },
        { "writes granted", { .folders = writable, .approve = { "write" }, .granted = { "write" } }, false,
            true, false },
        { "nothing writable to wait for", { .folders = { { .path = "/q" } }, .approve = { "write" } }, false,
            false, false },
        { "commands wait", { .folders = writable, .bash = true, .approve = { "bash" } }, false, true, true },
        { "commands granted", { .bash = true, .approve = { "bash" }, .granted = { "bash" } }, false, false,
            false },
        { "commands off", { .approve = { "bash" } }, false, false, false },
        { "already gated", { .bashGated = true }, false, false, true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.permissions.isGated("write"), c.writeGated);
        ResolvedPermissions gated = c.permissions.applyingGates();
        EXPECT_EQ(std::any_of(
                      gated.folders.begin(), gated.folders.end(), [](auto& grant) { return grant.writable; }),
            c.writableAfter);
        EXPECT_EQ(gated.bashGated, c.bashGatedAfter);
        EXPECT_EQ(gated.bash, c.permissions.bash);
    }
}

TEST(ResolvedPermissions, SecretModeAnswersForTheFirstGrantOfTheItem)
{
    ResolvedPermissions permissions { .secrets
        = { { "ssh", false, {}, {} }, { "ssh", true, {}, {} }, { "aws", true, {}, {} } } };
    EXPECT_EQ(permissions.secretMode("ssh"), "read");
    EXPECT_EQ(permissions.secretMode("aws"), "write");
    EXPECT_EQ(permissions.secretMode("gnupg"), std::nullopt);
}

TEST(IsClaudeSubfolderInWritableGrant, NeedsAClaudeSubfolderStrictlyInsideAWritableGrant)
{
    const std::vector<FolderGrant> grants { { .path = "/w/read" }, { .path = "/w/app", .writable = true } };
    struct Case {
        const char* url;
        bool expected;
    };
    for (const auto& c :
        { Case { "/w/app/.claude/commands/", true }, Case { "/w/app/x/.claude/agents", true },
            Case { "/w/app/.claude", false }, Case { "/w/app/.claude/hooks", false },
            Case { "/w/read/.claude/skills", false }, Case { "/w/apple/.claude/skills", false },
            Case { "/w/app/sub/.claude/skills", true }, Case { "/w/app/claude/skills", false } }) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(isClaudeSubfolderInWritableGrant(c.url, grants), c.expected);
    }
    // The granted folder itself is not strictly inside itself.
    EXPECT_FALSE(isClaudeSubfolderInWritableGrant(
        "/x/.claude/skills", { { .path = "/x/.claude/skills", .writable = true } }));
}
