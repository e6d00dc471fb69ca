// The settings document of a run: permission rules for the file tools, and for runs with commands
// the sandbox that Claude Code puts every command in.
#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"

#include "VellumarMacCore/ClaudeCode/SandboxPlaceholders.h"
#include "VellumarMacCore/ConversationData/Workspaces.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "VellumarMacCore/Permissions/SecretItems.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <iterator>
#include <span>
#include <string_view>
#include <system_error>

namespace vellumar::ClaudeInvocation {

namespace {

    using Path = std::filesystem::path;
    using Strings = std::vector<std::string>;

    // Claude Code's rule syntax marks an absolute path with a second leading "/".
    std::string absolutePattern(const Path& path) { return "/" + path.string(); }

    std::string folderPattern(const Path& path) { return absolutePattern(path) + "/**"; }

    std::string rule(std::string_view tool, const std::string& pattern)
    {
        return std::string(tool) + "(" + pattern + ")";
    }

    JSON stringArray(const Strings& texts)
    {
        JSON::Array array;
        array.reserve(texts.size());
        for (const auto& text : texts)
            array.emplace_back(text);
        return JSON(std::move(array));
    }

    void appendPaths(Strings& list, const std::vector<Path>& paths)
    {
        for (const auto& path : paths)
            list.push_back(path.string());
    }

    // "~/" patterns of a catalogue item: folders with "/**", then files.
    Strings homePatterns(const SecretItem& item)
    {
        Strings patterns;
        for (const auto& folder : item.folders)
            patterns.push_back("~/" + folder + "/**");
        for (const auto& file : item.files)
            patterns.push_back("~/" + file);
        return patterns;
    }

    // Where an item's patterns go for its mode: absent means never read or edited, "read" never edited.
    void sortByMode(
        const std::optional<std::string>& mode, const Strings& patterns, Strings& noAccess, Strings& noEdit)
    {
        if (!mode)
            noAccess.insert(noAccess.end(), patterns.begin(), patterns.end());
        else if (*mode == "read")
            noEdit.insert(noEdit.end(), patterns.begin(), patterns.end());
    }

    bool hasWritableGrantAtOrInside(const ResolvedPermissions& permissions, const FolderGrant& readOnly)
    {
        return std::any_of(
            permissions.folders.begin(), permissions.folders.end(), [&](const FolderGrant& other) {
                return other.writable && other.path != readOnly.path
                    && isPathInside(other.path, readOnly.path);
            });
    }

    // A secret place deep in a privacy-guarded home folder is left out of the sandbox lists, so that
    // preparing a run never touches it (and never raises a privacy prompt).
    bool isLeftOutOfSandbox(const Path& place, const PermissionResolver& resolver)
    {
        std::string home = standardizedPath(resolver.home).string();
        std::string path = standardizedPath(place).string();
        if (path == home || !path.starts_with(home + "/"))
            return false;
        auto forms = resolver.dataFolderForms();
        if (std::any_of(
                forms.begin(), forms.end(), [&](const Path& data) { return isPathInside(place, data); }))
            return false;
        std::string relative = path.substr(home.size() + 1);
        std::string first = relative.substr(0, relative.find('/'));
        return PermissionResolver::privacyFolders().contains(first);
    }

    bool isThere(const Path& path)
    {
        std::error_code error;
        return std::filesystem::exists(std::filesystem::symlink_status(path, error));
    }

    // What commands may not change in a place they may write: Git runs its hooks and follows its
    // configuration (the rest of what Git follows, in this place and in every repository below it, is
    // protected for all places at once by `GitRepositories::commandProtection` and the run's guard),
    // direnv runs ".envrc", the editor runs its tasks, and Claude Code follows its own files, all later
    // and outside the sandbox. Globs last.
    std::vector<Path> protectedPaths(const Path& place)
    {
        static constexpr std::array<std::string_view, 6> names
            = { ".git/hooks", ".git/config", ".git/config.worktree", ".envrc", ".vscode", ".mcp.json" };
        std::vector<Path> paths;
        for (auto name : names)
            paths.push_back(place / name);
        for (auto name : Workspaces::claudeFileNames)
            paths.push_back(place / name);
        for (const auto& glob : configGlobs())
            paths.push_back(place / glob);
        return paths;
    }

    bool isGlob(const Path& path) { return path.native().find('*') != std::string::npos; }

    // The sandbox can deny a path that does not exist only by holding an empty read-only placeholder
    // there, which the user's own tools and other runs would take for a real file and which a killed
    // run leaves behind. So only what exists is denied; the run's guard keeps the rest off
    // (`keptOffPaths`). Globs name only what exists anyway.
    void appendProtectedPlaces(Strings& denyWrite, const Path& place)
    {
        for (const auto& path : protectedPaths(place)) {
            if (isGlob(path) || isThere(path))
                denyWrite.push_back(path.string());
        }
    }

    // Names in a Git folder (one that holds a HEAD) that the guard keeps off while they are missing: a
    // new hook or configuration it judges by what it holds, a new "commondir" or "config.worktree" it
    // moves aside whole.
    constexpr std::array<std::string_view, 4> kGitFolderNames
        = { "hooks", "config", "commondir", "config.worktree" };
    constexpr std::array<std::string_view, 2> kGitFolderNamesKeptOffWhole
        = { "commondir", "config.worktree" };

    bool isNamedAmong(const Path& path, std::span<const std::string_view> names)
    {
        return std::find(names.begin(), names.end(), path.filename().native()) != names.end();
    }

    bool isMissingFromGitFolder(const Path& path, std::span<const std::string_view> names)
    {
        return isNamedAmong(path, names) && !isThere(path) && isThere(path.parent_path() / "HEAD");
    }

    // A place's own repository gets a "commondir" that reads as the folder itself for the run
    // (`CommonDirPlaceholders`), so that not even for a moment can one that sends Git elsewhere be
    // there: the user's Git, run in that moment, would follow it.
    bool isHeldByTheRun(const Path& path, const GitRepositories::Protection& git)
    {
        return path.filename() == "commondir"
            && std::find(git.gitFolders.begin(), git.gitFolders.end(), path.parent_path())
            != git.gitFolders.end();
    }

    // What Claude Code itself denies to commands in each place they may write, and in its working
    // directory besides, all relative to the place: where one does not exist, a placeholder shows.
    constexpr std::array<std::string_view, 13> kClaudeCodesNamesInEveryPlace
        = { ".mcp.json", ".claude/agents", ".claude/commands", ".claude/hooks", ".claude/launch.json",
              ".claude/loop.md", ".claude/output-styles", ".claude/routines", ".claude/scheduled_tasks.json",
              ".claude/settings.json", ".claude/settings.local.json", ".claude/skills", ".claude/workflows" };
    constexpr std::array<std::string_view, 14> kClaudeCodesNamesInItsWorkingDirectory = { ".bash_profile",
        ".bashrc", ".git/config", ".git/config.worktree", ".git/hooks", ".gitconfig", ".gitmodules", ".idea",
        ".profile", ".ripgreprc", ".vscode", ".zprofile", ".zshrc", ".mcp.json" };

    std::vector<Path> resolvedPlaces(const std::vector<Path>& places)
    {
        std::vector<Path> resolved;
        for (const auto& place : places) {
            if (auto path = resolvingSymlinks(place))
                resolved.push_back(std::move(*path));
        }
        return resolved;
    }

    // Leaves out what the run must not hold. Claude Code denies the "commondir" of its working
    // directory's Git folder to commands itself, and sets aside whatever it does not expect there: that
    // one is Claude Code's alone. And a ".git" that a command left as a link may name a Git folder
    // outside every writable place, where the run has no business writing.
    void keepPlaceholdersWhereTheRunMayWrite(GitRepositories::Protection& protection,
        const std::vector<Path>& places, const Path& resolvedWorkFolder)
    {
        std::vector<Path> writable = resolvedPlaces(places);
        auto workGitFolder = resolvingSymlinks(resolvedWorkFolder / ".git");
        std::erase_if(protection.gitFolders, [&](const Path& gitFolder) {
            return gitFolder == workGitFolder || !isPathCoveredByAny(gitFolder, writable);
        });
        if (workGitFolder)
            std::erase(protection.deniedPaths, *workGitFolder / "commondir");
    }

    JSON networkSettings(const ResolvedPermissions& gated, JSON::Object& sandbox)
    {
        if (gated.network == "local")
            return JSON::object({ { "allowLocalBinding", true } });
        if (gated.network == "domains" && !gated.domains.empty())
            return JSON::object({ { "allowedDomains", stringArray(gated.domains) } });
        if (gated.network == "all") {
            sandbox["enableWeakerNetworkIsolation"] = true;
            return JSON::object(
                { { "allowedDomains", JSON::array({ "*" }) }, { "allowLocalBinding", true } });
        }
        return JSON();
    }

}

// Other runs keep their temporary folders here (Claude Code writes every command's output into its
// run's folder) and the permission gates their sockets. Claude Code binds the run's own folder
// (CLAUDE_CODE_TMPDIR) back in for the run's commands.
Strings sandboxTempPaths()
{
    Strings paths = { "/tmp", "/var/tmp", "/dev/shm" };
    std::error_code error;
    Path temporary = std::filesystem::temp_directory_path(error);
    if (!error) {
        auto resolved = resolvingSymlinks(temporary);
        bool listed = !resolved || std::any_of(paths.begin(), paths.end(), [&](const std::string& place) {
            return isPathInside(*resolved, Path(place));
        });
        if (!listed && *resolved != resolved->root_path())
            paths.push_back(resolved->string());
    }
    return paths;
}

Path resolvedWorkFolder(const Path& workFolder)
{
    auto resolved = resolvingSymlinks(workFolder);
    if (!resolved)
        throw std::filesystem::filesystem_error("The work folder could not be resolved", workFolder,
            std::make_error_code(std::errc::no_such_file_or_directory));
    return std::move(*resolved);
}

std::vector<Path> commandWritablePlaces(const Path& resolvedWorkFolder, const ResolvedPermissions& gated)
{
    std::vector<Path> places = { resolvedWorkFolder };
    for (const auto& folder : gated.folders) {
        if (folder.writable)
            places.push_back(folder.path);
    }
    return places;
}

GitRepositories::Protection gitProtection(
    const Path& workFolder, const ResolvedPermissions& permissions, const PermissionResolver& resolver)
{
    ResolvedPermissions gated = permissions.applyingGates();
    if (!gated.bash)
        return {};
    Path resolvedWork = resolvedWorkFolder(workFolder);
    std::vector<Path> places = commandWritablePlaces(resolvedWork, gated);
    GitRepositories::Protection protection = GitRepositories::sandboxPart(places, usersGit(resolver));
    keepPlaceholdersWhereTheRunMayWrite(protection, places, resolvedWork);
    return protection;
}

GitConfigPaths::Options usersGit(const PermissionResolver& resolver)
{
    const char* searchPath = std::getenv("PATH");
    return { .home = resolver.home,
        .searchPath = searchPath ? searchPath : "/usr/local/bin:/usr/bin:/bin",
        .dataFolder = resolver.dataFolder };
}

std::vector<Path> claudeCodesDenials(const std::vector<Path>& places, const Path& resolvedWorkFolder)
{
    std::vector<Path> paths;
    for (const auto& place : places) {
        for (auto name : kClaudeCodesNamesInEveryPlace)
            paths.push_back(place / name);
    }
    for (auto name : kClaudeCodesNamesInItsWorkingDirectory)
        paths.push_back(resolvedWorkFolder / name);
    // Claude Code's sandbox denies what the settings' Edit denials name too: those in the work folder
    // that are no glob but for a trailing "/**".
    for (std::string_view glob : protectedGlobs()) {
        if (glob.ends_with("/**"))
            glob.remove_suffix(3);
        if (glob.find('*') == std::string_view::npos)
            paths.push_back(resolvedWorkFolder / glob);
    }
    return paths;
}

std::vector<Path> placeholderPaths(const Path& workFolder, const ResolvedPermissions& permissions,
    const PermissionResolver& resolver, const GitRepositories::Protection& git,
    const std::set<Path>& heldByOtherRuns)
{
    ResolvedPermissions gated = permissions.applyingGates();
    if (!gated.bash)
        return {};
    Path resolvedWork = resolvedWorkFolder(workFolder);
    std::vector<Path> places = commandWritablePlaces(resolvedWork, gated);
    std::vector<Path> candidates = claudeCodesDenials(places, resolvedWork);
    JSON sandbox = sandboxSettings(resolvedWork, gated, resolver, git);
    for (const auto& denied : *sandbox.subscript("filesystem")->subscript("denyWrite")->arrayValue())
        candidates.emplace_back(*denied.stringValue());

    // Where the placeholder stands: a folder on the way that is missing is made, and holds it.
    const std::vector<Path> writable = resolvedPlaces(places);
    std::set<Path> placeholders;
    for (const auto& candidate : candidates) {
        for (const auto& place : writable) {
            if (auto path = SandboxPlaceholders::placeholderPath(candidate, place, heldByOtherRuns)) {
                placeholders.insert(std::move(*path));
                break;
            }
        }
    }
    return { placeholders.begin(), placeholders.end() };
}

std::vector<Path> keptOffPaths(
    const Path& workFolder, const ResolvedPermissions& permissions, const GitRepositories::Protection& git)
{
    ResolvedPermissions gated = permissions.applyingGates();
    if (!gated.bash)
        return {};
    Path resolvedWork = resolvedWorkFolder(workFolder);
    std::vector<Path> writable = resolvedPlaces(commandWritablePlaces(resolvedWork, gated));
    auto missingOnTheWay = [&](const Path& denied, auto&& add) {
        for (const auto& place : writable) {
            if (auto path = SandboxPlaceholders::placeholderPath(denied, place))
                add(*path);
        }
    };
    // Claude Code holds these itself with placeholders while each command runs; one moved aside
    // would be a mount gone from under it.
    std::set<Path> heldByClaudeCode;
    for (const auto& denied : claudeCodesDenials(writable, resolvedWork))
        missingOnTheWay(denied, [&](const Path& path) { heldByClaudeCode.insert(path); });

    std::set<Path> keptOff;
    for (const auto& place : writable) {
        for (const auto& denied : protectedPaths(place)) {
            if (isGlob(denied))
                continue;
            // At the place's top a name of its own or a ".git"; in its Git folder, what is not judged by
            // what it holds.
            missingOnTheWay(denied, [&](const Path& path) {
                if (path.parent_path() == place || isNamedAmong(path, kGitFolderNamesKeptOffWhole))
                    keptOff.insert(path);
            });
        }
    }
    for (const auto& denied : git.deniedPaths) {
        if (isMissingFromGitFolder(denied, kGitFolderNamesKeptOffWhole) && !isHeldByTheRun(denied, git)
            && isPathCoveredByAny(denied, writable))
            keptOff.insert(denied);
    }
    std::vector<Path> paths;
    std::set_difference(keptOff.begin(), keptOff.end(), heldByClaudeCode.begin(), heldByClaudeCode.end(),
        std::back_inserter(paths));
    return paths;
}

JSON sandboxSettings(const Path& resolvedWorkFolder, const ResolvedPermissions& gated,
    const PermissionResolver& resolver, const GitRepositories::Protection& git,
    const std::optional<Path>& excludesFile)
{
    Strings denyRead = { "~/" };
    for (const auto& path : sandboxTempPaths())
        denyRead.push_back(path);

    Strings denyWrite;
    for (const auto& folder : gated.folders) {
        if (!folder.writable)
            denyWrite.push_back(folder.path.string());
    }
    appendPaths(denyWrite, gated.executableFolders);
    denyWrite.push_back((resolvedWorkFolder / "uploads").string());
    for (const auto& place : commandWritablePlaces(resolvedWorkFolder, gated))
        appendProtectedPlaces(denyWrite, place);
    // What is missing from a Git folder, the run's guard keeps off, but for the "commondir" of a place's
    // own, where the run puts a placeholder before Claude Code starts (`isHeldByTheRun`).
    for (const auto& path : git.deniedPaths) {
        if (isHeldByTheRun(path, git) || !isMissingFromGitFolder(path, kGitFolderNames))
            denyWrite.push_back(path.string());
    }

    for (const auto& item : SecretItems::all()) {
        if (item.id == "relay")
            continue;
        auto mode = gated.secretMode(item.id);
        for (const auto& place : resolver.secretPaths(item.id)) {
            if (isLeftOutOfSandbox(place, resolver))
                continue;
            if (!mode)
                denyRead.push_back(place.string());
            if (!mode || *mode == "read")
                denyWrite.push_back(place.string());
        }
    }

    auto relayMode = gated.secretMode("relay");
    for (const auto& entry : resolver.listFolder()) {
        if (!relayMode)
            denyRead.push_back(entry.string());
        if (!relayMode || *relayMode == "read")
            denyWrite.push_back(entry.string());
    }

    std::error_code error;
    for (std::filesystem::directory_iterator it(resolver.dataFolder / "workspaces", error), end;
         !error && it != end; it.increment(error)) {
        auto other = resolvingSymlinks(it->path());
        if (other && *other != resolvedWorkFolder) {
            denyRead.push_back(other->string());
            denyWrite.push_back(other->string());
        }
    }

    Strings allowRead = { resolvedWorkFolder.string() };
    for (const auto& folder : gated.folders)
        allowRead.push_back(folder.path.string());
    for (const auto& secret : gated.secrets) {
        appendPaths(allowRead, secret.dirs);
        appendPaths(allowRead, secret.files);
    }
    appendPaths(allowRead, gated.toolReads);
    appendPaths(allowRead, gated.toolWrites);
    if (excludesFile)
        allowRead.push_back(excludesFile->string());

    Strings allowWrite;
    for (const auto& secret : gated.secrets) {
        if (secret.writable)
            appendPaths(allowWrite, secret.files);
    }
    appendPaths(allowWrite, gated.toolWrites);

    JSON::Object filesystem = {
        { "denyRead", stringArray(denyRead) },
        { "allowRead", stringArray(allowRead) },
        { "denyWrite", stringArray(denyWrite) },
    };
    if (!allowWrite.empty())
        filesystem["allowWrite"] = stringArray(allowWrite);

    JSON::Object sandbox = {
        { "enabled", true },
        { "failIfUnavailable", true },
        { "allowUnsandboxedCommands", false },
        { "autoAllowBashIfSandboxed", true },
        { "filesystem", JSON(std::move(filesystem)) },
    };
    JSON network = networkSettings(gated, sandbox);
    if (!network.isNull())
        sandbox["network"] = std::move(network);
    return JSON(std::move(sandbox));
}

JSON settingsJSON(const Path& workFolder, const ResolvedPermissions& permissions,
    const PermissionResolver& resolver, const GitRepositories::Protection& git,
    const CommandGit::Handover& commandGit)
{
    ResolvedPermissions gated = permissions.applyingGates();
    Path resolvedWorkFolder = ClaudeInvocation::resolvedWorkFolder(workFolder);
    std::string workPattern = absolutePattern(resolvedWorkFolder);

    Strings allow = { rule("Read", workPattern + "/**"), rule("Edit", workPattern + "/**") };
    if (gated.web)
        allow.insert(allow.end(), webTools().begin(), webTools().end());
    for (const auto& folder : gated.folders) {
        allow.push_back(rule("Read", folderPattern(folder.path)));
        if (folder.writable)
            allow.push_back(rule("Edit", folderPattern(folder.path)));
    }
    for (const auto& secret : gated.secrets) {
        Strings patterns;
        for (const auto& dir : secret.dirs)
            patterns.push_back(folderPattern(dir));
        for (const auto& file : secret.files)
            patterns.push_back(absolutePattern(file));
        for (const auto& pattern : patterns)
            allow.push_back(rule("Read", pattern));
        if (secret.writable) {
            for (const auto& pattern : patterns)
                allow.push_back(rule("Edit", pattern));
        }
    }

    Strings dataPatterns;
    for (const auto& entry : resolver.listFolderEntries())
        dataPatterns.push_back(entry.isFolder ? folderPattern(entry.path) : absolutePattern(entry.path));

    Strings noAccess;
    Strings noEdit;
    sortByMode(gated.secretMode("relay"), dataPatterns, noAccess, noEdit);
    for (const auto& item : SecretItems::all()) {
        if (item.id != "relay")
            sortByMode(gated.secretMode(item.id), homePatterns(item), noAccess, noEdit);
    }
    for (const auto& folder : gated.folders) {
        if (!folder.writable && !hasWritableGrantAtOrInside(gated, folder))
            noEdit.push_back(folderPattern(folder.path));
    }
    for (const auto& folder : gated.folders) {
        if (!folder.writable)
            continue;
        for (const auto& glob : configGlobs())
            noEdit.push_back(absolutePattern(folder.path) + "/" + glob);
    }

    Strings deny;
    for (const auto& pattern : noAccess) {
        deny.push_back(rule("Read", pattern));
        deny.push_back(rule("Edit", pattern));
    }
    for (const auto& pattern : noEdit)
        deny.push_back(rule("Edit", pattern));
    for (const auto& glob : protectedGlobs())
        deny.push_back(rule("Edit", workPattern + "/" + glob));

    if (gated.bashGated)
        deny.push_back("Bash");
    else if (gated.bash)
        allow.push_back("Bash");

    JSON::Object document = {
        { "permissions",
            JSON::object({ { "defaultMode", "default" }, { "allow", stringArray(allow) },
                { "deny", stringArray(deny) } }) },
        { "disableAllHooks", true },
    };
    if (gated.bash) {
        document["sandbox"]
            = sandboxSettings(resolvedWorkFolder, gated, resolver, git, commandGit.excludesFile);
        document["env"] = CommandGit::environment(commandGit);
    }
    return JSON(std::move(document));
}

}
