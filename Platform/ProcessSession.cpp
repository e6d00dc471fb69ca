#include "Platform/ProcessSession.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace vellumar::platform {

namespace {

    // The whole of a small /proc file; absent when the process has gone meanwhile.
    std::optional<std::string> readSmallFile(const std::string& path)
    {
        const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0)
            return std::nullopt;
        std::string content;
        char buffer[1024];
        ssize_t count;
        while ((count = ::read(descriptor, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR)) {
            if (count > 0)
                content.append(buffer, static_cast<std::size_t>(count));
        }
        ::close(descriptor);
        if (count < 0)
            return std::nullopt;
        return content;
    }

    struct ProcessStatus {
        char state = 0;
        long session = 0;
    };

    // proc(5): "pid (comm) state ppid pgrp session ..."; comm may hold spaces and parentheses, so the
    // fields are read from the last ")".
    std::optional<ProcessStatus> statusOf(pid_t pid)
    {
        const auto line = readSmallFile("/proc/" + std::to_string(pid) + "/stat");
        if (!line)
            return std::nullopt;
        const auto close = line->rfind(')');
        ProcessStatus status;
        long parent = 0, group = 0;
        if (close == std::string::npos
            || std::sscanf(line->c_str() + close + 1, " %c %ld %ld %ld", &status.state, &parent, &group,
                   &status.session)
                != 4)
            return std::nullopt;
        return status;
    }

}

std::vector<pid_t> sessionMembers(pid_t leader)
{
    std::vector<pid_t> members;
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        pid_t pid = 0;
        const auto [last, parsed] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (parsed != std::errc() || last != name.data() + name.size())
            continue;
        if (const auto status = statusOf(pid); status && status->session == leader && status->state != 'Z')
            members.push_back(pid);
    }
    return members;
}

void signalSession(pid_t leader, int signal)
{
    ::kill(leader, signal);
    for (const pid_t member : sessionMembers(leader)) {
        if (member != leader)
            ::kill(member, signal);
    }
}

}
