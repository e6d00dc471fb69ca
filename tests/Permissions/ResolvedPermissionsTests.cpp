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
    for (const auto& c : std::vector<Case> {
             { "writes wait", { .folders = writable, .approve = { "write" } }, true, false, false },
             { "writes granted", { .folders = writable, .approve = { "write" }, .granted = { "write" } },
                 false, true, false },
             { "nothing writable to wait for", { .folders = { { .path = "/q" } }, .approve = { "write" } },
                 false, false, false },
             { "commands wait", { .folders = writable, .bash = true, .approve = { "bash" } }, false, true,
                 true },
             { "commands granted", { .bash = true, .approve = { "bash" }, .granted = { "bash" } }, false,
                 false, false },
             { "commands off", { .approve = { "bash" } }, false, false, false },
             { "already gated", { .bashGated = true }, false, false, true },
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.permissions.isGated("write"), c.writeGated);
        ResolvedPermissions gated = c.permissions.applyingGates();
        EXPECT_EQ(std::ranges::any_of(gated.folders, &FolderGrant::writable), c.writableAfter);
        EXPECT_EQ(gated.bashGated, c.bashGatedAfter);
        EXPECT_EQ(gated.bash, c.permissions.bash);
    }
    ResolvedPermissions secrets { .secrets
        = { { "ssh", false, {}, {} }, { "ssh", true, {}, {} }, { "aws", true, {}, {} } } };
    // The first grant of an item answers for it.
    EXPECT_EQ(secrets.secretMode("ssh"), "read");
    EXPECT_EQ(secrets.secretMode("aws"), "write");
    EXPECT_EQ(secrets.secretMode("gnupg"), std::nullopt);
}

TEST(IsClaudeSubfolderInWritableGrant, NeedsAClaudeSubfolderStrictlyInsideAWritableGrant)
{
    const std::vector<FolderGrant> grants { { .path = "/w/read" }, { .path = "/w/app", .writable = true } };
    for (const char* url :
        { "/w/app/.claude/commands/", "/w/app/x/.claude/agents", "/w/app/sub/.claude/skills" })
        EXPECT_TRUE(isClaudeSubfolderInWritableGrant(url, grants)) << url;
    for (const char* url : { "/w/app/.claude", "/w/app/.claude/hooks", "/w/read/.claude/skills",
             "/w/apple/.claude/skills", "/w/app/claude/skills" })
        EXPECT_FALSE(isClaudeSubfolderInWritableGrant(url, grants)) << url;
    // The granted folder itself is not strictly inside itself.
    EXPECT_FALSE(isClaudeSubfolderInWritableGrant(
        "/x/.claude/skills", { { .path = "/x/.claude/skills", .writable = true } }));
}
