#include "Platform/SystemLog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace vellumar::platform {

namespace {

    // The header syslog(3) writes: "<priority>Mmm dd hh:mm:ss identifier[pid]: ", the time local and
    // its month named in English whatever the locale, as loggers parse it.
    std::string header(int priority, const std::string& identifier)
    {
        static constexpr const char* kMonths[]
            = { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
        std::time_t now = std::time(nullptr);
        std::tm local {};
        ::localtime_r(&now, &local);
        char text[64];
        std::snprintf(text, sizeof text, "<%d>%s %2d %02d:%02d:%02d ", LOG_USER | priority,
            kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        return text + identifier + "[" + std::to_string(::getpid()) + "]: ";
    }

}

SystemLog::SystemLog(std::filesystem::path socketPath, std::string identifier)
    : m_socketPath(std::move(socketPath))
    , m_identifier(std::move(identifier))
{
}

bool SystemLog::connect()
{
    sockaddr_un address { .sun_family = AF_UNIX, .sun_path = {} };
    const std::string& path = m_socketPath.native();
    if (path.size() >= sizeof address.sun_path)
        return false;
    path.copy(address.sun_path, path.size());
    m_socket.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (m_socket
        && ::connect(m_socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    m_socket.reset();
    return false;
}

bool SystemLog::send(const std::string& message)
{
    return ::send(m_socket.get(), message.data(), message.size(), MSG_NOSIGNAL)
        == static_cast<ssize_t>(message.size());
}

SystemLog::Destination SystemLog::write(int priority, std::string_view line) noexcept
{
    try {
        std::string message = header(priority, m_identifier).append(line);
        {
            std::lock_guard guard(m_lock);
            if (m_socket && send(message))
                return Destination::logger;
            // Not connected yet, or the logger restarted and took its old socket with it.
            if (connect() && send(message))
                return Destination::logger;
            m_socket.reset();
        }
        // One call, which stdio keeps whole among other threads' lines.
        std::string shown = std::string(line) + "\n";
        return std::fwrite(shown.data(), 1, shown.size(), stderr) == shown.size() ? Destination::standardError
                                                                                  : Destination::nowhere;
    } catch (...) {
        // No memory for the line: it is dropped.
        return Destination::nowhere;
    }
}

}

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer's suppressions, here because every program and test that logs links this file, and one
// definition is all a program may have. Each names a library's own code, never ours:
// - glibc's time zone state: the header's localtime_r runs on any thread while ICU calls tzset, and glibc
//   takes its own lock around both, which ThreadSanitizer cannot see.
// - libdbus takes two of its own locks in one order when a client connects and in the other when it is
//   freed. The Avahi client does both on the caller's thread, with its poll thread stopped before the
//   free, so the cycle ThreadSanitizer sees never meets itself.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:tzset_internal\ndeadlock:libdbus-1.so.3\n";
}
#endif
