#include "Platform/Log.h"

#include "Platform/SystemLog.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <syslog.h>

namespace vellumar::platform {

namespace {

    constexpr char kIdentifier[] = "com.zu.plimsor.mac";

    // Each installed sink is shared by the calls into it, so that a replacement can wait for the calls
    // that took the old one. Never destroyed: threads still running at exit may log.
    struct InstalledSink {
        std::mutex lock;
        std::condition_variable callEnded;
        std::shared_ptr<const LogSink> sink;
    };

    InstalledSink& installed()
    {
        static auto* shared = new InstalledSink;
        return *shared;
    }

    // Calls the sink in place, if any, outside the lock (so a sink may itself take locks or log); false
    // when there is none.
    bool callSink(std::string_view line)
    {
        InstalledSink& shared = installed();
        std::shared_ptr<const LogSink> sink;
        {
            std::lock_guard guard(shared.lock);
            sink = shared.sink;
        }
        if (!sink)
            return false;
        struct Release {
            InstalledSink& shared;
            std::shared_ptr<const LogSink>& sink;
            ~Release()
            {
                {
                    std::lock_guard guard(shared.lock);
                    sink.reset();
                }
                shared.callEnded.notify_all();
            }
        } release { shared, sink };
        (*sink)(line);
        return true;
    }

    SystemLog::Destination writeLine(int priority, std::string_view line) noexcept
    {
        try {
            if (callSink(line))
                return SystemLog::Destination::logger;
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
    InstalledSink& shared = installed();
    std::unique_lock guard(shared.lock);
    std::shared_ptr<const LogSink> previous
        = std::exchange(shared.sink, sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr);
    if (!previous)
        return {};
    // What the old sink writes into may go as soon as this returns: the calls that took it end first.
    shared.callEnded.wait(guard, [&] { return previous.use_count() == 1; });
    return *previous;
}

}
