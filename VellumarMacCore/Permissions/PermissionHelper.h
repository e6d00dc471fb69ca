// How Claude Code starts this program as its permission tool, and the MCP configuration text that
// tells it so for one gate.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

struct PermissionHelper {
    std::filesystem::path executable;
    std::vector<std::string> arguments; // placed before the socket path

    // This program, as the kernel knows it, with the switch of the permission sub-mode; nothing
    // when the program's own path cannot be read.
    static std::optional<PermissionHelper> current();

    // {"mcpServers":{"vellumar":{"args":[...arguments, socketPath],"command":...,"type":"stdio"}}}
    // in the canonical encoding: no white space, sorted keys, "/" unescaped. Never fails.
    std::string mcpConfig(std::string_view socketPath) const;

    friend bool operator==(const PermissionHelper&, const PermissionHelper&) = default;
};

}
