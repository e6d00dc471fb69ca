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
    for (const char* key : keyPath) {
        value = value->subscript(key);
        if (!value)
            return {};
    }
    Strings result;
    if (const auto* array = value->arrayValue()) {
        for (const auto& element : *array)
            result.push_back(*element.stringValue());
    }
    return result;
}

bool contains(const Strings& list, const std::string& text)
{
    return std::find(list.begin(), list.end(), text) != list.end();
}

fs::path created(const fs::path& folder)
{
    fs::create_directories(folder);
    return folder;
}

class ClaudeInvocationSettings : public ::testing::Test {
protected:
    ClaudeInvocationSettings()
        : home(created(folder / "home"))
        , data(created(folder / "data"))
        , work(created(data / "workspaces" / "ios-abc"))
        , resolver(home, data, 3.0)
    {
        fs::create_directories(data / "tls");
    }

    test::TemporaryFolder folder;
    fs::path home;
    fs::path data;
    fs::path work;
    PermissionResolver resolver;
};

}

TEST_F(ClaudeInvocationSettings, NothingGrantedAllowsOnlyTheWorkFolder)
{
    JSON document = ClaudeInvocation::settingsJSON(work, ResolvedPermissions {}, resolver);
    std::string w = "/" + work.string();
    EXPECT_EQ(strings(document, { "permissions", "allow" }),
        (Strings { "Read(" + w + "/**)", "Edit(" + w + "/**)" }));
    EXPECT_EQ(document.subscript("permissions")->subscript("defaultMode")->stringValue()->c_str(),
        std::string("default"));
    EXPECT_EQ(document.subscript("disableAllHooks")->boolValue(), true);
    EXPECT_EQ(document.subscript("sandbox"), nullptr);
    EXPECT_EQ(document.subscript("env"), nullptr);

    Strings deny = strings(document, { "permissions", "deny" });
    // Data folder entries: "tls" exists as a folder, the others are files or missing.
    Strings expectedHead
        = { "Read(/" + (data / "activity").string() + ")", "Edit(/" + (data / "activity").string() + ")" };
    EXPECT_EQ(Strings(deny.begin(), deny.begin() + 2), expectedHead);
    EXPECT_TRUE(contains(deny, "Read(/" + (data / "tls").string() + "/**)"));
    for (const char* pattern :
        { "~/.ssh/**", "~/.netrc", "~/.bash_history", "~/.claude.json", "~/.kube/**" }) {
        SCOPED_TRACE(pattern);
        EXPECT_TRUE(contains(deny, std::string("Read(") + pattern + ")"));
        EXPECT_TRUE(contains(deny, std::string("Edit(") + pattern + ")"));
    }
    Strings globs(deny.end() - 7, deny.end());
    EXPECT_EQ(globs.front(), "Edit(" + w + "/uploads/**)");
    EXPECT_EQ(globs.back(), "Edit(" + w + "/**/.claude/**)");
    // 7 data-folder entries and 17 catalogue places, each denied for reading and editing, then the globs.
    EXPECT_EQ(deny.size(), 2 * (7 + 17) + 7u);
}

TEST_F(ClaudeInvocationSettings, ReadGrantOfSSHIsReadableButNeverEditable)
{
    fs::create_directories(home / ".ssh");
    ResolvedPermissions permissions;
    permissions.bash = true;
    permissions.secrets = { { "ssh", false, { home / ".ssh" }, {} } };
    JSON document = ClaudeInvocation::settingsJSON(work, permissions, resolver);
    Strings allow = strings(document, { "permissions", "allow" });
    Strings deny = strings(document, { "permissions", "deny" });
    std::string pattern = "/" + (home / ".ssh").string() + "/**";
    EXPECT_TRUE(contains(allow, "Read(" + pattern + ")"));
    EXPECT_FALSE(contains(allow, "Edit(" + pattern + ")"));
    EXPECT_TRUE(contains(deny, "Edit(~/.ssh/**)"));
    EXPECT_FALSE(contains(deny, "Read(~/.ssh/**)"));
    EXPECT_EQ(allow.back(), "Bash");

    Strings allowRead = strings(document, { "sandbox", "filesystem", "allowRead" });
    Strings denyRead = strings(document, { "sandbox", "filesystem", "denyRead" });
    Strings denyWrite = strings(document, { "sandbox", "filesystem", "denyWrite" });
    EXPECT_TRUE(contains(allowRead, (home / ".ssh").string()));
    EXPECT_FALSE(contains(denyRead, (home / ".ssh").string()));
    EXPECT_TRUE(contains(denyWrite, (home / ".ssh").string()));
    EXPECT_EQ(document.subscript("sandbox")->subscript("filesystem")->subscript("allowWrite"), nullptr);
    EXPECT_EQ(*document.subscript("env")->subscript("GIT_CONFIG_GLOBAL")->stringValue(), "/dev/null");
}

TEST_F(ClaudeInvocationSettings, WritableSecretFilesAreWritableInTheSandboxButFoldersAreNot)
{
    ResolvedPermissions permissions;
    permissions.bash = true;
    permissions.secrets
        = { { "aws", true, { home / ".aws" }, {} }, { "shell", true, {}, { home / ".zshrc" } } };
    JSON document = ClaudeInvocation::settingsJSON(work, permissions, resolver);
    EXPECT_EQ(strings(document, { "sandbox", "filesystem", "allowWrite" }),
        (Strings { (home / ".zshrc").string() }));
}

TEST_F(ClaudeInvocationSettings, GatedCommandsAreDeniedButStillSandboxed)
{
    ResolvedPermissions permissions;
    permissions.bash = true;
    permissions.approve = { "bash" };
    JSON document = ClaudeInvocation::settingsJSON(work, permissions, resolver);
    EXPECT_EQ(strings(document, { "permissions", "deny" }).back(), "Bash");
    EXPECT_FALSE(contains(strings(document, { "permissions", "allow" }), "Bash"));
    EXPECT_NE(document.subscript("sandbox"), nullptr);
    EXPECT_NE(document.subscript("env"), nullptr);
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
        EXPECT_EQ(sandbox.subscript("enableWeakerNetworkIsolation") != nullptr, c.weaker);
    }
}

TEST_F(ClaudeInvocationSettings, SymlinkedWorkFolderAppearsResolvedEverywhere)
{
    fs::path link = folder / "link-to-work";
    fs::create_directory_symlink(work, link);
    ResolvedPermissions permissions;
    permissions.bash = true;
    JSON document = ClaudeInvocation::settingsJSON(link, permissions, resolver);
    std::string w = "/" + work.string();
    EXPECT_EQ(strings(document, { "permissions", "allow" }).front(), "Read(" + w + "/**)");
    EXPECT_EQ(strings(document, { "permissions", "deny" }).back(), "Edit(" + w + "/**/.claude/**)");
    EXPECT_EQ(strings(document, { "sandbox", "filesystem", "allowRead" }).front(), work.string());
    EXPECT_TRUE(
        contains(strings(document, { "sandbox", "filesystem", "denyWrite" }), (work / "uploads").string()));
    for (const auto& path : strings(document, { "sandbox", "filesystem", "denyRead" }))
        EXPECT_EQ(path.find("link-to-work"), std::string::npos) << path;
}

TEST_F(ClaudeInvocationSettings, OtherWorkFoldersAreHiddenFromCommands)
{
    fs::create_directories(data / "workspaces" / "ios-other");
    ResolvedPermissions permissions;
    permissions.bash = true;
    JSON document = ClaudeInvocation::settingsJSON(work, permissions, resolver);
    Strings denyRead = strings(document, { "sandbox", "filesystem", "denyRead" });
    EXPECT_TRUE(contains(denyRead, (data / "workspaces" / "ios-other").string()));
    EXPECT_FALSE(contains(denyRead, work.string()));
    EXPECT_EQ(
        Strings(denyRead.begin(), denyRead.begin() + 4), (Strings { "~/", "/tmp", "/var/tmp", "/dev/shm" }));
}

TEST_F(ClaudeInvocationSettings, TheUsersTemporaryFolderIsHiddenFromCommandsWhereverItLies)
{
    const Strings shared = { "/tmp", "/var/tmp", "/dev/shm" };
    struct Case {
        std::optional<std::string> temporaryFolder;
        Strings expected;
    };
    const Case cases[] = {
        { std::nullopt, shared },
        { "/var/tmp", shared },
        { "/etc", { "/tmp", "/var/tmp", "/dev/shm", "/etc" } },
        // Hiding the root would hide everything.
        { "/", shared },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.temporaryFolder.value_or("unset"));
        test::ScopedEnvironmentVariable temporary("TMPDIR", c.temporaryFolder);
        EXPECT_EQ(ClaudeInvocation::sandboxTempPaths(), c.expected);
    }
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

TEST_F(ClaudeInvocationSettings, ReadOnlyFolderHoldingAWritableOneGetsNoEditDenyOfItsOwn)
{
    ResolvedPermissions permissions;
    permissions.bash = true;
    permissions.folders = { { "/p", false, "/p", false }, { "/p/q", true, "/p/q", false },
        { "/r", false, "/r", false }, { "/r", true, "/r", false } };
    JSON document = ClaudeInvocation::settingsJSON(work, permissions, resolver);
    Strings deny = strings(document, { "permissions", "deny" });
    EXPECT_FALSE(contains(deny, "Edit(//p/**)"));
    EXPECT_TRUE(contains(deny, "Edit(//r/**)"));
    EXPECT_TRUE(contains(deny, "Edit(//p/q/**/.claude/settings*.json)"));
    EXPECT_TRUE(contains(deny, "Edit(//p/q/**/.claude/hooks/**)"));
    Strings allow = strings(document, { "permissions", "allow" });
    EXPECT_TRUE(contains(allow, "Edit(//p/q/**)"));
    EXPECT_FALSE(contains(allow, "Edit(//p/**)"));
    Strings denyWrite = strings(document, { "sandbox", "filesystem", "denyWrite" });
    EXPECT_EQ(Strings(denyWrite.begin(), denyWrite.begin() + 2), (Strings { "/p", "/r" }));
}

TEST_F(ClaudeInvocationSettings, ClosedWriteGateTreatsEveryFolderAsReadOnly)
{
    ResolvedPermissions permissions;
    permissions.folders = { { "/p", true, "/p", false } };
    permissions.approve = { "write" };
    JSON document = ClaudeInvocation::settingsJSON(work, permissions, resolver);
    Strings allow = strings(document, { "permissions", "allow" });
    Strings deny = strings(document, { "permissions", "deny" });
    EXPECT_TRUE(contains(allow, "Read(//p/**)"));
    EXPECT_FALSE(contains(allow, "Edit(//p/**)"));
    EXPECT_TRUE(contains(deny, "Edit(//p/**)"));
    EXPECT_FALSE(contains(deny, "Edit(//p/**/.claude/hooks/**)"));
}
