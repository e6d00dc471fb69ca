#include "VellumarMacCore/Permissions/PermissionDecider.h"

#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/support/PathEscapes.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

using namespace vellumar;
namespace fs = std::filesystem;
using Outcome = PermissionDecider::Outcome;
using Target = PermissionDecider::Target;

namespace {

// A writable folder F holding the work folder, a read-only folder R and a place outside both.
class PermissionDeciderFixture : public ::testing::Test {
protected:
    PermissionDeciderFixture()
        : root(resolvingSymlinks(folder.path()))
        , writable(root / "F")
        , readable(root / "R")
        , work(writable / "work")
        , outside(root / "outside")
    {
        for (const auto& made : { work, readable, outside })
            fs::create_directories(made);
        permissions.folders = { FolderGrant { .path = writable, .writable = true, .label = "F" },
            FolderGrant { .path = readable, .writable = false, .label = "R" } };
    }

    Outcome decideWrite(const std::string& path, const std::string& tool = "Write") const
    {
        JSON input = JSON::object({ { "file_path", path }, { "content", "x" } });
        return PermissionDecider::decide(tool, &input, permissions, work);
    }

    static Outcome ask(const fs::path& path, const fs::path& scope, bool canAlways, const std::string& reason,
        const std::string& tool = "Write")
    {
        return Outcome::ask(
            Target { .tool = tool, .path = path, .scope = scope, .canAlways = canAlways, .reason = reason });
    }

    test::TemporaryFolder folder;
    fs::path root;
    fs::path writable;
    fs::path readable;
    fs::path work;
    fs::path outside;
    ResolvedPermissions permissions;
};

const std::string kPlainReason = "Claude Code wants a confirmation for this file.";
const std::string kSettingsReason = "This is Claude Code's settings folder (.claude).";
const std::string kGitReason = "This is Git's own folder (.git).";

}

TEST_F(PermissionDeciderFixture, DecidesByWhereTheFileLies)
{
    const fs::path& F = writable;
    struct Case {
        std::string name;
        std::string path;
        std::string tool;
        Outcome expected;
    };
    const std::vector<Case> cases = {
        { "work-folder file", (work / "notes.txt").string(), "Write",
            Outcome::allowWorkspace(work / "notes.txt") },
        { "deeper work-folder file", (work / "a/b/notes.txt").string(), "Edit",
            Outcome::allowWorkspace(work / "a/b/notes.txt") },
        { "MultiEdit in the work folder", (work / "x.md").string(), "MultiEdit",
            Outcome::allowWorkspace(work / "x.md") },
        { "uploads", (work / "uploads/x.png").string(), "Write", Outcome::deny() },
        { "uploads only at the top", (work / "sub/uploads/x.png").string(), "Write",
            Outcome::allowWorkspace(work / "sub/uploads/x.png") },
        { "CLAUDE.md", (work / "CLAUDE.md").string(), "Write", Outcome::deny() },
        { "CLAUDE.local.md deeper", (work / "sub/CLAUDE.local.md").string(), "Edit", Outcome::deny() },
        { ".claude deeper", (work / "sub/.claude/settings.json").string(), "Write", Outcome::deny() },
        { ".claude as the file", (work / ".claude").string(), "Write", Outcome::deny() },
        { "the work folder itself follows the folder rule", work.string(), "Write",
            ask(work, work, false, kPlainReason) },
        { "plain file in F", (F / "a.txt").string(), "Write",
            ask(F / "a.txt", F / "a.txt", false, kPlainReason) },
        { "git folder", (F / ".git/config").string(), "Edit",
            ask(F / ".git/config", F / ".git/config", false, kGitReason, "Edit") },
        { "settings folder", (F / ".claude/settings.json").string(), "Write",
            ask(F / ".claude/settings.json", F / ".claude/settings.json", false, kSettingsReason) },
        { "skills", (F / ".claude/skills/x/SKILL.md").string(), "Write",
            ask(F / ".claude/skills/x/SKILL.md", F / ".claude/skills", true,
                "This is where Claude Code keeps its skills (.claude/skills).") },
        { "commands", (F / "p/.claude/commands/go.md").string(), "Write",
            ask(F / "p/.claude/commands/go.md", F / "p/.claude/commands", true,
                "This is where Claude Code keeps its commands (.claude/commands).") },
        { "a file named like a subfolder", (F / ".claude/agents").string(), "Write",
            ask(F / ".claude/agents", F / ".claude/agents", false, kSettingsReason) },
        { "hidden file is no hidden folder", (F / ".env").string(), "Write",
            ask(F / ".env", F / ".env", false, kPlainReason) },
        { "the first hidden folder decides", (F / ".cache/.git/x").string(), "Write",
            ask(F / ".cache/.git/x", F / ".cache/.git/x", false, "This is a hidden folder (.cache).") },
        { "dot-dot after a folder", (F / "work/../a.txt").string(), "Write",
            ask(F / "a.txt", F / "a.txt", false, kPlainReason) },
        { "the granted folder itself", F.string(), "Write", Outcome::deny() },
        { "read-only folder", (readable / "a.txt").string(), "Write", Outcome::deny() },
        { "outside every folder", (outside / "a.txt").string(), "Write", Outcome::deny() },
        { "root", "/", "Write", Outcome::deny() },
        { "relative", "notes.txt", "Write", Outcome::deny() },
        { "home-relative", "~/notes.txt", "Write", Outcome::deny() },
        { "newline", (work / "a\nb.txt").string(), "Write", Outcome::deny() },
        { "NUL", (work / "a").string() + std::string(1, '\0') + "b", "Write", Outcome::deny() },
        { "broken UTF-8", (work / "a\xff.txt").string(), "Write", Outcome::deny() },
        { "4,097 characters", (F / std::string(4097, 'a')).string().substr(0, 4097), "Write",
            Outcome::deny() },
        { "Bash", (work / "notes.txt").string(), "Bash", Outcome::deny() },
        { "Read", (work / "notes.txt").string(), "Read", Outcome::deny() },
        { "lower-case tool name", (work / "notes.txt").string(), "write", Outcome::deny() },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(decideWrite(testCase.path, testCase.tool), testCase.expected);
    }
}

TEST_F(PermissionDeciderFixture, AcceptsAPathOfExactly4096Characters)
{
    std::string prefix = (writable / "").string();
    // Names of 99 letters each, since the kernel takes no name over 255 bytes.
    auto pathOf = [&](std::string_view letter, std::size_t characters) {
        std::string path = prefix;
        for (std::size_t count = prefix.size(); count < characters; ++count)
            path += (count - prefix.size()) % 100 == 99 ? std::string_view("/") : letter;
        return path;
    };
    ASSERT_EQ(pathOf("a", 4096).size(), 4096u);
    EXPECT_EQ(decideWrite(pathOf("a", 4096)).kind, Outcome::Kind::ask);
    // Characters, not bytes: 4,096 characters, most of them two-byte letters, are within the limit.
    EXPECT_EQ(decideWrite(pathOf("\xc3\xa9", 4096)).kind, Outcome::Kind::ask);
    EXPECT_EQ(decideWrite(pathOf("\xc3\xa9", 4097)).kind, Outcome::Kind::deny);
}

TEST_F(PermissionDeciderFixture, RefusesInputsThatAreNotAFilePath)
{
    JSON noPath = JSON::object({ { "content", "x" } });
    JSON numberPath = JSON::object({ { "file_path", 7 } });
    JSON notObject = JSON((work / "a.txt").string());
    JSON nullInput;
    struct Case {
        std::string name;
        const JSON* input;
    };
    for (const auto& testCase : std::vector<Case> { { "absent", nullptr }, { "no file_path", &noPath },
             { "number", &numberPath }, { "string input", &notObject }, { "null input", &nullInput } }) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(PermissionDecider::decide("Write", testCase.input, permissions, work), Outcome::deny());
    }
}

TEST_F(PermissionDeciderFixture, GatedWriteLeavesNoWritableFolder)
{
    permissions.approve = { "write" };
    EXPECT_EQ(decideWrite((writable / "a.txt").string()), Outcome::deny());
    EXPECT_EQ(decideWrite((work / "a.txt").string()), Outcome::allowWorkspace(work / "a.txt"));
    permissions.granted = { "write" };
    EXPECT_EQ(decideWrite((writable / "a.txt").string()).kind, Outcome::Kind::ask);
}

TEST_F(PermissionDeciderFixture, AnEmptyOrRootPlaceCoversNothing)
{
    struct Case {
        std::string name;
        fs::path work;
        std::optional<fs::path> grant;
    };
    for (const auto& testCase : std::vector<Case> { { "empty work folder", "", std::nullopt },
             { "root as work folder", "/", std::nullopt }, { "empty grant", work, "" },
             { "root as grant", work, "/" } }) {
        SCOPED_TRACE(testCase.name);
        ResolvedPermissions broad;
        if (testCase.grant)
            broad.folders = { FolderGrant { .path = *testCase.grant, .writable = true } };
        JSON input = JSON::object({ { "file_path", (outside / "a.txt").string() } });
        EXPECT_EQ(PermissionDecider::decide("Write", &input, broad, testCase.work), Outcome::deny());
    }
}

TEST(PermissionDeciderEscapes, DecidesWhereTheKernelLandsTheWrite)
{
    test::TemporaryFolder folder;
    fs::path home = resolvingSymlinks(folder.path()) / "home";
    fs::path work = home / ".local/share/Vellumar/workspaces/c-1";
    fs::path grant = home / "project";
    fs::create_directories(work);
    fs::create_directories(grant);
    test::PathEscapes escapes(home, work, grant);
    ResolvedPermissions permissions;
    permissions.folders = { FolderGrant { .path = grant, .writable = true, .label = "~/project" } };
    for (const auto& escape : escapes.cases) {
        SCOPED_TRACE(escape.name);
        JSON input = JSON::object({ { "file_path", escape.path.string() } });
        Outcome outcome = PermissionDecider::decide("Write", &input, permissions, work);
        switch (escape.decision) {
        case test::PathEscape::Decision::deny:
            EXPECT_EQ(outcome, Outcome::deny());
            break;
        case test::PathEscape::Decision::allowWorkspace:
            EXPECT_EQ(outcome, Outcome::allowWorkspace(escape.lands));
            break;
        case test::PathEscape::Decision::ask:
            ASSERT_EQ(outcome.kind, Outcome::Kind::ask);
            EXPECT_EQ(outcome.file, escape.lands);
            EXPECT_EQ(outcome.target->path, escape.lands);
            break;
        }
    }
}

TEST_F(PermissionDeciderFixture, FollowsLinksInTheParentAndOfTheFileItself)
{
    fs::create_symlink(work, root / "to-work");
    fs::create_symlink(outside / "authorized_keys", work / "planted.txt");
    fs::create_directories(outside / "existing");
    fs::path existingTarget = outside / "existing/keys";
    std::ofstream(existingTarget) << "keys";
    fs::create_symlink(existingTarget, work / "planted-existing.txt");
    fs::create_symlink("real.txt", work / "alias.txt");
    fs::create_symlink(work / "CLAUDE.md", work / "instructions.txt");
    fs::create_symlink(writable / ".git/config", work / "git-config");
    fs::create_symlink("../../outside/x", work / "relative-escape");
    fs::create_symlink("loop-b", work / "loop-a");
    fs::create_symlink("loop-a", work / "loop-b");
    fs::create_symlink(root / "to-work" / "chain-end.txt", work / "chain-start.txt");
    std::ofstream(outside / "profile") << "profile";
    fs::create_hard_link(outside / "profile", work / "shared.txt");
    std::ofstream(work / "profile") << "profile";

    struct Case {
        std::string name;
        fs::path path;
        Outcome expected;
    };
    const std::vector<Case> cases = {
        { "link in the parent into the work folder", root / "to-work/notes.txt",
            Outcome::allowWorkspace(work / "notes.txt") },
        { "dangling link to a secret", work / "planted.txt", Outcome::deny() },
        { "link to an existing file outside", work / "planted-existing.txt", Outcome::deny() },
        { "link within the work folder", work / "alias.txt", Outcome::allowWorkspace(work / "real.txt") },
        { "link to an instruction file", work / "instructions.txt", Outcome::deny() },
        { "link into a granted folder's git folder", work / "git-config",
            ask(writable / ".git/config", writable / ".git/config", false, kGitReason) },
        { "relative link out of the work folder", work / "relative-escape", Outcome::deny() },
        { "link loop", work / "loop-a", Outcome::deny() },
        { "below a file", work / "profile/x", Outcome::deny() },
        { "dot-dot above the root", "/.." / work.relative_path() / "notes.txt",
            Outcome::allowWorkspace(work / "notes.txt") },
        { "chain through a linked folder", work / "chain-start.txt",
            Outcome::allowWorkspace(work / "chain-end.txt") },
        { "file with a second hard link", work / "shared.txt",
            ask(work / "shared.txt", work / "shared.txt", false, kPlainReason) },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(decideWrite(testCase.path.string()), testCase.expected);
    }
}

TEST(PermissionDeciderRequest, BuildsTheNineMembers)
{
    Target target { .tool = "MultiEdit",
        .path = "/Users/u/p/.claude/skills/x/SKILL.md",
        .scope = "/Users/u/p/.claude/skills",
        .canAlways = true,
        .reason = "This is where Claude Code keeps its skills (.claude/skills)." };
    auto expires = std::chrono::system_clock::time_point(std::chrono::microseconds(1'700'000'000'000'500));
    JSON request = PermissionDecider::requestJSON(target, "p-0123456789ab", expires, "/Users/u");
    EXPECT_EQ(request.encoded(),
        "{\"action\":\"Change a file\",\"canAlways\":true,\"expiresAt\":1700000000001,"
        "\"path\":\"~/p/.claude/skills/x/SKILL.md\",\"reason\":\"This is where Claude Code keeps its skills "
        "(.claude/skills).\",\"requestId\":\"p-0123456789ab\",\"scope\":\"~/p/.claude/skills\","
        "\"scopeIsFile\":false,\"tool\":\"Edit\"}");
}

TEST(PermissionDeciderRequest, NamesToolsActionsAndPlaces)
{
    struct Case {
        std::string tool;
        std::string shownTool;
        std::string action;
    };
    for (const auto& testCase : std::vector<Case> { { "Write", "Write", "Write a file" },
             { "Edit", "Edit", "Change a file" }, { "MultiEdit", "Edit", "Change a file" } }) {
        SCOPED_TRACE(testCase.tool);
        JSON request = PermissionDecider::requestJSON(
            Target { .tool = testCase.tool, .path = "/tmp/x", .scope = "/tmp/x" }, "p-000000000000", {},
            "/Users/u");
        EXPECT_EQ(*request.subscript("tool")->stringValue(), testCase.shownTool);
        EXPECT_EQ(*request.subscript("action")->stringValue(), testCase.action);
        EXPECT_EQ(request.subscript("scopeIsFile")->boolValue(), true);
        EXPECT_EQ(request.subscript("expiresAt")->intValue(), 0);
    }

    struct Place {
        std::string path;
        std::string shown;
    };
    for (const auto& place : std::vector<Place> { { "/Users/u", "~" }, { "/Users/u/p/x", "~/p/x" },
             { "/tmp/x", "/tmp/x" }, { "/Users/uv/x", "/Users/uv/x" }, { "/Users/u/", "~" } }) {
        SCOPED_TRACE(place.path);
        JSON request = PermissionDecider::requestJSON(
            Target { .tool = "Write", .path = place.path, .scope = "/" }, "p-000000000000", {}, "/Users/u");
        EXPECT_EQ(*request.subscript("path")->stringValue(), place.shown);
        EXPECT_EQ(request.subscript("scopeIsFile")->boolValue(), false);
    }
}

TEST(PermissionDeciderRequest, RoundsTheExpiryHalfAwayFromZero)
{
    struct Case {
        std::int64_t microseconds;
        std::int64_t milliseconds;
    };
    for (const auto& testCase :
        std::vector<Case> { { 1'500, 2 }, { 1'499, 1 }, { -1'500, -2 }, { 2'500, 3 } }) {
        SCOPED_TRACE(testCase.microseconds);
        auto expires
            = std::chrono::system_clock::time_point(std::chrono::microseconds(testCase.microseconds));
        JSON request
            = PermissionDecider::requestJSON(Target { .tool = "Write" }, "p-000000000000", expires, "/h");
        EXPECT_EQ(request.subscript("expiresAt")->intValue(), testCase.milliseconds);
    }
}

TEST(PermissionRequestID, AcceptsOnlyTwelveLowercaseHexDigits)
{
    struct Case {
        std::string text;
        bool valid;
    };
    for (const auto& testCase : std::vector<Case> {
             { "p-0123456789ab", true },
             { "p-ffffffffffff", true },
             { "p-0123456789AB", false },
             { "p-0123456789a", false },
             { "p-0123456789abc", false },
             { "q-0123456789ab", false },
             { "P-0123456789ab", false },
             { "p_0123456789ab", false },
             { "p-0123456789ag", false },
             { "", false },
             { "p-01234567\xc3\xa9", false },
         }) {
        SCOPED_TRACE(testCase.text);
        EXPECT_EQ(isPermissionRequestID(testCase.text), testCase.valid);
    }
}

TEST(PermissionAnswers, AreTheFourDecisions)
{
    EXPECT_EQ(std::vector<std::string_view>(permissionAnswers.begin(), permissionAnswers.end()),
        (std::vector<std::string_view> { "once", "conversation", "always", "deny" }));
}
