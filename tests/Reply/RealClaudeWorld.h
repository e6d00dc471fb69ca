// A reply runner whose `claude` is the real Claude Code CLI from tests/peers against the scripted model
// endpoint. The runner keeps the endpoint's variables away from Claude Code, and its options make the
// CLI ignore the user's settings files, so it starts a shell script that keeps each start's arguments
// and input, puts the variables back and then starts the real CLI with everything the runner gave it.
#pragma once

#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/support/ScriptedModel.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace vellumar::test {

inline JSON textStep(const std::string& text) { return JSON::object({ { "text", text } }); }

inline JSON writeStep(const std::filesystem::path& file, const std::string& content)
{
    return JSON::object({ { "tool_use",
        JSON::object({ { "name", "Write" },
            { "input", JSON::object({ { "file_path", file.string() }, { "content", content } }) } }) } });
}

struct RealClaudeWorld : RunnerWorld {
    struct Start {
        std::vector<std::string> argv;
        std::string input;
    };

    std::unique_ptr<ScriptedModel> model;
    std::filesystem::path starts = folder / "starts";
    // Runs in the script just before the CLI starts, when the test writes it.
    std::filesystem::path prelude = folder / "prelude.sh";

    // The endpoint answering from `steps`, the script, and the runner.
    ClaudeReplyRunner& start(const JSON& steps)
    {
        model = std::make_unique<ScriptedModel>(folder / "model", steps.encoded());
        std::filesystem::create_directories(starts);
        std::string script = "#!/bin/sh\n";
        for (const auto& [name, value] : model->claudeEnvironment(home)) {
            if (name != "PATH" && name != "HOME")
                script += "export " + name + "='" + value + "'\n";
        }
        std::string kept = "'" + starts.string() + "'/";
        script += "n=$(ls " + kept + " | grep -c '^argv-')\n";
        script += "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + kept + "argv-$n\n";
        script += "cat > " + kept + "input-$n\n";
        script += "exec < " + kept + "input-$n\n";
        script += "if [ -f '" + prelude.string() + "' ]; then . '" + prelude.string() + "'; fi\n";
        script += "exec '" + realClaudeExecutable().string() + "' \"$@\"\n";
        std::ofstream(claude) << script;
        std::filesystem::permissions(claude, std::filesystem::perms::owner_all);
        return RunnerWorld::start();
    }

    std::vector<Start> recordedStarts() const
    {
        std::vector<Start> found;
        for (int index = 0; std::filesystem::exists(starts / ("argv-" + std::to_string(index))); ++index) {
            Start start;
            std::string packed = readFile(starts / ("argv-" + std::to_string(index)));
            for (std::size_t begin = 0; begin < packed.size();) {
                std::size_t end = packed.find('\0', begin);
                start.argv.push_back(packed.substr(begin, end - begin));
                begin = end + 1;
            }
            start.input = readFile(starts / ("input-" + std::to_string(index)));
            found.push_back(std::move(start));
        }
        return found;
    }
};

}
