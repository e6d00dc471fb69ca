#include "VellumarMacCore/Permissions/PermissionDecider.h"

#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/PathEscapes.h"

#include <gtest/gtest.h>

#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;
using Outcome = PermissionDecider::Outcome;

namespace {

const std::string kPlain = "Claude Code wants a confirmation for this file.";

Outcome ask(const fs::path& path, const std::string& reason, const std::string& tool = "Write",
    const fs::path& scope = {})
{
    return Outcome::ask({ .tool = tool,
        .path = path,
        .scope = scope.empty() ? path : scope,
        .canAlways = !scope.empty(),
        .reason = reason });
}

Outcome decide(const fs::path& path, const ResolvedPermissions& permissions, const fs::path& work,
    const std::string& tool = "Write")
{
    JSON input = JSON::object({ { "file_path", path.string() } });
    return PermissionDecider::decide(tool, &input, permissions, work);
}

// A writable folder F holding the work folder, and a read-only folder R beside it.
class PermissionDeciderTest : public ::testing::Test {
protected:
    test::TemporaryFolder folder;
    fs::path root = resolvingSymlinks(folder.path()).value();
    fs::path F = test::madeFolder(root / "F");
    fs::path work = test::madeFolder(F / "work");
    fs::path readOnly = test::madeFolder(root / "R");
    ResolvedPermissions permissions { .folders = { { .path = F, .writable = true }, { .path = readOnly } } };
};

}

TEST_F(PermissionDeciderTest, DecidesByWhereTheFileLands)
{
    // Names of 99 letters, since the kernel takes no longer name; the limit counts characters.
    auto pathOf = [&](std::size_t characters) {
        std::string path = F.string() + "/";
        for (std::size_t count = path.size(); count < characters; ++count)
            path += (characters - count) % 100 == 0 ? "/" : "\xc3\xa9";
        return path;
    };
    const Outcome deny = Outcome::deny();
    struct Case {
        fs::path path;
        Outcome expected;
        std::string tool = "Write";
    };
    for (const auto& c : std::vector<Case> {
             { work / "a/notes.txt", Outcome::allowWorkspace(work / "a/notes.txt") },
             { work / "uploads/x.png", deny },
             { work / "a/.claude/settings.json", deny },
             { F / "a.txt", ask(F / "a.txt", kPlain, "Edit"), "Edit" },
             { F / ".git/config", ask(F / ".git/config", "This is Git's own folder (.git).") },
             { F / "p/.claude/commands/go.md",
                 ask(F / "p/.claude/commands/go.md",
                     "This is where Claude Code keeps its commands (.claude/commands).", "Write",
                     F / "p/.claude/commands") },
             { readOnly / "a.txt", deny },
             { "notes.txt", deny },
             { work / "a\nb", deny },
             { pathOf(4096), ask(pathOf(4096), kPlain) },
             { pathOf(4097), deny },
         }) {
        SCOPED_TRACE(c.path.string().substr(0, 200) + " " + c.tool);
        EXPECT_EQ(decide(c.path, permissions, work, c.tool), c.expected);
    }
    EXPECT_EQ(PermissionDecider::decide("Write", nullptr, permissions, work), deny);
}

TEST_F(PermissionDeciderTest, GatedWriteLeavesNoWritableFolder)
{
    permissions.approve = { "write" };
    EXPECT_EQ(decide(F / "a.txt", permissions, work), Outcome::deny());
    EXPECT_EQ(decide(work / "a.txt", permissions, work), Outcome::allowWorkspace(work / "a.txt"));
    permissions.granted = { "write" };
    EXPECT_EQ(decide(F / "a.txt", permissions, work), ask(F / "a.txt", kPlain));
}

TEST_F(PermissionDeciderTest, AnEmptyOrRootPlaceCoversNothing)
{
    ResolvedPermissions broad { .folders = { { .path = "/", .writable = true } } };
    EXPECT_EQ(decide(readOnly / "a.txt", broad, "/"), Outcome::deny());
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
        Outcome outcome = decide(escape.path, permissions, work);
        EXPECT_EQ(outcome.kind, kinds[static_cast<int>(escape.decision)]);
        EXPECT_EQ(outcome.file, outcome.kind == Outcome::Kind::deny ? fs::path() : escape.lands);
        EXPECT_EQ(outcome.target ? outcome.target->path : outcome.file, outcome.file);
    }
}

TEST(PermissionDeciderRequest, ShowsTheQuestionAsThePhoneReadsIt)
{
    using std::chrono::microseconds, std::chrono::system_clock;
    const PermissionDecider::Target skill { .tool = "MultiEdit",
        .path = "/Users/u/p/.claude/skills/x/SKILL.md",
        .scope = "/Users/u/p/.claude/skills",
        .canAlways = true,
        .reason = "R" };
    EXPECT_EQ(PermissionDecider::requestJSON(skill, "p-0123456789ab",
                  system_clock::time_point(microseconds(1'700'000'000'000'500)), "/Users/u")
                  .encoded(),
        "{\"action\":\"Change a file\",\"canAlways\":true,\"expiresAt\":1700000000001,\"path\":\"~/p/.claude/"
        "skills/x/SKILL.md\",\"reason\":\"R\",\"requestId\":\"p-0123456789ab\",\"scope\":\"~/p/.claude/"
        "skills\","
        "\"scopeIsFile\":false,\"tool\":\"Edit\"}");
}

TEST(PermissionRequestID, AcceptsOnlyTwelveLowercaseHexDigits)
{
    EXPECT_TRUE(isPermissionRequestID("p-0123456789ab"));
    for (const char* text : { "p-0123456789AB", "p-0123456789a", "p-0123456789abc", "q-0123456789ab" })
        EXPECT_FALSE(isPermissionRequestID(text)) << text;
}
