#include "tests/support/ScriptedModel.h"

#include "tests/support/TestSupport.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

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
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::string server = (sourceDir() / "tests/peers/scripted_model.py").string();
    std::string script = (folder / "script.json").string();
    std::string log = (folder / "requests.jsonl").string();
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        dup2(output[1], 1);
        execlp(
            "python3", "python3", server.c_str(), script.c_str(), log.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    std::string line;
    char byte = 0;
    while (read(output[0], &byte, 1) == 1 && byte != '\n')
        line += byte;
    close(output[0]);
    m_port = std::atoi(line.c_str());
    if (m_port <= 0)
        throw std::runtime_error("the scripted model endpoint did not start");
}

ScriptedModel::~ScriptedModel()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
}

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
