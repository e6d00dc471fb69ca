#include "Platform/ProcessSession.h"

#include <charconv>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>

namespace vellumar::platform {

namespace {

    // proc(5): "pid (comm) state ppid pgrp session ..."; comm may hold spaces and parentheses, so the
    // fields are counted from the last ")".
    std::optional<pid_t> sessionOf(const std::filesystem::path& stat)
    {
        std::ifstream file(stat);
        const std::string line((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const auto close = line.rfind(')');
        if (close == std::string::npos)
            return std::nullopt;
        std::size_t position = close + 1;
        for (int field = 0; field < 4; ++field) {
            position = line.find(' ', position);
            if (position == std::string::npos)
                return std::nullopt;
            ++position;
        }
        pid_t session = 0;
        const auto [end, error] = std::from_chars(line.data() + position, line.data() + line.size(), session);
        if (error != std::errc())
            return std::nullopt;
        return session;
    }

}

void signalSession(pid_t leader, int signal)
{
    ::kill(leader, signal);
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end;
         entry.increment(error)) {
        pid_t pid = 0;
        const std::string name = entry->path().filename().string();
        const auto [last, parsed] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (parsed != std::errc() || last != name.data() + name.size() || pid == leader)
            continue;
        if (sessionOf(entry->path() / "stat") == leader)
            ::kill(pid, signal);
    }
}

}
