// The system logger's datagram socket, written to as syslog(3) writes it, with standard error in its place
// while no logger listens there (a container or a minimal system without one).
#pragma once

#include "Platform/FileDescriptor.h"

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

namespace vellumar::platform {

class SystemLog {
public:
    static constexpr auto kSocketPath = "/dev/log";

    enum class Destination { logger, standardError, nowhere };

    // Connects at the first line, not here.
    SystemLog(std::filesystem::path socketPath, std::string identifier);

    // Sends `line` at `priority` (a syslog(3) level, user facility) under the identifier and the
    // process id. When the logger does not take it, connecting anew once, the line goes to standard
    // error instead; a later line tries the logger again. Answers where the line went. Safe from any
    // thread; never throws.
    Destination write(int priority, std::string_view line) noexcept;

private:
    // With m_lock held.
    bool connect();
    bool send(const std::string& message);

    const std::filesystem::path m_socketPath;
    const std::string m_identifier;
    std::mutex m_lock;
    FileDescriptor m_socket;
};

}
