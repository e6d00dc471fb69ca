#include "VellumarMacCore/Permissions/PermissionDecider.h"

#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/PathEscapes.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;
using Outcome = PermissionDecider::Outcome;

namespace {

const std::string kPlainReason = "Claude Code wants a confirmation for this file.";
const std::string kSettingsReason = "This is Claude Code's settings folder (.claude).";

// A writable folder F holding the work folder, and a read-only folder R beside it.
class PermissionDeciderTest : public ::testing::Test {
protected:
    Outcome decide(const fs::path& path, const std::string& tool = "Write") const
    {
        JSON input = JSON::object({ { "file_path", path.string() } });
        return PermissionDecider::decide(tool, &input, permissions, work);
    }

    static Outcome ask(const fs::path& path, const std::string& reason, const fs::path& scope = {},
        const std::string& tool = "Write")
    {
        return Outcome::ask({ .tool = tool,
            .path = path,
            .scope = scope.empty() ? path : scope,
            .canAlways = !scope.empty(),
            .reason = reason });
    }

    test::TemporaryFolder folder;
    fs::path root = resolvingSymlinks(folder.path());
    fs::path F = test::madeFolder(root / "F");
    fs::path work = test::madeFolder(F / "work");
    fs::path readOnly = test::madeFolder(root / "R");
    ResolvedPermissions permissions { .folders = { { .path = F, .writable = true }, { .path = readOnly } } };
};

}

TEST_F(PermissionDeciderTest, DecidesByWhereTheFileLands)
{
    fs::create_symlink("loop-b", work / "loop-a");
    fs::create_symlink("loop-a", work / "loop-b");
    test::touch(work / "profile");
    test::touch(root / "profile");
    fs::create_hard_link(root / "profile", work / "shared.txt");
    // Names of 99 letters, since the kernel takes no longer name; the limit counts characters.
    auto pathOf = [&](std::size_t characters) {
        std::string path = F.string() + "/";
        for (std::size_t count = path.size(); count < characters; ++count)
            path += (characters - count) % 100 == 0 ? "/" : "\xc3\xa9";
        return path;
    };
    struct Case {
        std::string name;
        fs::path path;
        std::string tool;
        Outcome expected;
    };
    const std::vector<Case> cases = {
        { "work-folder file", work / "a/notes.txt", "Write", Outcome::allowWorkspace(work / "a/notes.txt") },
        { "MultiEdit", work / "x.md", "MultiEdit", Outcome::allowWorkspace(work / "x.md") },
        { "another tool", work / "x.md", "Read", Outcome::deny() },
        { "the phone's uploads", work / "uploads/x.png", "Write", Outcome::deny() },
        { "uploads below the top", work / "a/uploads/x", "Write",
            Outcome::allowWorkspace(work / "a/uploads/x") },
        { "CLAUDE.md", work / "CLAUDE.md", "Write", Outcome::deny() },
        { "CLAUDE.local.md deeper", work / "a/CLAUDE.local.md", "Edit", Outcome::deny() },
        { ".claude deeper", work / "a/.claude/settings.json", "Write", Outcome::deny() },
        { "the work folder itself", work, "Write", ask(work, kPlainReason) },
        { "a file of the granted folder", F / "a.txt", "Edit", ask(F / "a.txt", kPlainReason, {}, "Edit") },
        { "git folder", F / ".git/config", "Write",
            ask(F / ".git/config", "This is Git's own folder (.git).") },
        { "settings folder", F / ".claude/settings.json", "Write",
            ask(F / ".claude/settings.json", kSettingsReason) },
        { "a file named like a subfolder", F / ".claude/agents", "Write",
            ask(F / ".claude/agents", kSettingsReason) },
        { "commands", F / "p/.claude/commands/go.md", "Write",
            ask(F / "p/.claude/commands/go.md",
                "This is where Claude Code keeps its commands (.claude/commands).",
                F / "p/.claude/commands") },
        { "the first hidden folder decides", F / ".cache/.git/x", "Write",
            ask(F / ".cache/.git/x", "This is a hidden folder (.cache).") },
        { "the granted folder itself", F, "Write", Outcome::deny() },
        { "read-only folder", readOnly / "a.txt", "Write", Outcome::deny() },
        { "outside every folder", root / "a.txt", "Write", Outcome::deny() },
        { "relative", "notes.txt", "Write", Outcome::deny() },
        { "line feed", work / "a\nb", "Write", Outcome::deny() },
        { "broken UTF-8", work / "a\xff", "Write", Outcome::deny() },
        { "4,096 characters", pathOf(4096), "Write", ask(pathOf(4096), kPlainReason) },
        { "4,097 characters", pathOf(4097), "Write", Outcome::deny() },
        { "below a file", work / "profile/x", "Write", Outcome::deny() },
        { "link loop", work / "loop-a", "Write", Outcome::deny() },
        { "dot-dot above the root", "/.." / work.relative_path() / "a.txt", "Write",
            Outcome::allowWorkspace(work / "a.txt") },
        { "a second hard link", work / "shared.txt", "Write", ask(work / "shared.txt", kPlainReason) },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decide(c.path, c.tool), c.expected);
    }
}

TEST_F(PermissionDeciderTest, RefusesInputsWithoutAPathText)
{
    JSON numberPath = JSON::object({ { "file_path", 7 } });
    EXPECT_EQ(PermissionDecider::decide("Write", nullptr, permissions, work), Outcome::deny());
    EXPECT_EQ(PermissionDecider::decide("Write", &numberPath, permissions, work), Outcome::deny());
}

TEST_F(PermissionDeciderTest, GatedWriteLeavesNoWritableFolder)
{
    permissions.approve = { "write" };
    EXPECT_EQ(decide(F / "a.txt"), Outcome::deny());
    EXPECT_EQ(decide(work / "a.txt"), Outcome::allowWorkspace(work / "a.txt"));
    permissions.granted = { "write" };
    EXPECT_EQ(decide(F / "a.txt"), ask(F / "a.txt", kPlainReason));
}

TEST_F(PermissionDeciderTest, AnEmptyOrRootPlaceCoversNothing)
{
    struct Case {
        std::string name;
        fs::path work;
        std::optional<fs::path> grant;
    };
    for (const auto& c : std::vector<Case> { { "empty work folder", "", std::nullopt },
             { "root as work folder", "/", std::nullopt }, { "empty grant", work, "" },
             { "root as grant", work, "/" } }) {
        SCOPED_TRACE(c.name);
        ResolvedPermissions broad;
        if (c.grant)
            broad.folders = { FolderGrant { .path = *c.grant, .writable = true } };
        JSON input = JSON::object({ { "file_path", (readOnly / "a.txt").string() } });
        EXPECT_EQ(PermissionDecider::decide("Write", &input, broad, c.work), Outcome::deny());
    }
}

TEST(PermissionDeciderEscapes, DecidesWhereTheKernelLandsTheWrite)
{
    test::TemporaryHome t;
    const fs::path work = test::madeFolder(t.data / "workspaces/c-1");
    const fs::path grant = t.home / "Projects";
    test::PathEscapes escapes(t.home, work, grant);
    ResolvedPermissions permissions { .folders = { { .path = grant, .writable = true } } };
    // In the order of PathEscape::Decision.
    const Outcome::Kind kinds[] = { Outcome::Kind::deny, Outcome::Kind::allowWorkspace, Outcome::Kind::ask };
    for (const auto& escape : escapes.cases) {
        SCOPED_TRACE(escape.name);
        JSON input = JSON::object({ { "file_path", escape.path.string() } });
        Outcome outcome = PermissionDecider::decide("Write", &input, permissions, work);
        EXPECT_EQ(outcome.kind, kinds[static_cast<int>(escape.decision)]);
        EXPECT_EQ(outcome.file, outcome.kind == Outcome::Kind::deny ? fs::path() : escape.lands);
        EXPECT_EQ(outcome.target ? outcome.target->path : outcome.file, outcome.file);
    }
}

TEST(PermissionDeciderRequest, ShowsTheQuestionAsThePhoneReadsIt)
{
    using Target = PermissionDecider::Target;
    using std::chrono::microseconds;
    Target skill { .tool = "MultiEdit",
        .path = "/Users/u/p/.claude/skills/x/SKILL.md",
        .scope = "/Users/u/p/.claude/skills",
        .canAlways = true,
        .reason = "R" };
    EXPECT_EQ(PermissionDecider::requestJSON(skill, "p-0123456789ab",
                  std::chrono::system_clock::time_point(microseconds(1'700'000'000'000'500)), "/Users/u")
                  .encoded(),
        "{\"action\":\"Change a file\",\"canAlways\":true,\"expiresAt\":1700000000001,\"path\":\"~/p/.claude/"
        "skills/x/SKILL.md\",\"reason\":\"R\",\"requestId\":\"p-0123456789ab\",\"scope\":\"~/p/.claude/"
        "skills\","
        "\"scopeIsFile\":false,\"tool\":\"Edit\"}");
    Target file { .tool = "Write", .path = "/tmp/x", .scope = "/tmp/x/", .reason = "R" };
    EXPECT_EQ(PermissionDecider::requestJSON(file, "p-000000000000",
                  std::chrono::system_clock::time_point(microseconds(1'499)), "/Users/u")
                  .encoded(),
        "{\"action\":\"Write a "
        "file\",\"canAlways\":false,\"expiresAt\":1,\"path\":\"/tmp/x\",\"reason\":\"R\","
        "\"requestId\":\"p-000000000000\",\"scope\":\"/tmp/x\",\"scopeIsFile\":true,\"tool\":\"Write\"}");
    EXPECT_EQ(std::vector<std::string_view>(permissionAnswers.begin(), permissionAnswers.end()),
        (std::vector<std::string_view> { "once", "conversation", "always", "deny" }));
}

TEST(PermissionRequestID, AcceptsOnlyTwelveLowercaseHexDigits)
{
    for (const auto& [text, valid] : std::vector<std::pair<std::string, bool>> { { "p-0123456789ab", true },
             { "p-0123456789AB", false }, { "p-0123456789ag", false }, { "p-0123456789a", false },
             { "p-0123456789abc", false }, { "q-0123456789ab", false } }) {
        SCOPED_TRACE(text);
        EXPECT_EQ(isPermissionRequestID(text), valid);
    }
}
