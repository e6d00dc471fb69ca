#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>

using namespace vellumar;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

Strings strings(const JSON& document, std::initializer_list<const char*> keyPath)
{
    const JSON* value = &document;
    for (const char* key : keyPath)
        value = value ? value->subscript(key) : nullptr;
    Strings result;
    for (const auto& element : value && value->arrayValue() ? *value->arrayValue() : JSON::Array {})
        result.push_back(*element.stringValue());
    return result;
}

bool contains(const Strings& list, const std::string& text)
{
    return std::find(list.begin(), list.end(), text) != list.end();
}

class ClaudeInvocationSettings : public ::testing::Test {
protected:
    ClaudeInvocationSettings()
    {
        fs::create_directories(work);
        fs::create_directories(data / "tls");
    }

    test::TemporaryFolder folder;
    fs::path home = folder / "home";
    fs::path data = folder / "data";
    fs::path work = data / "workspaces" / "ios-abc";
    PermissionResolver resolver { home, data, 3.0 };
};

}

// The whole document, the test's folder written "T": a symlinked work folder appears resolved, other
// work folders are hidden from commands, a read-only grant that holds a writable one gets no edit
// deny of its own, secrets follow their modes, and commands get the sandbox.
TEST_F(ClaudeInvocationSettings, CommandsAndGrants)
{
    test::ScopedEnvironmentVariable temporary("TMPDIR", std::nullopt);
    fs::create_directories(home / ".ssh");
    fs::create_directories(data / "workspaces" / "ios-other");
    fs::create_directory_symlink(work, folder / "link-to-work");
    ResolvedPermissions permissions;
    permissions.bash = true;
    permissions.secrets = { { "ssh", false, { home / ".ssh" }, {} }, { "aws", true, { home / ".aws" }, {} },
        { "shell", true, {}, { home / ".zshrc" } } };
    permissions.folders = { { "/p", false, "/p", false }, { "/p/q", true, "/p/q", false },
        { "/r", false, "/r", false }, { "/r", true, "/r", false } };
    std::string text
        = ClaudeInvocation::settingsJSON(folder / "link-to-work", permissions, resolver).encoded();
    for (auto at = text.find(folder.path().string()); at != std::string::npos;
         at = text.find(folder.path().string(), at))
        text.replace(at, folder.path().string().size(), "T");
    EXPECT_EQ(text,
        R"j({"disableAllHooks":true,"env":{"GIT_CONFIG_GLOBAL":"/dev/null"},)j"
        R"j("permissions":{"allow":["Read(/T/data/workspaces/ios-abc/**)",)j"
        R"j("Edit(/T/data/workspaces/ios-abc/**)","Read(//p/**)","Read(//p/q/**)","Edit(//p/q/**)",)j"
        R"j("Read(//r/**)","Read(//r/**)","Edit(//r/**)","Read(/T/home/.ssh/**)","Read(/T/home/.aws/**)",)j"
        R"j("Edit(/T/home/.aws/**)","Read(/T/home/.zshrc)","Edit(/T/home/.zshrc)","Bash"],)j"
        R"j("defaultMode":"default","deny":["Read(/T/data/activity)","Edit(/T/data/activity)",)j"
        R"j("Read(/T/data/claude-settings)","Edit(/T/data/claude-settings)","Read(/T/data/incoming)",)j"
        R"j("Edit(/T/data/incoming)","Read(/T/data/memory.json)","Edit(/T/data/memory.json)",)j"
        R"j("Read(/T/data/routines.json)","Edit(/T/data/routines.json)","Read(/T/data/sessions.json)",)j"
        R"j("Edit(/T/data/sessions.json)","Read(/T/data/tls/**)","Edit(/T/data/tls/**)","Read(~/.gnupg/**)",)j"
        R"j("Edit(~/.gnupg/**)","Read(~/.config/**)","Edit(~/.config/**)","Read(~/.docker/**)",)j"
        R"j("Edit(~/.docker/**)","Read(~/.kube/**)","Edit(~/.kube/**)","Read(~/.claude/**)",)j"
        R"j("Edit(~/.claude/**)","Read(~/.claude.json)","Edit(~/.claude.json)","Read(~/.netrc)",)j"
        R"j("Edit(~/.netrc)","Read(~/.git-credentials)","Edit(~/.git-credentials)","Read(~/.gitconfig)",)j"
        R"j("Edit(~/.gitconfig)","Edit(~/.ssh/**)","Edit(//r/**)","Edit(//p/q/**/.claude/settings*.json)",)j"
        R"j("Edit(//p/q/**/.claude/hooks/**)","Edit(//r/**/.claude/settings*.json)",)j"
        R"j("Edit(//r/**/.claude/hooks/**)","Edit(/T/data/workspaces/ios-abc/uploads/**)",)j"
        R"j("Edit(/T/data/workspaces/ios-abc/CLAUDE.md)","Edit(/T/data/workspaces/ios-abc/**/CLAUDE.md)",)j"
        R"j("Edit(/T/data/workspaces/ios-abc/CLAUDE.local.md)",)j"
        R"j("Edit(/T/data/workspaces/ios-abc/**/CLAUDE.local.md)",)j"
        R"j("Edit(/T/data/workspaces/ios-abc/.claude/**)",)j"
        R"j("Edit(/T/data/workspaces/ios-abc/**/.claude/**)"]},"sandbox":{"allowUnsandboxedCommands":false,)j"
        R"j("autoAllowBashIfSandboxed":true,"enabled":true,"failIfUnavailable":true,)j"
        R"j("filesystem":{"allowRead":["T/data/workspaces/ios-abc","/p","/p/q","/r","/r","T/home/.ssh",)j"
        R"j("T/home/.aws","T/home/.zshrc"],"allowWrite":["T/home/.zshrc"],"denyRead":["~/","/tmp",)j"
        R"j("/var/tmp","/dev/shm","T/home/.gnupg","T/home/.config","T/home/.docker","T/home/.kube",)j"
        R"j("T/home/.claude","T/home/.claude.json","T/home/.netrc","T/home/.git-credentials",)j"
        R"j("T/home/.gitconfig","T/data/activity","T/data/claude-settings","T/data/incoming",)j"
        R"j("T/data/memory.json","T/data/routines.json","T/data/sessions.json","T/data/tls",)j"
        R"j("T/data/workspaces/ios-other"],"denyWrite":["/p","/r","T/data/workspaces/ios-abc/uploads",)j"
        R"j("T/data/workspaces/ios-abc/.git/hooks","T/data/workspaces/ios-abc/.git/config",)j"
        R"j("T/data/workspaces/ios-abc/.envrc","T/data/workspaces/ios-abc/.vscode",)j"
        R"j("T/data/workspaces/ios-abc/CLAUDE.md","T/data/workspaces/ios-abc/CLAUDE.local.md",)j"
        R"j("T/data/workspaces/ios-abc/.claude","T/data/workspaces/ios-abc/**/.claude/settings*.json",)j"
        R"j("T/data/workspaces/ios-abc/**/.claude/hooks/**","/p/q/.git/hooks","/p/q/.git/config",)j"
        R"j("/p/q/.envrc","/p/q/.vscode","/p/q/CLAUDE.md","/p/q/CLAUDE.local.md","/p/q/.claude",)j"
        R"j("/p/q/**/.claude/settings*.json","/p/q/**/.claude/hooks/**","/r/.git/hooks","/r/.git/config",)j"
        R"j("/r/.envrc","/r/.vscode","/r/CLAUDE.md","/r/CLAUDE.local.md","/r/.claude",)j"
        R"j("/r/**/.claude/settings*.json","/r/**/.claude/hooks/**","T/home/.ssh","T/home/.gnupg",)j"
        R"j("T/home/.config","T/home/.docker","T/home/.kube","T/home/.claude","T/home/.claude.json",)j"
        R"j("T/home/.netrc","T/home/.git-credentials","T/home/.gitconfig","T/data/activity",)j"
        R"j("T/data/claude-settings","T/data/incoming","T/data/memory.json","T/data/routines.json",)j"
        R"j("T/data/sessions.json","T/data/tls","T/data/workspaces/ios-other"]}}})j");
}

TEST_F(ClaudeInvocationSettings, GatesOfCommandsAndWriting)
{
    ResolvedPermissions gatedCommands;
    gatedCommands.bash = true;
    gatedCommands.approve = { "bash" };
    JSON document = ClaudeInvocation::settingsJSON(work, gatedCommands, resolver);
    // Refused by the settings until approved, and sandboxed all the same.
    EXPECT_EQ(strings(document, { "permissions", "deny" }).back(), "Bash");
    EXPECT_FALSE(contains(strings(document, { "permissions", "allow" }), "Bash"));
    EXPECT_NE(document.subscript("sandbox"), nullptr);
    EXPECT_NE(document.subscript("env"), nullptr);

    // A closed write gate treats every folder as read-only; without commands there is no sandbox.
    ResolvedPermissions gatedWriting;
    gatedWriting.folders = { { "/p", true, "/p", false } };
    gatedWriting.approve = { "write" };
    document = ClaudeInvocation::settingsJSON(work, gatedWriting, resolver);
    Strings allow = strings(document, { "permissions", "allow" });
    Strings deny = strings(document, { "permissions", "deny" });
    EXPECT_TRUE(contains(allow, "Read(//p/**)"));
    EXPECT_FALSE(contains(allow, "Edit(//p/**)"));
    EXPECT_TRUE(contains(deny, "Edit(//p/**)"));
    EXPECT_FALSE(contains(deny, "Edit(//p/**/.claude/hooks/**)"));
    EXPECT_FALSE(contains(deny, "Bash"));
    EXPECT_EQ(document.subscript("sandbox"), nullptr);
    EXPECT_EQ(document.subscript("env"), nullptr);
}

TEST_F(ClaudeInvocationSettings, NetworkModes)
{
    struct Case {
        const char* network;
        Strings domains;
        const char* expected; // canonical JSON of "network", or "" for none
        bool weaker;
    };
    const Case cases[] = {
        { "none", {}, "", false },
        { "local", {}, R"({"allowLocalBinding":true})", false },
        { "domains", {}, "", false },
        { "domains", { "example.com", "api.example.org" },
            R"({"allowedDomains":["example.com","api.example.org"]})", false },
        { "all", {}, R"({"allowLocalBinding":true,"allowedDomains":["*"]})", true },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.network);
        ResolvedPermissions permissions;
        permissions.bash = true;
        permissions.network = c.network;
        permissions.domains = c.domains;
        JSON sandbox = *ClaudeInvocation::settingsJSON(work, permissions, resolver).subscript("sandbox");
        const JSON* network = sandbox.subscript("network");
        EXPECT_EQ(network ? network->encoded() : "", c.expected);
        const JSON* weaker = sandbox.subscript("enableWeakerNetworkIsolation");
        EXPECT_EQ(weaker ? weaker->encoded() : "", c.weaker ? "true" : "");
    }
}

TEST_F(ClaudeInvocationSettings, TheUsersTemporaryFolderIsHiddenFromCommandsWhereverItLies)
{
    const Strings shared = { "/tmp", "/var/tmp", "/dev/shm" };
    // A private folder inside a shared one, as libpam-tmpdir makes it, is hidden with it already.
    fs::path privateFolder = "/tmp/" + folder.path().filename().string() + "-private";
    fs::create_directory(privateFolder);
    struct Case {
        std::optional<std::string> temporaryFolder;
        Strings expected;
    };
    const Case cases[] = {
        { std::nullopt, shared },
        { "/var/tmp", shared },
        { privateFolder.string(), shared },
        { "/etc", { "/tmp", "/var/tmp", "/dev/shm", "/etc" } },
        // Hiding the root would hide everything.
        { "/", shared },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.temporaryFolder.value_or("unset"));
        test::ScopedEnvironmentVariable temporary("TMPDIR", c.temporaryFolder);
        EXPECT_EQ(ClaudeInvocation::sandboxTempPaths(), c.expected);
    }
    fs::remove(privateFolder);
}

TEST_F(ClaudeInvocationSettings, CommandsCannotChangeWhatRunsLaterInTheWorkFolderOrAWritableGrant)
{
    const Strings protectedNames = { ".git/hooks", ".git/config", ".envrc", ".vscode", "CLAUDE.md",
        "CLAUDE.local.md", ".claude", "**/.claude/settings*.json", "**/.claude/hooks/**" };
    struct Case {
        const char* label;
        std::set<std::string> approve;
        fs::path place;
        bool protectedPlace;
    };
    const Case cases[] = {
        { "work folder", {}, work, true },
        { "writable grant", {}, "/w", true },
        // Wholly in the deny list already.
        { "read-only grant", {}, "/r", false },
        { "writable grant while writing waits for consent", { "write" }, "/w", false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ResolvedPermissions permissions;
        permissions.bash = true;
        permissions.approve = c.approve;
        permissions.folders = { { "/w", true, "/w", false }, { "/r", false, "/r", false } };
        Strings denyWrite = strings(ClaudeInvocation::settingsJSON(work, permissions, resolver),
            { "sandbox", "filesystem", "denyWrite" });
        for (const auto& name : protectedNames)
            EXPECT_EQ(contains(denyWrite, (c.place / name).string()), c.protectedPlace) << name;
    }
}
