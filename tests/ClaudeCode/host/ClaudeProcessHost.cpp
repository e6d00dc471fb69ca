// One Claude Code run through the supervisor in a process of its own, so that a test can end the
// process that started Claude Code the way a computer may: by SIGKILL, with no clean-up at all.
// Usage: vellumar-claude-process-host DIRECTORY INPUT [NAME=VALUE ...] -- EXECUTABLE [ARGUMENT ...]
// Claude Code's environment is the NAME=VALUE pairs alone. Prints the run's status once it ends.
#include "VellumarMacCore/ClaudeCode/ClaudeProcess.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>

int main(int argc, char** argv)
{
    constexpr const char* usage = "usage: vellumar-claude-process-host DIRECTORY INPUT [NAME=VALUE ...] -- "
                                  "EXECUTABLE [ARGUMENT ...]\n";
    if (argc < 4) {
        std::fputs(usage, stderr);
        return 2;
    }
    vellumar::ClaudeProcess::Launch launch;
    launch.directory = argv[1];
    launch.input = argv[2];
    launch.timeLimit = 120;
    int index = 3;
    for (; index < argc && std::strcmp(argv[index], "--") != 0; ++index) {
        std::string_view pair = argv[index];
        auto equals = pair.find('=');
        if (equals == std::string_view::npos) {
            std::fputs(usage, stderr);
            return 2;
        }
        launch.environment.emplace(pair.substr(0, equals), pair.substr(equals + 1));
    }
    if (index + 1 >= argc) {
        std::fputs(usage, stderr);
        return 2;
    }
    launch.executable = argv[index + 1];
    launch.arguments.assign(argv + index + 2, argv + argc);
    try {
        vellumar::ClaudeProcess process;
        std::printf("%d\n", process.start(launch).status);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
