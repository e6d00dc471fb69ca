// The command line and the settings document of one Claude Code run: which tools exist, which are
// off, where permission questions go, and which places the run may read, write or never touch.
#pragma once

#include "VellumarMacCore/ClaudeCode/CommandGit.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/GitProtection/GitProtection.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vellumar {

struct ResolvedPermissions;
struct PermissionResolver;

namespace ClaudeInvocation {

    const std::vector<std::string>& leadArguments();
    const std::vector<std::string>& webTools();
    const std::vector<std::string>& fileTools();
    const std::vector<std::string>& disabledTools();
    const std::vector<std::string>& configGlobs();
    const std::vector<std::string>& protectedGlobs();

    inline constexpr const char* approvalTool = "mcp__vellumar__approve";

    // Tool, permission, MCP and "--add-dir" arguments for permissions that are already gated.
    std::vector<std::string> arguments(
        const ResolvedPermissions& gated, const std::optional<std::string>& mcpConfigPath);

    struct FullArgumentsOptions {
        std::string appendedSystemPrompt;
        std::optional<std::filesystem::path> settingsFile;
        std::optional<std::string> mcpConfigPath;
        std::optional<std::string> resumeSessionID;
        std::optional<std::int64_t> autoCompact;
    };

    // The whole argument list after the program name; applies the gates itself.
    std::vector<std::string> fullArguments(
        const ResolvedPermissions& permissions, const FullArgumentsOptions& options);

    // What a run in `workFolder` with the (ungated) permissions protects in the Git repositories of its
    // writable places (`GitRepositories::commandProtection`); nothing when the run has no commands.
    // What only the guard takes is still to be found (`GitRepositories::sandboxPart`), while Claude Code
    // starts. Found once for the run: its settings deny the paths that exist, its guard keeps the others off
    // (`keptOffPaths`), and the run itself holds the "commondir" placeholders, only in Git folders inside
    // a writable place, and never in the work folder's own, which Claude Code looks after itself. Fails
    // only as `resolvedWorkFolder` does.

    GitRepositories::Protection gitProtection(const std::filesystem::path& workFolder,
        const ResolvedPermissions& permissions, const PermissionResolver& resolver);

    // Where the user's own Git outside the sandbox reads its configuration: the user's home, and this
    // process's PATH.
    GitConfigPaths::Options usersGit(const PermissionResolver& resolver);

    // What Claude Code itself denies to commands in each of `places` and in its working directory
    // besides, whatever its sandbox settings say, with the work folder's files its Edit denials name;
    // where one does not exist, its sandbox holds a placeholder.
    std::vector<std::filesystem::path> claudeCodesDenials(
        const std::vector<std::filesystem::path>& places, const std::filesystem::path& resolvedWorkFolder);

    // The paths at which the sandbox of a run in `workFolder` will show a placeholder, each once: for
    // each path that the run's settings (with `git`) or Claude Code itself deny to commands inside a
    // writable place, the first on its way that does not exist now (the sandbox makes the folders
    // before it), or that is among `heldByOtherRuns` (their placeholders, which look like files to
    // this run). None for a run without commands. Reads the disk; fails only as `resolvedWorkFolder`
    // does.
    std::vector<std::filesystem::path> placeholderPaths(const std::filesystem::path& workFolder,
        const ResolvedPermissions& permissions, const PermissionResolver& resolver,
        const GitRepositories::Protection& git, const std::set<std::filesystem::path>& heldByOtherRuns = {});

    // What the run's guard keeps from appearing (`KeptOffNames`), since the settings deny only what
    // exists: for each of the places' own protected names that does not exist now, the first missing
    // path on its way (at a place's top, or a "commondir" or "config.worktree" in a Git folder of a
    // place's repository, `git`'s linked folders' too), unless Claude Code holds it itself. None for a
    // run without commands. Reads the disk; fails only as `resolvedWorkFolder` does.
    std::vector<std::filesystem::path> keptOffPaths(const std::filesystem::path& workFolder,
        const ResolvedPermissions& permissions, const GitRepositories::Protection& git);

    // The "--settings" document for a run in `workFolder` with the (ungated) permissions, the run's
    // `gitProtection` and what it hands its commands' Git (`CommandGit::environment`; the excludes file
    // readable to commands). Reads folder listings and file types; fails only as `resolvedWorkFolder`
    // does.
    JSON settingsJSON(const std::filesystem::path& workFolder, const ResolvedPermissions& permissions,
        const PermissionResolver& resolver, const GitRepositories::Protection& git,
        const CommandGit::Handover& commandGit = {});

    // The work folder with its symbolic links resolved. Throws std::filesystem::filesystem_error when
    // the kernel cannot resolve it: no rule could then name what the run's commands reach.
    std::filesystem::path resolvedWorkFolder(const std::filesystem::path& workFolder);

    // The places whose Git, direnv, editor and Claude Code files commands may not change although they
    // may write there: the work folder (symlinks resolved) and each writable grant of `gated`.
    std::vector<std::filesystem::path> commandWritablePlaces(
        const std::filesystem::path& resolvedWorkFolder, const ResolvedPermissions& gated);

    // The "sandbox" object; `resolvedWorkFolder` has its symlinks resolved, `gated` is gated. Commands may
    // read `excludesFile` when given.
    JSON sandboxSettings(const std::filesystem::path& resolvedWorkFolder, const ResolvedPermissions& gated,
        const PermissionResolver& resolver, const GitRepositories::Protection& git,
        const std::optional<std::filesystem::path>& excludesFile = std::nullopt);

    // Temporary places the sandbox may not read: Linux's shared ones, and the user's temporary folder
    // when it lies elsewhere.
    std::vector<std::string> sandboxTempPaths();

}

}
