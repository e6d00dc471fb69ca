// Lines for the system log: the logger's socket, which the journal reads, under the application's
// bundle identifier "com.zu.plimsor.mac"; standard error while no logger listens.
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
// As logInfo, and on standard error too, for a person who started the program in a terminal; once
// there when the log itself went to standard error.
void logInfoAndPrint(std::string_view line) noexcept;

// Sends every later line to `sink` instead of the system log (an empty sink restores the system
// log) and returns the sink that was in place, once no call into it is under way: what it wrote into may
// go then, whichever thread was logging. Not from within a sink. Meant for tests, which read what a
// unit logs.
LogSink replaceLogSink(LogSink sink);

}
