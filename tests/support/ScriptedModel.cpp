#include "tests/support/ScriptedModel.h"

#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace vellumar::test {

std::filesystem::path realClaudeExecutable() { return sourceDir() / "tests/peers/node_modules/.bin/claude"; }

std::optional<std::string> commandSandboxUnavailableReason()
{
    // The namespaces the CLI asks bubblewrap for; status 127 means bubblewrap is missing.
    PeerResult probe = runPeer({ "sh", "-c",
        "bwrap --ro-bind / / --dev /dev --proc /proc --unshare-user --unshare-pid --unshare-net true 2>&1" });
    if (probe.exitStatus == 0 || probe.exitStatus == 127)
        return std::nullopt;
    return "bwrap cannot make its namespaces: " + probe.output;
}

ScriptedModel::ScriptedModel(const std::filesystem::path& folder, const std::string& scriptJSON)
    : m_folder(folder)
{
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "script.json") << scriptJSON;
    m_server = std::make_unique<InteractivePeer>(
        std::vector<std::string> { "python3", (sourceDir() / "tests/peers/scripted_model.py").string(),
            (folder / "script.json").string(), (folder / "requests.jsonl").string() });
    // As long as a busy machine takes to start python: only a hang must fail, and the test's own limit
    // tells one.
    m_port = std::atoi(m_server->readLine(600).value_or("").c_str());
    if (m_port <= 0)
        throw std::runtime_error("the scripted model endpoint did not start");
}

ScriptedModel::~ScriptedModel() = default;

std::string ScriptedModel::requestLog() const { return readFile(m_folder / "requests.jsonl"); }

std::map<std::string, std::string> ScriptedModel::claudeEnvironment(const std::filesystem::path& home) const
{
    std::filesystem::create_directories(home);
    return {
        { "PATH", "/usr/local/bin:/usr/bin:/bin" },
        { "HOME", home.string() },
        { "ANTHROPIC_BASE_URL", baseURL() },
        { "ANTHROPIC_API_KEY", "x" },
        { "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC", "1" },
        { "CLAUDE_CODE_MAX_RETRIES", "0" },
    };
}

}
