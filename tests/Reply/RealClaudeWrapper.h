// The `claude` the reply runner starts in the tests with the real Claude Code CLI. The runner keeps
// the model endpoint's variables away from Claude Code, and its options make the CLI ignore the
// user's settings files, so it runs a shell script that puts the variables back and then starts the
// real CLI with everything the runner gave it.
#pragma once

#include "tests/support/ScriptedModel.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace vellumar::test {

// Writes the script as folder/"claude". `prelude` runs in the script just before the CLI starts, with
// the arguments in "$@", and may redirect the script's standard input, which the CLI inherits.
inline std::filesystem::path realClaudeWrapper(const std::filesystem::path& folder,
    const ScriptedModel& model, const std::filesystem::path& home, std::string_view prelude = {})
{
    std::string script = "#!/bin/sh\n";
    for (const auto& [name, value] : model.claudeEnvironment(home)) {
        if (name != "PATH" && name != "HOME")
            script += "export " + name + "='" + value + "'\n";
    }
    script += prelude;
    script += "exec '" + realClaudeExecutable().string() + "' \"$@\"\n";
    std::filesystem::path claude = folder / "claude";
    std::ofstream(claude) << script;
    std::filesystem::permissions(claude, std::filesystem::perms::owner_all);
    return claude;
}

}
