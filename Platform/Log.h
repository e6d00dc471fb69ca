// Lines for the system log: syslog(3), which the journal reads, under the application's bundle
// identifier "com.zu.plimsor.mac".
#pragma once

#include <functional>
#include <string_view>

namespace vellumar::platform {

// Receives each line in place of the system log.
using LogSink = std::function<void(std::string_view line)>;

// Writes one line at error priority. Safe from any thread; never throws.
void logError(std::string_view line) noexcept;
// The same at informational priority, for what a unit reports in its normal course.
void logInfo(std::string_view line) noexcept;

// Sends every later line to `sink` instead of the system log (an empty sink restores the system
// log) and returns the sink that was in place. Meant for tests, which read what a unit logs.
LogSink replaceLogSink(LogSink sink);

}
