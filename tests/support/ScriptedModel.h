// The real Claude Code CLI from tests/peers, run offline against the scripted model endpoint
// (tests/peers/scripted_model.py), which answers the Messages API from a script of steps.
#pragma once

#include "tests/support/InteractivePeer.h"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace vellumar::test {

// The CLI pinned in tests/peers/package.json.
std::filesystem::path realClaudeExecutable();

// Why the CLI's command sandbox cannot work on this machine (bubblewrap cannot make the namespaces
// it needs, as in some containers), or nothing when it can. A missing bubblewrap is no such reason:
// scripts/setup installs it.
std::optional<std::string> commandSandboxUnavailableReason();

// One endpoint process on 127.0.0.1, answering from `scriptJSON` (a list of steps: {"text"},
// {"tool_use": {"name", "input"}} or {"status"}); every request it gets is logged to a file.
class ScriptedModel {
public:
    ScriptedModel(const std::filesystem::path& folder, const std::string& scriptJSON);
    ~ScriptedModel();
    ScriptedModel(const ScriptedModel&) = delete;
    ScriptedModel& operator=(const ScriptedModel&) = delete;

    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    // One JSON object per line: {"method", "path", "body", "at"} ("at": seconds of a monotonic clock).
    std::string requestLog() const;

    // What the CLI needs to run offline against this endpoint, with `home` as its private HOME.
    std::map<std::string, std::string> claudeEnvironment(const std::filesystem::path& home) const;

private:
    std::filesystem::path m_folder;
    std::unique_ptr<InteractivePeer> m_server;
    int m_port = 0;
};

}
