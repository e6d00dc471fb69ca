#include "VellumarMacCore/Permissions/ResolvedPermissions.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vellumar;

TEST(ResolvedPermissions, GatesWritesAndCommandsUntilGranted)
{
    const std::vector<FolderGrant> writable { { .path = "/p", .writable = true } };
    struct Case {
        const char* name;
        ResolvedPermissions permissions;
        bool writableAfter, bashGatedAfter;
    };
    for (const auto& c : std::vector<Case> {
             { "writes wait", { .folders = writable, .approve = { "write" } }, false, false },
             { "writes granted", { .folders = writable, .approve = { "write" }, .granted = { "write" } },
                 true, false },
             { "commands wait", { .folders = writable, .bash = true, .approve = { "bash" } }, true, true },
             { "commands granted", { .bash = true, .approve = { "bash" }, .granted = { "bash" } }, false,
                 false },
         }) {
        SCOPED_TRACE(c.name);
        ResolvedPermissions gated = c.permissions.applyingGates();
        EXPECT_EQ(std::ranges::any_of(gated.folders, &FolderGrant::writable), c.writableAfter);
        EXPECT_EQ(gated.bashGated, c.bashGatedAfter);
    }
    // The first grant of an item answers for it.
    ResolvedPermissions secrets { .secrets = { { "ssh", false, {}, {} }, { "ssh", true, {}, {} } } };
    EXPECT_EQ(secrets.secretMode("ssh"), "read");
}

TEST(IsClaudeSubfolderInWritableGrant, NeedsAClaudeSubfolderStrictlyInsideAWritableGrant)
{
    const std::vector<FolderGrant> grants { { .path = "/w/read" }, { .path = "/w/app", .writable = true } };
    EXPECT_TRUE(isClaudeSubfolderInWritableGrant("/w/app/x/.claude/agents", grants));
    for (const char* url : { "/w/app/.claude/hooks", "/w/read/.claude/skills", "/w/apple/.claude/skills" })
        EXPECT_FALSE(isClaudeSubfolderInWritableGrant(url, grants)) << url;
}
