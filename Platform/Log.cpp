#include "Platform/Log.h"

#include "Platform/SystemLog.h"

#include <cstdio>
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

    SystemLog::Destination writeLine(int priority, std::string_view line) noexcept
    {
        try {
            // Called outside the lock, so a sink may itself take locks or log.
            if (auto sink = currentSink()) {
                sink(line);
                return SystemLog::Destination::logger;
            }
        } catch (...) {
            // A failing sink drops the line.
            return SystemLog::Destination::nowhere;
        }
        // Never destroyed: threads still running at exit may log.
        static auto* systemLog = new SystemLog(SystemLog::kSocketPath, kIdentifier);
        return systemLog->write(priority, line);
    }

}

void logError(std::string_view line) noexcept { writeLine(LOG_ERR, line); }

void logInfo(std::string_view line) noexcept { writeLine(LOG_INFO, line); }

void logInfoAndPrint(std::string_view line) noexcept
{
    if (writeLine(LOG_INFO, line) != SystemLog::Destination::standardError)
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

LogSink replaceLogSink(LogSink sink)
{
    std::lock_guard guard(sinkLock);
    std::swap(installedSink, sink);
    return sink;
}

}
