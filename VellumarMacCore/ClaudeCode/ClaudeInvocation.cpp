#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"

#include "VellumarMacCore/Permissions/ResolvedPermissions.h"

#include <string_view>

namespace vellumar::ClaudeInvocation {

namespace {

    std::string joined(const std::vector<std::string>& words)
    {
        std::string text;
        for (const auto& word : words) {
            if (!text.empty())
                text += ' ';
            text += word;
        }
        return text;
    }

    void append(std::vector<std::string>& list, const std::vector<std::string>& more)
    {
        list.insert(list.end(), more.begin(), more.end());
    }

}

const std::vector<std::string>& leadArguments()
{
    static const std::vector<std::string> list = { "-p", "--output-format", "stream-json", "--verbose" };
    return list;
}

const std::vector<std::string>& webTools()
{
    static const std::vector<std::string> list = { "WebSearch", "WebFetch" };
    return list;
}

const std::vector<std::string>& fileTools()
{
    static const std::vector<std::string> list = { "Read", "Glob", "Grep", "Write", "Edit" };
    return list;
}

const std::vector<std::string>& disabledTools()
{
    static const std::vector<std::string> list = { "PowerShell", "NotebookEdit", "Task", "Agent" };
    return list;
}

const std::vector<std::string>& configGlobs()
{
    static const std::vector<std::string> list = { "**/.claude/settings*.json", "**/.claude/hooks/**" };
    return list;
}

const std::vector<std::string>& protectedGlobs()
{
    static const std::vector<std::string> list = { "uploads/**", "CLAUDE.md", "**/CLAUDE.md",
        "CLAUDE.local.md", "**/CLAUDE.local.md", ".claude/**", "**/.claude/**" };
    return list;
}

std::vector<std::string> arguments(
    const ResolvedPermissions& gated, const std::optional<std::string>& mcpConfigPath)
{
    std::vector<std::string> offered;
    if (gated.web)
        append(offered, webTools());
    append(offered, fileTools());
    if (gated.bash)
        offered.push_back("Bash");

    std::vector<std::string> switchedOff;
    if (!gated.bash)
        switchedOff.push_back("Bash");
    append(switchedOff, disabledTools());
    if (!gated.web)
        append(switchedOff, webTools());
    switchedOff.push_back(approvalTool);

    std::vector<std::string> list = { "--restricted", "--tools", joined(offered), "--strict-mcp-config",
        "--permission-mode", "manual" };
    if (mcpConfigPath)
        append(list, { "--mcp-config", *mcpConfigPath, "--permission-prompt-tool", approvalTool });
    else
        append(list, { "--permission-prompts", "none" });
    append(list,
        { "--disallowedTools", joined(switchedOff), "--disable-slash-commands", "--system-prompt-snapshot",
            "off" });
    for (const auto& folder : gated.folders)
        append(list, { "--add-dir", folder.path.string() });
    for (const auto& secret : gated.secrets) {
        for (const auto& dir : secret.dirs)
            append(list, { "--add-dir", dir.string() });
    }
    return list;
}

std::vector<std::string> fullArguments(
    const ResolvedPermissions& permissions, const FullArgumentsOptions& options)
{
    std::vector<std::string> list = leadArguments();
    append(list, arguments(permissions.applyingGates(), options.mcpConfigPath));
    if (options.settingsFile)
        append(list, { "--settings", options.settingsFile->string() });
    append(list, { "--append-system-prompt", options.appendedSystemPrompt });
    if (options.autoCompact)
        append(list, { "--autocompact", std::to_string(*options.autoCompact) });
    if (options.resumeSessionID)
        append(list, { "--resume", *options.resumeSessionID });
    return list;
}

}
