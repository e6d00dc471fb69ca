#include "Platform/Log.h"

#include <mutex>
#include <string>
#include <syslog.h>

namespace vellumar::platform {

namespace {

    constexpr char kIdentifier[] = "com.zu.plimsor.mac";

    std::mutex sinkLock;
    LogSink installedSink;

    LogSink currentSink()
    {
        std::lock_guard guard(sinkLock);
        return installedSink;
    }

    void writeLine(int priority, std::string_view line) noexcept
    {
        try {
            // Called outside the lock, so a sink may itself take locks or log.
            if (auto sink = currentSink()) {
                sink(line);
                return;
            }
            static std::once_flag opened;
            // The connection is made at the first line, not here.
            std::call_once(opened, [] { ::openlog(kIdentifier, LOG_PID, LOG_USER); });
            ::syslog(priority, "%s", std::string(line).c_str());
        } catch (...) {
            // A line that cannot be written (no memory, a failing sink) is dropped.
        }
    }

}

void logError(std::string_view line) noexcept { writeLine(LOG_ERR, line); }

void logInfo(std::string_view line) noexcept { writeLine(LOG_INFO, line); }

LogSink replaceLogSink(LogSink sink)
{
    std::lock_guard guard(sinkLock);
    std::swap(installedSink, sink);
    return sink;
}

}
